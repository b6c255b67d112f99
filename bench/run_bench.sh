#!/usr/bin/env bash
# Benchmark: dlltally against the tools people use instead, on keys of
# 1,000, 10,000 and 100,000 values, under Wine and natively on a hive.
# Each figure is the median of RUNS runs after one warm-up, with the peak
# resident memory beside it. Writes BENCHMARKS.md (or $BENCH_OUT).
#
#   bench/run_bench.sh                 # all sizes, 5 runs each
#   SIZES="1000" RUNS=3 bench/run_bench.sh   # a quick smoke run
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
SIZES=${SIZES:-"1000 10000 100000"}
RUNS=${RUNS:-5}
OUT=${BENCH_OUT:-$top/BENCHMARKS.md}

scripts/setup.sh
scripts/build.sh native windows >/dev/null
command -v /usr/bin/time >/dev/null || { echo "bench: GNU time is missing" >&2; exit 1; }

work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# measure NAME...: runs each named command (an array of that name) with
# its output to a file, twice to warm up (the first run after a change of
# the key can meet Wine still saving its registry), then RUNS rounds in
# which each runs once, so that a slow spell of the machine hits all of
# them alike. A function prepare_NAME, where there is one, runs untimed
# before each run. Prints "median_seconds median_peak_kib" for each name.
measure() {
  local name round start end
  declare -A times peaks
  for name in "$@"; do
    local -n command=$name
    for round in 1 2; do
      ! declare -F "prepare_$name" >/dev/null || "prepare_$name"
      "${command[@]}" >"$work/out" 2>/dev/null || true
    done
  done
  for ((round = 0; round < RUNS; round++)); do
    for name in "$@"; do
      local -n command=$name
      ! declare -F "prepare_$name" >/dev/null || "prepare_$name"
      start=${EPOCHREALTIME/./}
      /usr/bin/time -f "%M" -o "$work/time" "${command[@]}" >"$work/out" 2>/dev/null || true
      end=${EPOCHREALTIME/./}
      times[$name]+="$(awk -v us=$((end - start)) 'BEGIN { printf "%.3f", us / 1e6 }') "
      peaks[$name]+="$(tail -n 1 "$work/time") "
    done
  done
  for name in "$@"; do
    printf '%s %s\n' "$(median ${times[$name]})" "$(median ${peaks[$name]})"
  done
}

median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

exe=$top/build/windows/dlltally.exe
floor=$top/build/windows/bench/enum_floor.exe
key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs'

# The commands measured.
native=$top/build/native/dlltally
hive_key='Microsoft\Windows\CurrentVersion\SharedDLLs'
wine_all=(wine "$exe" /ALL)
wine_one=(wine "$exe" target.dll)
wine_reg=(wine reg query "$key")
wine_floor=(wine "$floor")
native_all=("$native" --hive "$work/key.hiv" /ALL)
native_one=("$native" --hive "$work/key.hiv" target.dll)
native_hivexget=(hivexget "$work/key.hiv" "$hive_key")
native_reglookup=(reglookup -p /Microsoft/Windows/CurrentVersion/SharedDLLs "$work/key.hiv")
native_clean=("$native" --hive "$work/run.hiv" --root "$work/root" /CLEAN /ALL)
prepare_native_clean() { cp "$work/key.hiv" "$work/run.hiv"; }

echo "bench: making a Wine prefix" >&2
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1  # stays up between calls
wineboot -i >/dev/null 2>&1

wine_rows=""
declare -A wine_time wine_peak native_time native_peak
for n in $SIZES; do
  echo "bench: Wine, $n values" >&2
  build/native/bench/make_bench_key "$n" >"$work/key.reg"
  wine reg delete "$key" /f >/dev/null 2>&1 || true
  wine regedit /s "$work/key.reg" >/dev/null 2>&1
  {
    read -r t_all m_all
    read -r t_one m_one
    read -r t_reg m_reg
    read -r t_floor m_floor
  } < <(measure wine_all wine_one wine_reg wine_floor)
  wine_time[$n]=$t_all wine_peak[$n]=$m_all
  wine_rows+="| $n | $t_all ($(mib "$m_all") MiB) | $t_one ($(mib "$m_one") MiB) | $t_reg ($(mib "$m_reg") MiB) | $t_floor ($(mib "$m_floor") MiB) | $(ratio "$t_all" "$t_floor") | $(ratio "$t_all" "$t_reg") | $(ratio "$t_one" "$t_all") |"$'\n'
done

