#!/usr/bin/env bash
# Drives the init script through start (with its coldplug), status, a second
# start, stop and status, with the daemon of the build tree, a scratch device
# root and an empty sysfs tree (no real device is announced).
#
# Usage: init-script-test.sh INIT_SCRIPT KORVID [KORVIDCTL]
set -euo pipefail
INIT=$1
DAEMON_EXE=$2
CTL_EXE=${3:-}
SRC=$(cd "$(dirname "$0")/../.." && pwd)
source "$SRC/tests/packaging/daemon-lib.sh"

TMP=$(mktemp -d /tmp/korvid-init-test-XXXXXX)
cleanup() {
  if [ -f "$TMP/korvid.pid" ]; then
    kill -INT "$(cat "$TMP/korvid.pid")" 2>/dev/null || true
  fi
  rm -rf "$TMP"
}
trap cleanup EXIT

mkdir -p "$TMP/dev" "$TMP/sys/devices"
export DAEMON=$DAEMON_EXE KORVIDCTL=${CTL_EXE:-$TMP/no-korvidctl} PIDFILE=$TMP/korvid.pid
export LOGFILE=$TMP/korvid.log DEFAULTS=$TMP/no-defaults STOP_TIMEOUT=30
export KORVID_DEV_ROOT=$TMP/dev KORVID_SYSFS_ROOT=$TMP/sys KORVID_LOG=debug
unset KORVID_EXTRA_RULE_DIRS KORVID_HAS_DEVTMPFS NO_COLOR

# run EXPECTED_STATUS ARGS...: runs the script with sh, prints its output.
run() {
  local expected=$1 status=0
  shift
  OUTPUT=$(sh "$INIT" "$@" 2>&1) || status=$?
  [ "$status" -eq "$expected" ] || fail "'$*' exited with $status, expected $expected: $OUTPUT"
}

# Another build tree's daemon test may hold the socket for a while.
started=0
for _ in $(seq 1 60); do
  : >"$LOGFILE"
  status=0
  OUTPUT=$(sh "$INIT" start 2>&1) || status=$?
  if [ "$status" -eq 0 ]; then started=1; break; fi
  grep -q 'Failed to start IPC server' "$LOGFILE" || fail "start exited with $status: $OUTPUT"
  sleep 1
done
[ "$started" = 1 ] || fail "the daemon could not bind its socket for a minute"
[[ $OUTPUT == "Starting korvid"* ]] || fail "start printed: $OUTPUT"
PID=$(cat "$PIDFILE")
kill -0 "$PID" || fail "no daemon with the pid $PID"
[ "$(readlink "/proc/$PID/exe")" = "$(readlink -f "$DAEMON_EXE")" ] || fail "pid $PID is not korvid"
# The script's defaults reach the daemon.
tr '\0' '\n' <"/proc/$PID/environ" | grep -qx 'KORVID_HAS_DEVTMPFS=1' || fail "KORVID_HAS_DEVTMPFS=1 not set"
tr '\0' '\n' <"/proc/$PID/environ" | grep -qx 'NO_COLOR=1' || fail "NO_COLOR=1 not set"
if [ -n "$CTL_EXE" ]; then
  # The coldplug connected (trigger, then the wait for idleness).
  grep -q 'korvid::ipc' "$LOGFILE" || fail "no coldplug request in the log: $(cat "$LOGFILE")"
else
  [[ $OUTPUT == *"not found, no coldplug"* ]] || fail "start printed: $OUTPUT"
fi

run 0 status
[ "$OUTPUT" = "korvid is running (pid $PID)" ] || fail "status printed: $OUTPUT"
run 0 start
[ "$OUTPUT" = "korvid is already running (pid $PID)" ] || fail "second start printed: $OUTPUT"
[ "$(cat "$PIDFILE")" = "$PID" ] || fail "second start replaced the pid file"

wait_for_rules_loaded "$PID" 30 || fail "korvid did not install its SIGINT handler"
run 0 stop
[ "$OUTPUT" = "Stopping korvid" ] || fail "stop printed: $OUTPUT"
[ ! -e "$PIDFILE" ] || fail "stop left the pid file"
if kill -0 "$PID" 2>/dev/null && ! grep -q '^State:[[:space:]]*Z' "/proc/$PID/status"; then
  fail "korvid still runs after stop"
fi
run 3 status
[ "$OUTPUT" = "korvid is not running" ] || fail "status after stop printed: $OUTPUT"
run 0 stop
[ "$OUTPUT" = "korvid is not running" ] || fail "second stop printed: $OUTPUT"

run 2 frobnicate
DAEMON=$TMP/missing run 5 start
[ "$OUTPUT" = "korvid: $TMP/missing not found" ] || fail "start without daemon printed: $OUTPUT"
echo "init script: ok"
