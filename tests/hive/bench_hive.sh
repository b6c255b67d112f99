#!/usr/bin/env bash
# Times the native tool on a large hive and prints the figures.
#
#   bench_hive.sh DLLTALLY MAKE_HIVE [VALUES]
#
# VALUES (default 100000) DWORD values go into one key; for the clean, half
# of their files exist on the mounted volume.
set -euo pipefail

dlltally=$(realpath "$1")
make_hive=$(realpath "$2")
count=${3:-100000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Runs the command with its output in out.txt and prints the seconds taken.
seconds() {
  local start=${EPOCHREALTIME/./} end
  "$@" > out.txt || true
  end=${EPOCHREALTIME/./}
  local micro=$((end - start))
  printf '%d.%03d' $((micro / 1000000)) $((micro % 1000000 / 1000))
}

"$make_hive" big.hiv --generate "$count"
echo "hive: $count values, $(stat -c %s big.hiv) bytes"
echo "/ALL:              $(seconds "$dlltally" --hive big.hiv /ALL) s, $(wc -l < out.txt) rows"
echo "one operand:       $(seconds "$dlltally" --hive big.hiv gen0000001.dll) s, $(wc -l < out.txt) rows"

mkdir -p root/Windows/System32
(cd root/Windows/System32 && seq -f 'gen%07g.dll' 1 2 "$count" | xargs touch)
echo "/CLEAN /ALL:       $(seconds "$dlltally" --hive big.hiv --root root /CLEAN /ALL) s, $(grep -c Deleted out.txt) deleted"
echo "hive after clean:  $(stat -c %s big.hiv) bytes"
echo "/CLEAN /ALL again: $(seconds "$dlltally" --hive big.hiv --root root /CLEAN /ALL) s, $(grep -c Deleted out.txt || true) deleted"
