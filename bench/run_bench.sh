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

# measure CMD...: runs CMD (stdout to a file) to warm up, then RUNS
# times; prints "median_seconds median_peak_kib".
measure() {
  local times=() peaks=() i
  # Two warm-up runs: the first after a change of the key can meet Wine
  # still saving its registry.
  "$@" >"$work/out" 2>/dev/null || true
  "$@" >"$work/out" 2>/dev/null || true
  for ((i = 0; i < RUNS; i++)); do
    local start=${EPOCHREALTIME/./} end
    /usr/bin/time -f "%M" -o "$work/time" "$@" >"$work/out" 2>/dev/null || true
    end=${EPOCHREALTIME/./}
    times+=("$(awk -v us=$((end - start)) 'BEGIN { printf "%.3f", us / 1e6 }')")
    peaks+=("$(tail -n 1 "$work/time")")
  done
  printf '%s %s\n' "$(printf '%s\n' "${times[@]}" | sort -g | sed -n "$(((RUNS + 1) / 2))p")" \
    "$(printf '%s\n' "${peaks[@]}" | sort -g | sed -n "$(((RUNS + 1) / 2))p")"
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

exe=$top/build/windows/dlltally.exe
floor=$top/build/windows/bench/enum_floor.exe
key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs'

echo "bench: making a Wine prefix" >&2
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1  # stays up between calls
wineboot -i >/dev/null 2>&1

wine_rows=""
for n in $SIZES; do
  echo "bench: Wine, $n values" >&2
  build/native/bench/make_bench_key "$n" >"$work/key.reg"
  wine reg delete "$key" /f >/dev/null 2>&1 || true
  wine regedit /s "$work/key.reg" >/dev/null 2>&1
  read -r t_all m_all < <(measure wine "$exe" /ALL)
  read -r t_one m_one < <(measure wine "$exe" target.dll)
  read -r t_reg m_reg < <(measure wine reg query "$key")
  read -r t_floor m_floor < <(measure wine "$floor")
  wine_rows+="| $n | $t_all ($(mib "$m_all") MiB) | $t_one ($(mib "$m_one") MiB) | $t_reg ($(mib "$m_reg") MiB) | $t_floor ($(mib "$m_floor") MiB) | $(ratio "$t_all" "$t_floor") | $(ratio "$t_all" "$t_reg") | $(ratio "$t_one" "$t_all") |"$'\n'
done

native=$top/build/native/dlltally
make_hive=$top/build/native/make_hive
hive_key='Microsoft\Windows\CurrentVersion\SharedDLLs'
native_rows=""
clean_rows=""
for n in $SIZES; do
  echo "bench: native, $n values" >&2
  build/native/bench/make_bench_key "$n" --hive-values >"$work/values.txt"
  rm -f "$work/key.hiv"
  "$make_hive" "$work/key.hiv" --values "$work/values.txt" >/dev/null
  size=$(stat -c %s "$work/key.hiv")
  read -r t_all m_all < <(measure "$native" --hive "$work/key.hiv" /ALL)
  read -r t_one m_one < <(measure "$native" --hive "$work/key.hiv" target.dll)
  read -r t_get m_get < <(measure hivexget "$work/key.hiv" "$hive_key")
  read -r t_look m_look < <(measure reglookup -p /Microsoft/Windows/CurrentVersion/SharedDLLs "$work/key.hiv")
  native_rows+="| $n | $(mib $((size / 1024))) MiB | $t_all ($(mib "$m_all") MiB) | $t_one ($(mib "$m_one") MiB) | $t_get ($(mib "$m_get") MiB) | $t_look ($(mib "$m_look") MiB) | $(ratio "$t_all" "$t_get") | $(ratio "$t_all" "$t_look") | $(ratio "$m_all" $((size / 1024))) |"$'\n'

  # The volume for /CLEAN: every tenth value's file is missing.
  rm -rf "$work/root"
  build/native/bench/make_bench_key "$n" --names | awk 'NR % 10 != 0' |
    sed -e 's|^C:\\||' -e 's|\\|/|g' -e "s|^|$work/root/|" >"$work/present.txt"
  sed 's|/[^/]*$||' "$work/present.txt" | sort -u | tr '\n' '\0' | xargs -0 mkdir -p
  tr '\n' '\0' <"$work/present.txt" | xargs -0 touch
  cleaned=$(cp "$work/key.hiv" "$work/run.hiv" &&
    "$native" --hive "$work/run.hiv" --root "$work/root" /CLEAN /ALL | grep -c ' Deleted' || true)
  read -r t_clean m_clean < <(measure bash -c 'cp "$1" "$2" && exec "$3" --hive "$2" --root "$4" /CLEAN /ALL' \
    _ "$work/key.hiv" "$work/run.hiv" "$native" "$work/root")
  read -r t_copy m_copy < <(measure cp "$work/key.hiv" "$work/run.hiv")
  clean_rows+="| $n | $cleaned | $t_clean ($(mib "$m_clean") MiB) | $t_copy |"$'\n'
done

{
  echo "# Benchmarks"
  echo
  echo "Made by \`bench/run_bench.sh\` on $(date -u +%Y-%m-%d): $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo), $(wine --version 2>/dev/null)."
  echo "Each time is the median of $RUNS runs after a warm-up, in seconds, with the median peak resident memory."
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
  echo "Each run cleans a fresh copy of the hive (the time includes that copy; the copy alone is shown beside it) and commits once."
  echo
  echo "| values | deleted | /CLEAN /ALL | copy alone |"
  echo "|---|---|---|---|"
  printf '%s' "$clean_rows"
} >"$OUT"
echo "bench: wrote $OUT" >&2
