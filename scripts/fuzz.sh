#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 and runs each for a given number of seconds
# (default 60) over its seed corpus; fails on the first finding, whose reproducer libFuzzer
# leaves in the build directory (copy it into fuzz/corpus/<target>/crash-<name>).
# Usage: scripts/fuzz.sh [seconds] [target...]   (targets: parse visitor array_stream ...)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds="${1:-60}"
shift || true
build="${KORVO_FUZZ_BUILD_DIR:-$root/build/fuzz}"
jobs="${KORVO_JOBS:-2}"

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DKORVO_BUILD_FUZZ=ON -DKORVO_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$root"/fuzz/fuzz_*.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("${name#fuzz_}")
  done
fi
cmake --build "$build" -j "$jobs" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
passed=0
failed=0
for target in "${targets[@]}"; do
  work="$build/work/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$work" "$artifacts"
  corpora=("$root/fuzz/corpus/$target")
  case "$target" in sse|multipart) ;; *) corpora+=("$root/fuzz/corpus/json") ;; esac
  echo "== fuzz_$target for ${seconds}s"
  log="$build/fuzz_$target.log"
  if "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$artifacts/" -print_final_stats=1 "$work" "${corpora[@]}" >"$log" 2>&1; then
    passed=$((passed + 1))
    grep -E "^stat::number_of_executed_units|^stat::average_exec_per_sec" "$log" | tr '\n' ' '
    echo
  else
    failed=$((failed + 1))
    tail -40 "$log"
    echo "fuzz_$target FAILED; reproducer in $artifacts"
  fi
done
echo "fuzzing: $failed of $((passed + failed)) targets had findings"
[ "$failed" -eq 0 ]
