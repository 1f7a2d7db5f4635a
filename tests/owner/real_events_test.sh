#!/bin/bash
# stats-report on a log made by real downloads: tovik-fetch against the
# generated nginx configuration for the events, with a file server that fails
# chosen requests, so that a clean success, a success after retries and a
# failure after five attempts all occur; the summary must count exactly them.
# Then the longest event the downloader sends must be logged like any other.
#   real_events_test.sh TOVIK_FETCH FAULT_FILES LONGEST_EVENT
set -uo pipefail
fetch=$1 fault_files=$2 longest_event=$3
. "$(dirname "$0")/../../tools/common.sh"
tools=$tovik_tools
dir=$(mktemp -d /tmp/tovik-owner-XXXXXX)
trap '"$tools/local-servers" stop "$dir/srv"; rm -rf "$dir"' EXIT

start_servers "$dir/srv" $((30000 + $$ % 20000)) 250000 100000 || exit 1
stats="http://127.0.0.1:$port"
mkdir -p "$dir/tmp"

download() {  # failing requests of the file server; leaves tovik-fetch's last line in $dir/last
    "$fault_files" "$dir/srv/www/files/installer.bin" "$1" 60 > "$dir/port" 2>/dev/null &
    local server=$!
    for _ in $(seq 50); do [ -s "$dir/port" ] && break; sleep 0.1; done
    TMPDIR="$dir/tmp" "$fetch" "http://127.0.0.1:$(cat "$dir/port")/metadata" "$stats" 2>/dev/null | tail -n 1 > "$dir/last"
    kill "$server"
    wait "$server" 2>/dev/null
    : > "$dir/port"
}
download none
check "a clean download finishes" '[[ "$(cat "$dir/last")" == finished=1* ]]'
download 1,2
check "a download with two failed attempts finishes" '[[ "$(cat "$dir/last")" == finished=1* ]]'
download all
check "a package failing five times fails the download" '[[ "$(cat "$dir/last")" == finished=0* ]]'

"$tools/stats-report" "$dir/srv/events.log" -o "$dir/report.html" --metadata "$dir/srv/www/downloader/installer-metadata/windows"
summary="$dir/report.json"
value() { /usr/bin/python3 -c "import json,sys; d=json.load(open('$summary')); print(eval(sys.argv[1]))" "$1"; }
check "three started, two succeeded, one failed" '[ "$(value "[d[\"downloads\"][k] for k in (\"started\",\"succeeded\",\"failed\",\"canceled\",\"started_never_finished\")]")" = "[3, 2, 1, 0, 0]" ]'
check "the failure is errorCode 22" '[ "$(value "[(f[\"errorCode\"], f[\"count\"]) for f in d[\"failures\"]]")" = "[(22, 1)]" ]'
check "errorCount 0, 2 and 5 once each" '[ "$(value "d[\"retries\"][\"error_count_distribution\"]")" = "{'"'"'0'"'"': 1, '"'"'2'"'"': 1, '"'"'5'"'"': 1}" ]'
check "package 0 failed five times, package 1 twice" '[ "$(value "[(i[\"index\"], i[\"failed_attempts\"]) for i in d[\"retries\"][\"failing_package_indices\"]]")" = "[(0, 5), (1, 2)]" ]'
check "package times of six packages" '[ "$(value "d[\"package_times_ms\"][\"count\"]")" = 6 ]'
check "the package size comes from the metadata" '[ "$(value "d[\"throughput_mb_per_s\"][\"package_size\"]")" = 100000 ]'
check "the report embeds its pictures" '[ "$(grep -o "data:image/png;base64" "$dir/report.html" | wc -l)" -ge 5 ] && ! grep -q "src=\"http" "$dir/report.html"'

"$longest_event" "$stats"
check "the longest final event (512 KiB) is answered 204 and logged" \
    'tail -n 1 "$dir/srv/events.log" | grep -q "\"event\":\"download-failed\",\"query\":\"id=.*&errorCount=30000&.*\"status\":204}$" &&
    [ "$(tail -n 1 "$dir/srv/events.log" | wc -c)" -gt 500000 ]'

checks_result
