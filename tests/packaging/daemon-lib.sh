# Helpers for the packaging tests that start a real korvid. Source from bash.
#
# Only one korvid can bind the control socket on a machine; a daemon test of
# another build tree may hold it for a while, so starting retries.

# start_korvid LOG EXECUTABLE: starts EXECUTABLE in the background with the
# caller's environment, its output in LOG, and sets KORVID_PID. Retries while
# another daemon holds the socket; fails after that or on any other early
# exit.
start_korvid() {
  local log=$1 exe=$2
  KORVID_LOG_FILE=$log
  for _ in $(seq 1 60); do
    "$exe" >"$log" 2>&1 &
    KORVID_PID=$!
    if wait_for_rules_loaded "$KORVID_PID" 30; then
      return 0
    fi
    if kill -0 "$KORVID_PID" 2>/dev/null && ! grep -q '^State:[[:space:]]*Z' "/proc/$KORVID_PID/status" 2>/dev/null; then
      echo "korvid did not finish loading its rules within 30 s" >&2
      cat "$log" >&2
      return 1
    fi
    wait "$KORVID_PID" || true
    if grep -q 'Failed to start IPC server' "$log"; then
      sleep 1
      continue
    fi
    echo "korvid exited during start-up:" >&2
    cat "$log" >&2
    return 1
  done
  echo "korvid could not bind its socket: another daemon kept it for a minute" >&2
  return 1
}

# korvid installs its SIGINT handler once the rules are loaded; a SIGINT
# before that would end it by the default action. Waits for the handler.
wait_for_rules_loaded() {
  local pid=$1 limit=$2 deadline mask
  deadline=$((SECONDS + limit))
  while [ "$SECONDS" -lt "$deadline" ]; do
    # An exited child stays a zombie until waited for.
    if ! kill -0 "$pid" 2>/dev/null || grep -q '^State:[[:space:]]*Z' "/proc/$pid/status" 2>/dev/null; then
      return 1
    fi
    mask=$(awk '/^SigCgt:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
    if [ -n "$mask" ] && [ $((16#$mask & 2)) -ne 0 ]; then
      return 0
    fi
    sleep 0.05
  done
  return 1
}

# stop_korvid: SIGINT, then the exit status must be 0.
stop_korvid() {
  local status=0
  kill -INT "$KORVID_PID"
  wait "$KORVID_PID" || status=$?
  KORVID_PID=
  if [ "$status" -ne 0 ]; then
    echo "korvid exited with status $status after SIGINT; its output:" >&2
    grep -v ' DEBUG ' "$KORVID_LOG_FILE" >&2 || true
    return 1
  fi
}

# Ends a daemon left running by a failed test.
kill_korvid() {
  if [ -n "${KORVID_PID:-}" ]; then
    kill -INT "$KORVID_PID" 2>/dev/null || true
    wait "$KORVID_PID" 2>/dev/null || true
    KORVID_PID=
  fi
}

# check_rules_activated_once LOG DIR NAME...: every NAME in DIR was activated
# exactly once, no rule file failed, and no other rule file was activated.
check_rules_activated_once() {
  local log=$1 dir=$2 name count failed=0 others
  shift 2
  for name in "$@"; do
    count=$(grep -cF "Activating rule file \"$dir/$name\"" "$log" || true)
    if [ "$count" -ne 1 ]; then
      echo "$dir/$name activated $count times, expected once" >&2
      failed=1
    fi
  done
  if grep -F 'Failed to parse rule file' "$log" >&2; then
    failed=1
  fi
  others=$(grep -F 'Activating rule file' "$log" | grep -vF "Activating rule file \"$dir/" || true)
  if [ -n "$others" ]; then
    echo "rule files from other directories were activated:" >&2
    echo "$others" >&2
    failed=1
  fi
  if [ "$failed" -ne 0 ]; then
    echo "--- korvid log" >&2
    cat "$log" >&2
  fi
  return "$failed"
}

# fail MESSAGE: prints and exits 1.
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
