#!/usr/bin/env bash
# The project's test command: installs dependencies, builds everything and runs
# the whole test suite, then builds and runs it again with AddressSanitizer and
# UBSan. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure --no-tests=error -j "$jobs")
}

echo "== build and test: build/"
run_suite build -DVELA_SANITIZE= -DVELA_WERROR=ON
echo "== build and test with VELA_SANITIZE=address: build-asan/"
run_suite build-asan -DVELA_SANITIZE=address -DVELA_BUILD_BENCH=OFF
echo "== all tests passed"
