#!/usr/bin/env bash
# Builds the Debian package from an already built tree, checks its contents,
# extracts it into a temporary directory and starts the packaged daemon from
# there. Nothing is installed on this machine.
#
# Usage: scripts/package-test.sh BUILD_DIR
#
# The package comes from a separate configuration in the Debian layout
# (KORVID_DEBIAN_LAYOUT=ON) that reuses BUILD_DIR's executables instead of
# compiling everything again. Set KEEP_PACKAGE=DIR to keep the .deb.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
BUILD=$(cd "$1" && pwd)
SRC=$(cd "$(dirname "$0")/.." && pwd)
source "$SRC/tests/packaging/daemon-lib.sh"

DAEMON=$BUILD/daemon/korvid
KORVIDCTL=$BUILD/tools/korvidctl/korvidctl
[ -x "$DAEMON" ] || fail "$DAEMON is not built"
for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || fail "$tool is missing (install cmake and dpkg-dev)"
done

TMP=$(mktemp -d /tmp/korvid-package-test-XXXXXX)
cleanup() {
  kill_korvid
  rm -rf "$TMP"
}
trap cleanup EXIT

# 1. Configure the Debian layout around the prebuilt executables and package.
args=(-DKORVID_DEBIAN_LAYOUT=ON -DKORVID_COMPONENTS= -DKORVID_BUILD_TESTS=OFF -DKORVID_BUILD_BENCHMARKS=OFF
      "-DKORVID_PREBUILT_DAEMON=$DAEMON")
HAVE_CTL=0
if [ -x "$KORVIDCTL" ]; then
  args+=("-DKORVID_PREBUILT_KORVIDCTL=$KORVIDCTL")
  HAVE_CTL=1
fi
cmake -S "$SRC" -B "$TMP/build" "${args[@]}" >"$TMP/configure.log" 2>&1 \
  || { cat "$TMP/configure.log" >&2; fail "configuring the Debian layout failed"; }
(cd "$TMP/build" && cpack -G DEB) >"$TMP/cpack.log" 2>&1 \
  || { cat "$TMP/cpack.log" >&2; fail "cpack failed"; }
shopt -s nullglob
debs=("$TMP"/build/korvid_*.deb)
[ "${#debs[@]}" -eq 1 ] || fail "expected one korvid_*.deb, found ${#debs[*]}"
DEB=${debs[0]}
echo "package: $(basename "$DEB")"
if [ -n "${KEEP_PACKAGE:-}" ]; then cp "$DEB" "$KEEP_PACKAGE/"; fi

# 2. Control data: name, dependencies found by shlibdeps, the conffile.
field() { dpkg-deb -f "$DEB" "$1"; }
[ "$(field Package)" = korvid ] || fail "Package is $(field Package)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is $(field Architecture)"
depends=$(field Depends)
for lib in libc6 libstdc++6; do
  [[ $depends == *"$lib "* || $depends == *"$lib," || $depends == "$lib" ]] || fail "Depends lacks $lib: $depends"
done
dpkg-deb -e "$DEB" "$TMP/control"
[ "$(cat "$TMP/control/conffiles")" = /etc/init.d/korvid ] || fail "conffiles: $(cat "$TMP/control/conffiles")"

# 3. Layout.
dpkg-deb -x "$DEB" "$TMP/root"
R=$TMP/root
mapfile -t RULES < <(cd "$SRC/rules" && ls)
if [ ! -f "$R/usr/libexec/korvid/korvid" ] || [ ! -x "$R/usr/libexec/korvid/korvid" ]; then fail "no /usr/libexec/korvid/korvid"; fi
[ -L "$R/usr/sbin/korvid" ] || fail "/usr/sbin/korvid is not a symbolic link"
[ "$(readlink "$R/usr/sbin/korvid")" = ../libexec/korvid/korvid ] || fail "/usr/sbin/korvid -> $(readlink "$R/usr/sbin/korvid")"
if [ "$HAVE_CTL" = 1 ]; then [ -x "$R/usr/bin/korvidctl" ] || fail "no /usr/bin/korvidctl"; fi
for name in "${RULES[@]}"; do
  cmp -s "$SRC/rules/$name" "$R/usr/share/device/rules/$name" || fail "/usr/share/device/rules/$name missing or different"
done
for page in man1/korvidctl.1 man5/korvid.rules.5 man8/korvid.8; do
  [ -f "$R/usr/share/man/$page" ] || fail "no /usr/share/man/$page"
done
cmp -s "$SRC/dist/korvid.service" "$R/lib/systemd/system/korvid.service" || fail "unit missing or different"
cmp -s "$SRC/dist/init.d/korvid" "$R/etc/init.d/korvid" || fail "init script missing or different"
[ -x "$R/etc/init.d/korvid" ] || fail "init script not executable"
# Nothing where the daemon would read it twice or where it has no business.
[ ! -e "$R/usr/libexec/share" ] || fail "package has /usr/libexec/share"
unexpected=$(cd "$R" && find . \( -type f -o -type l \) | sed 's|^\.||' \
  | grep -vE '^/usr/(libexec/korvid/korvid|sbin/korvid|bin/korvidctl)$|^/usr/share/(device/rules|man/man[158]|doc/korvid)/|^/lib/systemd/system/korvid\.service$|^/etc/init\.d/korvid$' || true)
[ -z "$unexpected" ] || fail "unexpected files in the package: $unexpected"

# 4. No path of the build machine inside any file. Sanitizer runtimes keep
# source paths for their reports, so a package made from a sanitizer build
# (a test vehicle only) is checked without its executables.
checked=("$R" "$TMP/control")
if grep -qx 'KORVID_SANITIZE:BOOL=ON' "$BUILD/CMakeCache.txt" 2>/dev/null; then
  echo "note: sanitizer build; executables not checked for build paths"
  mapfile -t checked < <(find "$R" "$TMP/control" -type f ! -path '*/libexec/korvid/korvid' ! -path '*/bin/korvidctl')
fi
for path in "$SRC" "$BUILD" "$TMP"; do
  if grep -rlaF -- "$path" "${checked[@]}"; then fail "the package contains the path $path"; fi
done
# Executables are stripped.
if command -v file >/dev/null && file -L "$R/usr/libexec/korvid/korvid" | grep -q 'not stripped'; then
  fail "the daemon is not stripped"
fi

# 5. Start the extracted daemon through its /usr/sbin link. Its installation
# prefix resolves to .../usr/libexec, which has no rules; the shipped rules
# come in through KORVID_EXTRA_RULE_DIRS, standing in for the fixed
# /usr/share/device/rules of an installed package, and must each be
# activated exactly once.
mkdir "$TMP/dev"
export KORVID_DEV_ROOT=$TMP/dev KORVID_LOG=debug NO_COLOR=1 KORVID_EXTRA_RULE_DIRS=$R/usr/share/device/rules
unset KORVID_HAS_DEVTMPFS KORVID_SYSFS_ROOT
start_korvid "$TMP/korvid.log" "$R/usr/sbin/korvid"
grep -qF "Did not read directory \"$R/usr/libexec/share/device/rules\" for rule files." "$TMP/korvid.log" \
  || { cat "$TMP/korvid.log" >&2; fail "the daemon did not look for rules in its resolved prefix $R/usr/libexec"; }
check_rules_activated_once "$TMP/korvid.log" "$R/usr/share/device/rules" "${RULES[@]}" \
  || fail "rules not activated exactly once"
stop_korvid || fail "the packaged daemon did not stop cleanly"
echo "Debian package: ok"
