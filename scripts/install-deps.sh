#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when any is missing.
# With --bench also the benchmark peers and gnuplot (scripts/bench.sh passes it).
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  python3
  libcurl4-openssl-dev libssl-dev openssl libboost-dev nghttp2-proxy
  clang-14 libclang-rt-14-dev
)
if [ "${1:-}" = "--bench" ]; then
  packages+=(libsimdjson-dev rapidjson-dev nlohmann-json3-dev libjansson-dev libcjson-dev gnuplot-nox)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
