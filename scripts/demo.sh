#!/usr/bin/env bash
# A first look: builds dlltally.exe and lists a sample SharedDLLs key with
# it under Wine (the Wine prefix lives in build/wine-demo and is reused),
# then lists the same key in an offline hive file with the native tool.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

mkdir -p build
echo "Setting up and building dlltally.exe and dlltally (log: build/demo.log)..."
if ! { scripts/setup.sh && scripts/build.sh windows native; } >build/demo.log 2>&1; then
  cat build/demo.log >&2
  exit 1
fi

export WINEPREFIX="$root/build/wine-demo"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
export LC_ALL=C.UTF-8
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Making a Wine prefix in build/wine-demo (once)..."
  wineboot -i >/dev/null 2>&1
fi

# The sample replaces whatever the key held before.
key='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs'
{
  printf 'REGEDIT4\n\n[-%s]\n\n' "$key"
  tail -n +2 tests/wine/sample.reg
} >build/wine-demo-sample.reg
wine regedit /s "Z:${root//\//\\}\\build\\wine-demo-sample.reg" >/dev/null 2>&1

echo "Under Wine: dlltally.exe /ALL"
wine build/windows/dlltally.exe /ALL

echo
echo "The same key in a hive file: build/native/dlltally --hive build/native/sample.hiv /ALL"
rm -f build/native/sample.hiv
build/native/make_hive build/native/sample.hiv --values tests/hive/sample_values.txt >/dev/null
build/native/dlltally --hive build/native/sample.hiv /ALL
