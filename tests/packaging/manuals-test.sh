#!/bin/sh
# The manuals render without groff warnings, and they document every
# environment variable the daemon reads and every korvidctl option.
#
# Usage: manuals-test.sh SOURCE_DIR    (exit 77: groff is missing, skipped)
set -eu
SRC=$1
MAN=$SRC/man
if ! command -v groff >/dev/null 2>&1; then
  echo "groff is not installed; skipping"
  exit 77
fi
status=0
for page in korvid.8 korvidctl.1 korvid.rules.5; do
  warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$MAN/$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "$page: groff warnings:"
    echo "$warnings"
    status=1
  fi
done

# Names as they appear in the rendered text (roff escapes resolved).
rendered() { LC_ALL=C.UTF-8 MANWIDTH=200 groff -man -Tutf8 -P-cbou "$MAN/$1" 2>/dev/null; }

for variable in $(grep -rhoE '"(KORVID_[A-Z_]+|NO_COLOR)"' "$SRC/libs/common/src" "$SRC/libs/rule/src" "$SRC/daemon/src" \
                  | tr -d '"' | sort -u); do
  if ! rendered korvid.8 | grep -qw -- "$variable"; then
    echo "korvid.8 does not document $variable"
    status=1
  fi
done
if [ -f "$SRC/tools/korvidctl/src/options.cpp" ]; then
  for option in $(grep -oE -- '"--[a-z-]+"' "$SRC/tools/korvidctl/src/options.cpp" | tr -d '"' | sort -u); do
    if ! rendered korvidctl.1 | grep -q -- "$option"; then
      echo "korvidctl.1 does not document $option"
      status=1
    fi
  done
fi
exit $status
