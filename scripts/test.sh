#!/usr/bin/env bash
# The project's test command: installs what the build needs when it is missing, builds
# everything with -Werror under AddressSanitizer and UndefinedBehaviorSanitizer and runs the
# whole suite with CTest, then runs the tests labelled "threads" again under ThreadSanitizer.
# Usage: scripts/test.sh [extra ctest arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

jobs="${KORVO_JOBS:-$(nproc)}"
configure_and_build() {  # build-dir sanitizer
  cmake -S "$root" -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVO_SANITIZE="$2" \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DKORVO_BUILD_TESTS=ON
  cmake --build "$1" -j "$jobs"
}

asan="${KORVO_BUILD_DIR:-$root/build/asan}"
configure_and_build "$asan" address
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$asan" --output-on-failure -j "$jobs" "$@"

tsan="${KORVO_TSAN_BUILD_DIR:-$root/build/tsan}"
configure_and_build "$tsan" thread
export TSAN_OPTIONS="halt_on_error=1"
ctest --test-dir "$tsan" --output-on-failure -j "$jobs" -L threads "$@"

# Short fuzzing runs of every libFuzzer target (about 20 s each); any finding fails the run.
# KORVO_SKIP_FUZZ=1 skips this step.
if [ "${KORVO_SKIP_FUZZ:-0}" != "1" ]; then
  "$root/scripts/fuzz.sh" "${KORVO_FUZZ_SECONDS:-20}"
else
  echo "fuzzing skipped (KORVO_SKIP_FUZZ=1)"
fi
