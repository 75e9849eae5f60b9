#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a fixed time, default 60 s, starting
# from the seed corpus in tests/fuzz/corpus/. Inputs the fuzzer finds on the way go to
# build/fuzz/found/, never into the repository. Any crash, sanitizer report, time-out
# or leak ends the run with a failure; the input that caused it is kept in
# build/fuzz/artifacts/.
#
# Usage: tools/run-fuzzers.sh [seconds per target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build/fuzz
targets=(init_record decoder_lines port_name line_settings service_records)

cmake -S tests/fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=None >/dev/null
cmake --build "$build" -j"$(nproc)"

# One core per target; on a machine of two cores, one target at a time.
parallel=$(( $(nproc) - 1 ))
(( parallel < 1 )) && parallel=1
(( parallel > ${#targets[@]} )) && parallel=${#targets[@]}

run() {
  local target=$1
  mkdir -p "$build/found/$target" "$build/artifacts"
  if "$build/fuzz_$target" "$build/found/$target" "tests/fuzz/corpus/$target" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" >"$build/$target.log" 2>&1; then
    echo "fuzz_$target: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$build/$target.log" \
      | grep -o '[0-9]*$') inputs in ${seconds} s, no failure"
  else
    echo "fuzz_$target FAILED; its log:"
    tail -n 60 "$build/$target.log"
    return 1
  fi
}
export -f run
export build seconds
printf '%s\n' "${targets[@]}" | xargs -P "$parallel" -I{} bash -c 'run {}'
