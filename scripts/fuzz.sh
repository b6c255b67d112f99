#!/usr/bin/env bash
# Builds the libFuzzer targets in build/fuzz, replays every saved regression
# input, then fuzzes each target for SECONDS (default 30) from its seed corpus.
# Exits non-zero on the first broken property, crash or sanitizer report; the
# input that did it is left in build/fuzz/artifacts/<target>/, the log in
# build/fuzz/logs.*/.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
((${#targets[@]})) ||
  targets=(text_to_count command_line operand_matches format_row failure_report run hive)

build=build/fuzz
mkdir -p "$build"
# Two runs at once share the build folder: one builds while the other waits,
# and each keeps its own logs.
(
  flock 9
  cmake -S . -B "$build" -DDLLTALLY_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
  cmake --build "$build" --target dlltally_fuzzers -j 2
) 9>"$build/.build-lock"
logs=$(mktemp -d "$build/logs.XXXXXX")

for target in "${targets[@]}"; do
  fuzzer="$build/fuzz/${target}_fuzzer"
  regressions="fuzz/regressions/$target"
  work_corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target/"
  mkdir -p "$work_corpus" "$artifacts"

  mapfile -t saved < <(find "$regressions" -type f ! -name '.*' 2>/dev/null | sort)
  if ((${#saved[@]})); then
    echo "== $target: replaying ${#saved[@]} regression inputs"
    "$fuzzer" "${saved[@]}" 2>"$logs/$target.replay.log" ||
      { cat "$logs/$target.replay.log"; exit 1; }
  fi

  # A hive file is at least 8 KiB; small hives stay below 64 KiB.
  max_len=8192
  [[ $target == hive ]] && max_len=65536

  # The checked-in seeds stay as they are: new inputs go to the build's copy.
  echo "== $target: fuzzing for ${seconds}s"
  "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
    -print_final_stats=1 -artifact_prefix="$artifacts" \
    "$work_corpus" "fuzz/corpus/$target" 2>"$logs/$target.fuzz.log" ||
    { tail -n 60 "$logs/$target.fuzz.log"; exit 1; }
  grep -aE '^Done|^stat::new_units_added' "$logs/$target.fuzz.log" | sed "s/^/   /"
done
rm -rf "$logs"
echo "fuzz: all targets held"
