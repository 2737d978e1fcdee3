#!/usr/bin/env bash
# Builds and runs the engine-against-SQLite benchmark.
#   scripts/bench.sh N [kestro-bench options]   (N resources, e.g. 10000)
set -euo pipefail
cd "$(dirname "$0")/.."
PACKAGES=(cmake ninja-build g++ pkg-config libbenchmark-dev zlib1g-dev libcrypto++-dev libedit-dev libsqlite3-dev)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
n=${1:-10000}
shift || true
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRO_BENCH=ON -DKESTRO_TESTS=OFF >/dev/null
cmake --build build/bench --target kestro-bench >/dev/null
exec build/bench/bench/kestro-bench --resources "$n" "$@"
