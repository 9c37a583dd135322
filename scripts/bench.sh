#!/usr/bin/env bash
# Runs korvid's benchmarks from a build directory.
set -euo pipefail
BUILD=${1:-build}
for bench in "$BUILD"/libs/kobject-uevent/kobject_uevent_bench "$BUILD"/libs/rule/rule_engine_bench "$BUILD"/daemon/daemon_bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" --benchmark_min_time=0.2
done
