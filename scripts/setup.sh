#!/usr/bin/env bash
# Installs what the builds and tests need, when it is missing (Debian 12, as root).
set -euo pipefail

packages=(
  cmake g++ make libgtest-dev
  g++-mingw-w64-x86-64-posix
  wine wine64
  pkg-config libhivex-dev libhivex-bin reglookup  # the native tool's hive mode and its tests
  clang libclang-rt-14-dev  # libFuzzer and its sanitizer runtimes: scripts/fuzz.sh
  valgrind  # memcheck over the hive suite: scripts/test.sh
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root to install the packages above" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y "${missing[@]}"
fi
