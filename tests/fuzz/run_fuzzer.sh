#!/bin/bash
# Runs one fuzz target for a bounded time from its seed corpus (the repo's
# corpus is only read) and prints its executions per second; fails on any finding.
#   run_fuzzer.sh FUZZER SEED_CORPUS SECONDS
set -uo pipefail
fuzzer=$1 seeds=$2 seconds=$3
work=$(mktemp -d /tmp/tovik-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$work/artifacts"

"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "$seeds" >"$work/log" 2>&1
status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
echo "$(basename "$fuzzer"): ${runs:-0} executions in ${seconds} s, $(( ${runs:-0} / seconds )) per second," \
     "corpus $(ls "$work/corpus" | wc -l) inputs"
if [ $status -ne 0 ] || [ -n "$(ls "$work/artifacts")" ]; then
    grep -E 'ERROR|runtime error|SUMMARY|Test unit written' "$work/log" | head -20
    for artifact in "$work/artifacts"/*; do
        [ -f "$artifact" ] && { echo "input $(basename "$artifact"):"; od -A d -c "$artifact" | head -20; }
    done
    echo "0 passed, 1 failed"
    exit 1
fi
echo "1 passed, 0 failed"
