#!/usr/bin/env bash
# Runs the real daemon against this machine's kernel with a temporary device
# root and an example rule file: coldplugs the harmless virtual mem devices
# (/sys/devices/virtual/mem/*) through the IPC Trigger method, waits until
# they are registered, lists them and shows the nodes and links korvid made.
set -euo pipefail
BUILD=${1:-build}
KORVID="$BUILD/daemon/korvid"
KORVIDCTL="$BUILD/tools/korvidctl/korvidctl"
for bin in "$KORVID" "$KORVIDCTL"; do
  [ -x "$bin" ] || { echo "demo: $bin not built" >&2; exit 1; }
done

DEMO=$(mktemp -d /tmp/korvid-demo-XXXXXX)
LOG="$DEMO/korvid.log"
cleanup() {
  if [ -n "${PID:-}" ]; then kill -INT "$PID" 2>/dev/null || true; wait "$PID" 2>/dev/null || true; fi
  rm -rf "$DEMO"
}
trap cleanup EXIT

mkdir -p "$DEMO/dev" "$DEMO/rules"
# Rules are passed with KORVID_EXTRA_RULE_DIRS, never placed in the build tree.
cat > "$DEMO/rules/demo.rules" <<'RULES'
[
  // The random-number devices: readable and writable by everyone (the node
  // step alone leaves DEVMODE less the umask), under a stable name too.
  Rule(
    when: All([Match("SUBSYSTEM", "mem"), Match("DEVNAME", "(u?random)")]),
    actions: [Set("MODE", "0o666"), Add("SYMLINKS", ["{DEVROOT}/entropy/{DEVNAME}"])],
  ),
  // Every mem device gets a link named after its device numbers.
  Rule(
    when: Match("SUBSYSTEM", "mem"),
    do: [Add("SYMLINKS", ["{DEVROOT}/char/{MAJOR}:{MINOR}"])],
  ),
]
RULES

export KORVID_DEV_ROOT="$DEMO/dev" KORVID_EXTRA_RULE_DIRS="$DEMO/rules" \
       KORVID_SYSFS_ROOT=/sys/devices/virtual/mem KORVID_LOG=debug NO_COLOR=1
unset KORVID_HAS_DEVTMPFS

echo "== the example rule file ($KORVID_EXTRA_RULE_DIRS/demo.rules)"
cat "$DEMO/rules/demo.rules"
"$KORVIDCTL" verify "$DEMO/rules/demo.rules" && echo "korvidctl verify: ok"

echo
echo "== starting korvid with KORVID_DEV_ROOT=$KORVID_DEV_ROOT"
"$KORVID" >"$LOG" 2>&1 &
PID=$!

echo "== coldplug: korvidctl trigger --scope all --settle (sysfs root $KORVID_SYSFS_ROOT)"
"$KORVIDCTL" trigger --scope all --settle --timeout 30

echo
echo "== korvidctl list 'Match(\"SUBSYSTEM\", \"mem\")'"
"$KORVIDCTL" list 'Match("SUBSYSTEM", "mem")' | sort

echo
echo "== what korvid logged (excerpt)"
grep -E 'Activating rule file|Triggering uevent|Established connection' "$LOG" | head -12
grep -F 'Received KOBJECT_UEVENT' "$LOG" | head -2

echo
echo "== nodes and links korvid created below $KORVID_DEV_ROOT"
(cd "$KORVID_DEV_ROOT" && ls -lR)

echo
echo "== stopping korvid with SIGINT"
kill -INT "$PID"
status=0
wait "$PID" || status=$?
PID=
echo "korvid exited with status $status"
