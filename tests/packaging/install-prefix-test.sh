#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, checks the layout, and
# starts the installed daemon: it must read the shipped rules from its
# installation-prefix directory and apply them to a real device.
#
# Usage: install-prefix-test.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
SRC=$(cd "$(dirname "$0")/../.." && pwd)
source "$SRC/tests/packaging/daemon-lib.sh"

TMP=$(mktemp -d /tmp/korvid-install-test-XXXXXX)
cleanup() {
  kill_korvid
  rm -rf "$TMP"
}
trap cleanup EXIT
PREFIX=$TMP/prefix

cmake --install "$BUILD" --prefix "$PREFIX" >"$TMP/install.log"

# Layout.
if [ ! -x "$PREFIX/sbin/korvid" ] || [ -L "$PREFIX/sbin/korvid" ]; then fail "no executable $PREFIX/sbin/korvid"; fi
HAVE_CTL=0
if [ -x "$BUILD/tools/korvidctl/korvidctl" ]; then
  [ -x "$PREFIX/bin/korvidctl" ] || fail "no executable $PREFIX/bin/korvidctl"
  HAVE_CTL=1
fi
mapfile -t RULES < <(cd "$SRC/rules" && ls)
[ "${#RULES[@]}" -gt 0 ] || fail "no shipped rules in $SRC/rules"
installed=$(cd "$PREFIX/share/device/rules" && ls)
[ "$installed" = "$(printf '%s\n' "${RULES[@]}")" ] || fail "installed rules differ: $installed"
for name in "${RULES[@]}"; do
  cmp -s "$SRC/rules/$name" "$PREFIX/share/device/rules/$name" || fail "$name differs from the source"
done
for page in man1/korvidctl.1 man5/korvid.rules.5 man8/korvid.8; do
  [ -f "$PREFIX/share/man/$page" ] || fail "no manual $page"
done
[ -f "$PREFIX/share/doc/korvid/README.md" ] || fail "no README.md"

# The service files name the executables of this prefix.
UNIT=$PREFIX/lib/systemd/system/korvid.service
grep -qxF "ExecStart=$PREFIX/sbin/korvid" "$UNIT" || fail "unit: wrong ExecStart: $(grep ExecStart= "$UNIT")"
grep -qxF "ExecStartPost=-$PREFIX/bin/korvidctl trigger --settle --timeout 120" "$UNIT" \
  || fail "unit: wrong ExecStartPost: $(grep ExecStartPost= "$UNIT")"
if grep -F '/usr/sbin/korvid' "$UNIT"; then fail "unit still names /usr/sbin/korvid"; fi
INIT=$PREFIX/share/korvid/init.d/korvid
[ -x "$INIT" ] || fail "init script missing or not executable"
grep -qF "DAEMON=\${DAEMON:-$PREFIX/sbin/korvid}" "$INIT" || fail "init script: wrong daemon path"
grep -qF "KORVIDCTL=\${KORVIDCTL:-$PREFIX/bin/korvidctl}" "$INIT" || fail "init script: wrong korvidctl path"
# Every installed file is listed in the manifest, for uninstalling.
grep -qxF "$UNIT" "$BUILD/install_manifest.txt" || fail "unit not in install_manifest.txt"

# The installed daemon reads its installation-prefix rule directory. It
# creates nodes itself (no devtmpfs) below a scratch device root.
mkdir "$TMP/dev"
export KORVID_DEV_ROOT=$TMP/dev KORVID_LOG=debug NO_COLOR=1
unset KORVID_EXTRA_RULE_DIRS KORVID_HAS_DEVTMPFS KORVID_SYSFS_ROOT
start_korvid "$TMP/korvid.log" "$PREFIX/sbin/korvid"
check_rules_activated_once "$TMP/korvid.log" "$PREFIX/share/device/rules" "${RULES[@]}" \
  || fail "rules not activated exactly once"

# A harmless real device: the shipped rules make its node 0666.
echo add >/sys/devices/virtual/mem/null/uevent
deadline=$((SECONDS + 30))
until [ -c "$TMP/dev/null" ] && [ "$(stat -c %a "$TMP/dev/null")" = 666 ]; do
  [ "$SECONDS" -lt "$deadline" ] || { cat "$TMP/korvid.log" >&2; fail "no $TMP/dev/null with mode 666"; }
  sleep 0.1
done
if [ "$HAVE_CTL" = 1 ]; then
  deadline=$((SECONDS + 30))
  until [ "$("$PREFIX/bin/korvidctl" list 'Match("DEVNAME", "null")')" = /devices/virtual/mem/null ]; do
    [ "$SECONDS" -lt "$deadline" ] || fail "korvidctl list does not show /devices/virtual/mem/null"
    sleep 0.1
  done
fi
stop_korvid || fail "korvid did not stop cleanly"
echo "install into a prefix: ok"
