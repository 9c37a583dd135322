#!/bin/sh
# The systemd unit passes systemd-analyze without a complaint and keeps the
# settings korvid depends on.
#
# Usage: unit-test.sh UNIT KORVID KORVIDCTL    (exit 77: no systemd-analyze)
set -eu
UNIT=$1
DAEMON=$2
CTL=$3
if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "systemd-analyze is not installed; skipping"
  exit 77
fi
TMP=$(mktemp -d /tmp/korvid-unit-test-XXXXXX)
trap 'rm -rf "$TMP"' EXIT

status=0
for setting in Type=simple ExecStart=/usr/sbin/korvid KillSignal=SIGINT Restart=on-failure \
               Environment=NO_COLOR=1 Environment=KORVID_HAS_DEVTMPFS=1 DefaultDependencies=no \
               "ExecStartPost=-/usr/bin/korvidctl trigger --settle --timeout 120"; do
  grep -qxF -- "$setting" "$UNIT" || { echo "missing: $setting"; status=1; }
done
# SIGHUP is no reload for korvid.
if grep -q '^ExecReload=' "$UNIT"; then echo "the unit has an ExecReload"; status=1; fi

# systemd-analyze checks that the executables exist: point at built ones.
sed -e "s|/usr/sbin/korvid|$DAEMON|" -e "s|/usr/bin/korvidctl|$CTL|" "$UNIT" >"$TMP/korvid.service"
out=$(systemd-analyze verify --man=no "$TMP/korvid.service" 2>&1) || { echo "systemd-analyze failed"; status=1; }
if [ -n "$out" ]; then
  echo "systemd-analyze: $out"
  status=1
fi
exit $status
