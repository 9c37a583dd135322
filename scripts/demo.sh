#!/usr/bin/env bash
# Runs the real daemon against this machine's kernel with a temporary device
# root: harmless virtual devices (/sys/devices/virtual/mem/*) are announced
# with "add", and the nodes korvid created are shown.
set -euo pipefail
BUILD=${1:-build}
KORVID="$BUILD/daemon/korvid"
[ -x "$KORVID" ] || { echo "demo: $KORVID not built" >&2; exit 1; }

DEMO=$(mktemp -d /tmp/korvid-demo-XXXXXX)
LOG="$DEMO/korvid.log"
cleanup() {
  [ -n "${PID:-}" ] && kill -INT "$PID" 2>/dev/null && wait "$PID" 2>/dev/null || true
  rm -rf "$DEMO"
}
trap cleanup EXIT

export KORVID_DEV_ROOT="$DEMO/dev" KORVID_LOG=debug NO_COLOR=1
unset KORVID_HAS_DEVTMPFS KORVID_EXTRA_RULE_DIRS
mkdir -p "$KORVID_DEV_ROOT"

echo "== starting korvid with KORVID_DEV_ROOT=$KORVID_DEV_ROOT"
"$KORVID" >"$LOG" 2>&1 &
PID=$!
sleep 0.5

echo "== announcing the mem devices again (writing \"add\" into their uevent files)"
for dev in /sys/devices/virtual/mem/*; do
  echo add > "$dev/uevent"
done
sleep 1

echo "== what korvid logged"
grep -F 'korvid::uevent' "$LOG" | grep -F '/devices/virtual/mem/' | head -20

echo "== nodes korvid created below $KORVID_DEV_ROOT"
ls -l "$KORVID_DEV_ROOT"

echo "== stopping korvid with SIGINT"
kill -INT "$PID"
wait "$PID" && echo "korvid exited with status $?"
PID=
