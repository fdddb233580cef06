#!/usr/bin/env bash
# The project's test command: installs what the build needs when it is missing, builds
# everything with -Werror under AddressSanitizer and UndefinedBehaviorSanitizer, and runs the
# whole suite with CTest. Usage: scripts/test.sh [extra ctest arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

build="${KORVO_BUILD_DIR:-$root/build/asan}"
jobs="${KORVO_JOBS:-$(nproc)}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVO_SANITIZE=address \
      -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DKORVO_BUILD_TESTS=ON
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$build" --output-on-failure -j "$jobs" "$@"
