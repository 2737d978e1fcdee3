#!/usr/bin/env bash
# Sets up a Debian 12 machine for Kestro and builds it.
#   scripts/dev.sh test   install what is missing, build, run every test twice:
#                         a -Werror build and an ASan+UBSan build
#   scripts/dev.sh run    install what is missing, build, start kvbsql on Kestro.kvb
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev zlib1g-dev libcrypto++-dev libedit-dev)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
}

configure_and_build() {  # dir, extra cmake args...
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

run_tests() {
  configure_and_build build/release -DKESTRO_WERROR=ON
  ctest --test-dir build/release --output-on-failure -j "$(nproc)"
  configure_and_build build/asan -DKESTRO_WERROR=ON -DKESTRO_SANITIZE=address,undefined
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j "$(nproc)"
}

case "${1:-}" in
  test)
    install_missing
    run_tests
    ;;
  run)
    # The SQL shell on the default database; extra arguments go to kvbsql.
    shift
    install_missing
    cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRO_TESTS=OFF >/dev/null
    cmake --build build/run --target kvbsql -j "$(nproc)" >/dev/null
    exec build/run/cli/kvbsql "$@" Kestro.kvb
    ;;
  *)
    echo "usage: $0 test|run" >&2
    exit 2
    ;;
esac
