#!/usr/bin/env bash
# Streaming memory benchmark: builds libkorvoc in Release (no sanitizers), starts
# bench/stream_store_server as a process of its own, and runs bench/stream_bench, which uploads a
# document (1024 MiB by default) from a file source and downloads it into a file sink through
# the engine, then prints the client's peak RSS and MB/s. Fails when the peak reaches 64 MiB.
# Usage: scripts/stream-bench.sh [size-MiB] [limit-MiB]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${KORVO_STREAM_BENCH_BUILD_DIR:-$root/build/stream-bench}"
size="${1:-1024}"
limit="${2:-64}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "${KORVO_JOBS:-2}" --target korvoc >/dev/null
cxx="${CXX:-g++}"
"$cxx" -std=c++20 -O2 -Wall -Wextra -Werror "$root/bench/stream_store_server.cpp" -o "$build/stream_store_server"
"$cxx" -std=c++20 -O2 -Wall -Wextra -Werror -I"$root/client/include" -I"$root/json/include" -I"$root/chirp/include" \
  "$root/bench/stream_bench.cpp" -o "$build/stream_bench" \
  -L"$build/client" -L"$build/json" -L"$build/chirp" -lkorvoc -lvellum -lchirp \
  -Wl,-rpath,"$build/client:$build/json:$build/chirp"

work=$(mktemp -d /tmp/korvo-stream-bench-XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir "$work/store"
"$build/stream_store_server" "$work/store" >"$work/port" &
server_pid=$!
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.05; done
port=$(head -n1 "$work/port")
"$build/stream_bench" "http://127.0.0.1:$port" "$work" "$size" "$limit"
