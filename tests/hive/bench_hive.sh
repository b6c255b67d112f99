#!/usr/bin/env bash
# Times the native tool on large hives and prints the figures, beside
# hivex's own dump of the key (hivexget) and reglookup when they are there.
#
#   bench_hive.sh DLLTALLY MAKE_HIVE [VALUES] [MAKE_BENCH_KEY]
#
# VALUES (default 100000) values go into one key, and a hundredth of them
# into a small key for the growth from one to the other. With
# MAKE_BENCH_KEY (bench/make_bench_key) the keys are its realistic ones,
# else DWORD values named gen0000001.dll and on. For the clean, nine in ten
# of the files exist on the mounted volume. Each figure is the median of
# RUNS (default 5) runs: seconds and peak resident memory in KiB.
set -euo pipefail

dlltally=$(realpath "$1")
make_hive=$(realpath "$2")
count=${3:-100000}
make_bench_key=${4:+$(realpath "$4")}
runs=${RUNS:-5}
command -v /usr/bin/time >/dev/null || { echo "bench_hive: GNU time is missing" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# make_key N FILE: a hive of N values.
make_key() {
  if [ -n "$make_bench_key" ]; then
    "$make_bench_key" "$1" --hive-values > values.txt
    "$make_hive" "$2" --values values.txt
  else
    "$make_hive" "$2" --generate "$1"
  fi
}

# measure CMD...: runs CMD RUNS times, output to out.txt, after a warm-up;
# prints "seconds KiB", each the median. A setup function, if set, runs
# before every run and is not timed.
setup=:
measure() {
  local times=() peaks=() i start end kib
  $setup
  "$@" > out.txt 2>/dev/null || true
  for ((i = 0; i < runs; i++)); do
    $setup
    start=${EPOCHREALTIME/./}
    /usr/bin/time -f %M -o rss.txt "$@" > out.txt 2>/dev/null || true
    end=${EPOCHREALTIME/./}
    read -r kib < rss.txt
    times+=("$((end - start))")
    peaks+=("$kib")
  done
  local t m
  t=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
  m=$(printf '%s\n' "${peaks[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
  printf '%d.%03d %s\n' $((t / 1000000)) $((t % 1000000 / 1000)) "$m"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
key='Microsoft\Windows\CurrentVersion\SharedDLLs'

small=$((count / 100 > 0 ? count / 100 : 1))
make_key "$small" small.hiv
make_key "$count" big.hiv
hive_bytes=$(stat -c %s big.hiv)
echo "hive: $count values, $hive_bytes bytes; small hive: $small values; median of $runs runs"

read -r t_small m_small < <(measure "$dlltally" --hive small.hiv /ALL)
read -r t_all m_all < <(measure "$dlltally" --hive big.hiv /ALL)
rows=$(wc -l < out.txt)
# Every value's file, for the clean below.
sed -E 's/ +-?[0-9]+ +\(0x[0-9A-F]+\)\r$//' out.txt > names.txt
read -r t_one m_one < <(measure "$dlltally" --hive big.hiv target.dll)
echo "/ALL, $small values:   $t_small s, $m_small KiB"
echo "/ALL:                  $t_all s, $m_all KiB, $rows rows; $(ratio "$m_all" "$((hive_bytes / 1024))") x the hive's size"
echo "growth x $((count / small)):            time x $(ratio "$t_all" "$t_small"), memory x $(ratio "$m_all" "$m_small")"
echo "one operand:           $t_one s, $m_one KiB; $(ratio "$t_one" "$t_all") x /ALL"
if command -v hivexget >/dev/null; then
  read -r t_hivex m_hivex < <(measure hivexget big.hiv "$key")
  echo "hivexget:              $t_hivex s, $m_hivex KiB; /ALL is $(ratio "$t_all" "$t_hivex") x"
fi
if command -v reglookup >/dev/null; then
  read -r t_reg m_reg < <(measure reglookup -p "/${key//\\//}" big.hiv)
  echo "reglookup:             $t_reg s, $m_reg KiB; /ALL is $(ratio "$t_all" "$t_reg") x"
fi

# The volume: every file but each tenth, folders as the names give them.
mkdir root
awk 'NR % 10 != 0 && /^[Cc]:\\/ { sub(/^..\\/, "root/"); gsub(/\\/, "/"); print }' names.txt > files.txt
sed 's|/[^/]*$||' files.txt | sort -u | xargs -d '\n' mkdir -p
xargs -d '\n' touch < files.txt
fresh_copy() { cp big.hiv clean.hiv; }
setup=fresh_copy
read -r t_clean m_clean < <(measure "$dlltally" --hive clean.hiv --root root /CLEAN /ALL)
echo "/CLEAN /ALL:           $t_clean s, $m_clean KiB, $(grep -c Deleted out.txt || true) deleted; hive after: $(stat -c %s clean.hiv) bytes"
setup=:
read -r t_again m_again < <(measure "$dlltally" --hive clean.hiv --root root /CLEAN /ALL)
echo "/CLEAN /ALL again:     $t_again s, $m_again KiB, $(grep -c Deleted out.txt || true) deleted"
