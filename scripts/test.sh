#!/usr/bin/env bash
# The project's test command: installs dependencies, builds everything and runs
# the whole test suite, then builds and runs it again with AddressSanitizer and
# UBSan. Exits non-zero on the first failure, and when the tests leave anything
# in their temporary directory.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
# The tests run with a temporary directory of their own, which must be empty
# again when they are done: whatever a test leaves there fails the run.
test_tmp=
trap '[ -z "$test_tmp" ] || rm -rf "$test_tmp"' EXIT
run_suite() {
    local dir=$1 status=0
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    test_tmp=$(mktemp -d "${TMPDIR:-/tmp}/vela-tests.XXXXXX")
    (cd "$dir" && TMPDIR=$test_tmp ctest --output-on-failure --no-tests=error -j "$jobs") || status=$?
    if [ -n "$(ls -A "$test_tmp")" ]; then
        echo "test.sh: the tests left files in their temporary directory $test_tmp:" >&2
        find "$test_tmp" -mindepth 1 -maxdepth 2 | sort >&2 || true
        status=1
    fi
    rm -rf "$test_tmp"
    test_tmp=
    return "$status"
}

echo "== build and test: build/"
run_suite build -DVELA_SANITIZE= -DVELA_WERROR=ON
echo "== build and test with VELA_SANITIZE=address: build-asan/"
run_suite build-asan -DVELA_SANITIZE=address -DVELA_BUILD_BENCH=OFF
echo "== all tests passed"
