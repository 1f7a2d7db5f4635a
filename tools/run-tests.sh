#!/bin/bash
# The test command: installs what it needs, then builds and runs every test
# in a plain build and in sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh

run_suite() {  # build-dir, extra cmake arguments...
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" -j"$(nproc)"
    (cd "$dir" && ctest --output-on-failure -j2)
}

run_suite build
run_suite build-asan -DTOVIK_SANITIZE=address
run_suite build-tsan -DTOVIK_SANITIZE=thread
