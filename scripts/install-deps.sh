#!/usr/bin/env bash
# Installs the Debian packages korvid builds and tests with. Runs apt-get
# update only when a package is missing, so a machine that has everything
# stays offline.
set -euo pipefail

PACKAGES=(
  build-essential cmake make pkg-config
  libboost1.81-dev            # Asio with C++20 coroutines
  libspdlog-dev libfmt-dev    # log sinks and formatting
  libre2-dev                  # linear-time regular expressions for rules
  nlohmann-json3-dev          # IPC JSON
  libgtest-dev libgmock-dev   # unit and end-to-end tests
  libbenchmark-dev            # benchmarks
  dpkg-dev                    # CPack DEB generator (shlibdeps)
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -o DPkg::Lock::Timeout=300
apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=300 "${missing[@]}"