make_hive=$top/build/native/make_hive
native_rows=""
clean_rows=""
for n in $SIZES; do
  echo "bench: native, $n values" >&2
  build/native/bench/make_bench_key "$n" --hive-values >"$work/values.txt"
  rm -f "$work/key.hiv"
  "$make_hive" "$work/key.hiv" --values "$work/values.txt" >/dev/null
  size=$(stat -c %s "$work/key.hiv")
  {
    read -r t_all m_all
    read -r t_one m_one
    read -r t_get m_get
    read -r t_look m_look
  } < <(measure native_all native_one native_hivexget native_reglookup)
  native_time[$n]=$t_all native_peak[$n]=$m_all
  native_rows+="| $n | $(mib $((size / 1024))) MiB | $t_all ($(mib "$m_all") MiB) | $t_one ($(mib "$m_one") MiB) | $t_get ($(mib "$m_get") MiB) | $t_look ($(mib "$m_look") MiB) | $(ratio "$t_all" "$t_get") | $(ratio "$t_all" "$t_look") | $(ratio "$m_all" $((size / 1024))) |"$'\n'

  # The volume for /CLEAN: every tenth value's file is missing.
  rm -rf "$work/root"
  build/native/bench/make_bench_key "$n" --names | awk 'NR % 10 != 0' |
    sed -e 's|^C:\\||' -e 's|\\|/|g' -e "s|^|$work/root/|" >"$work/present.txt"
  sed 's|/[^/]*$||' "$work/present.txt" | sort -u | tr '\n' '\0' | xargs -0 mkdir -p
  tr '\n' '\0' <"$work/present.txt" | xargs -0 touch
  cleaned=$(cp "$work/key.hiv" "$work/run.hiv" &&
    "$native" --hive "$work/run.hiv" --root "$work/root" /CLEAN /ALL | grep -c ' Deleted' || true)
  read -r t_clean m_clean < <(measure native_clean)
  clean_rows+="| $n | $cleaned | $t_clean ($(mib "$m_clean") MiB) |"$'\n'
done

{
  echo "# Benchmarks"
  echo
  echo "Made by \`bench/run_bench.sh\` on $(date -u +%Y-%m-%d): $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(wine --version 2>/dev/null)."
  echo "Each time is the median of $RUNS runs after two warm-up runs, in seconds, with the median peak resident memory; the commands compared in one table row run in turns, round after round."
  echo "Standard output goes to a file. The machine is shared and noisy: ratios from one run count, absolute times are indicative."
  echo
  echo "## Under Wine, on the same key"
  echo
  echo "Peer: Wine's \`reg query\` of the key. Floor: a program that only enumerates the value names with RegEnumValueA."
  echo
  echo "| values | /ALL | target.dll | reg query | floor | /ALL ÷ floor | /ALL ÷ reg | operand ÷ /ALL |"
  echo "|---|---|---|---|---|---|---|---|"
  printf '%s' "$wine_rows"
  echo
  echo "## Native, on the same key in a hive file"
  echo
  echo "Peer: \`reglookup -p /Microsoft/Windows/CurrentVersion/SharedDLLs\`. Floor: \`hivexget\` dumping the key's values (hivex's own read of the same data)."
  echo
  echo "| values | hive | /ALL | target.dll | hivexget | reglookup | /ALL ÷ hivexget | /ALL ÷ reglookup | peak ÷ hive size |"
  echo "|---|---|---|---|---|---|---|---|---|"
  printf '%s' "$native_rows"
  echo
  echo "## Native /CLEAN /ALL with --root, every tenth file missing"
  echo
  echo "Each run cleans a fresh copy of the hive (made before the clock starts) and commits once, the safe way: a new file beside the hive, synced, read back, renamed over it."
  echo
  echo "| values | deleted | /CLEAN /ALL |"
  echo "|---|---|---|"
  printf '%s' "$clean_rows"
  read -r first last < <(echo "$SIZES" | tr ' ' '\n' | sed -n '1h;$!d;x;G;s/\n/ /;p')
  if [ "$first" != "$last" ]; then
    echo
    echo "## Growth of /ALL from $first to $last values ($(ratio "$last" "$first") times the values)"
    echo
    echo "| setting | time | peak memory |"
    echo "|---|---|---|"
    echo "| Wine | $(ratio "${wine_time[$last]}" "${wine_time[$first]}") times | $(ratio "${wine_peak[$last]}" "${wine_peak[$first]}") times |"
    echo "| native | $(ratio "${native_time[$last]}" "${native_time[$first]}") times | $(ratio "${native_peak[$last]}" "${native_peak[$first]}") times |"
    echo
    echo "At $first values both times are mostly start-up (Wine's own, and the process's), so growth reads low; the step from the middle size to $last shows the per-value cost."
  fi
} >"$OUT"
echo "bench: wrote $OUT" >&2
