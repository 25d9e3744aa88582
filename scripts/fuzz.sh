#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset, clang) and runs each for a
# bounded time on a scratch copy of its seed corpus, so new inputs found
# during the run never land in the repository. Any crash, sanitizer report
# or invariant violation fails the script.
#
#   scripts/fuzz.sh                 # every fuzzer, 30 s each
#   FUZZ_SECONDS=300 scripts/fuzz.sh fuzz_env
#   FUZZ_BUILD_DIR=build/mine-fuzz scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${FUZZ_BUILD_DIR:-build/fuzz}
seconds=${FUZZ_SECONDS:-30}
jobs=${FUZZ_BUILD_JOBS:-2}

# fuzzer target -> seed corpus directory under fuzz/corpus
declare -A corpus=([fuzz_estimator]=estimator [fuzz_env]=env [fuzz_request_scan]=request_scan [fuzz_trace]=trace [fuzz_usage]=usage)
targets=("$@")
if ((${#targets[@]} == 0)); then targets=(fuzz_estimator fuzz_env fuzz_request_scan fuzz_trace fuzz_usage); fi

cmake --preset fuzz -B "$build_dir" >/dev/null
cmake --build "$build_dir" --target "${targets[@]}" -j"$jobs"

status=0
for target in "${targets[@]}"; do
  seeds=fuzz/corpus/${corpus[$target]:?unknown fuzzer $target}
  work="$build_dir/fuzz-run/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp -r "$seeds"/. "$work/corpus/"
  echo "== $target: ${seconds}s on a copy of $seeds"
  if ! ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
       UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
       "$build_dir/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
         -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log.txt" 2>&1; then
    echo "!! $target failed; last lines of $work/log.txt:" >&2
    tail -n 40 "$work/log.txt" >&2
    ls "$work/artifacts" >&2 || true
    status=1
  else
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$work/log.txt" || true
  fi
done
exit $status
