#!/bin/bash
# The test command: installs what it needs, then builds and runs every test
# in a plain build and in sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh

run_suite() {  # build-dir, labels left out (a regex, may be empty), cmake arguments...
    local dir=$1 leave_out=$2
    shift 2
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" -j"$(nproc)"
    (cd "$dir" && ctest --output-on-failure -j2 -LE "soak${leave_out:+|$leave_out}")
    # The chaos soak prints its table, so its output is shown in full.
    (cd "$dir" && ctest --output-on-failure -V -L soak)
}

run_suite build ""
# The sanitizer builds run everything but the real windows (WebKit is not built
# for them), and a shorter chaos soak.
TOVIK_SOAK_RUNS=100 run_suite build-asan gui -DTOVIK_SANITIZE=address
TOVIK_SOAK_RUNS=100 run_suite build-tsan gui -DTOVIK_SANITIZE=thread

# libFuzzer targets with ASan+UBSan, about 30 s each from the seed corpora.
CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVIK_FUZZ=ON
cmake --build build-fuzz -j"$(nproc)" --target fuzzers
(cd build-fuzz && ctest --output-on-failure -V -L fuzz)

# The Windows build: the core's unit tests and the exe's window under Wine,
# built with addresses of its own for the test servers.
BUILD_DIR=$PWD/build-win32-test bash tools/build-win32 \
    -DTOVIK_METADATA_HOST=127.0.0.1:18380 -DTOVIK_STATS_HOST=127.0.0.1:18381
(cd build-win32-test && ctest --output-on-failure)
