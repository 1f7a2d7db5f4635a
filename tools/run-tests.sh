#!/bin/bash
# The test command: installs what it needs, then builds and runs every test
# in a plain build and in sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh

run_suite() {  # build-dir, ctest arguments, cmake arguments...
    local dir=$1 tests=$2
    shift 2
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" -j"$(nproc)"
    (cd "$dir" && ctest --output-on-failure -j2 $tests)
}

run_suite build ""
# The sanitizer builds run everything but the real windows (WebKit is not built for them).
run_suite build-asan "-LE gui" -DTOVIK_SANITIZE=address
run_suite build-tsan "-LE gui" -DTOVIK_SANITIZE=thread
