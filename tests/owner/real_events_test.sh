#!/bin/bash
# stats-report on a log made by real downloads: tovik-fetch against the
# generated nginx configuration for the events, with a file server that fails
# chosen requests, so that a clean success, a success after retries and a
# failure after five attempts all occur; the summary must count exactly them.
# Then a release published with 1 MiB packages, downloaded at a limited rate:
# its throughput in the report must be the real rate. Last, the longest event
# the downloader sends must be logged like any other, and a flood of events
# from one address refused past its burst.
#   real_events_test.sh TOVIK_FETCH FAULT_FILES LONGEST_EVENT
set -uo pipefail
fetch=$1 fault_files=$2 longest_event=$3
. "$(dirname "$0")/../../tools/common.sh"
tools=$tovik_tools
dir=$(mktemp -d /tmp/tovik-owner-XXXXXX)
trap '"$tools/local-servers" stop "$dir/srv"; "$tools/local-servers" stop "$dir/rated"; rm -rf "$dir"' EXIT

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

# A release of its own, 1 MiB packages, served at 2 MiB/s a connection.
chmod 755 "$dir"  # nginx's workers read what is published
start_servers "$dir/rated" $((port + 10)) 1000 1000 2m || exit 1
head -c 6291456 /dev/urandom > "$dir/Tovik Setup ż.exe"
"$tools/publish-installer" "$dir/Tovik Setup ż.exe" "http://127.0.0.1:$port" "$dir/rated/www" --package-size 1048576 >/dev/null
TMPDIR="$dir/tmp" "$fetch" "http://127.0.0.1:$port/downloader/installer-metadata/windows" "$stats" >/dev/null 2>&1
"$tools/stats-report" "$dir/srv/events.log" -o "$dir/report.html" --metadata "$dir/rated/www/downloader/installer-metadata/windows"
release() { value "[r for r in d[\"releases\"] if r[\"release\"] == \"Tovik Setup ż.exe\"][0]$1"; }
check "the release is shown by its decoded name, with its own package size" '[ "$(release "[\"package_size\"]")" = 1048576 ]'
check "its throughput is the real rate (2.10 MB/s) within 10 %" \
    'python3 -c "import sys; sys.exit(abs(float(sys.argv[1]) / 2.097152 - 1) > 0.1)" "$(release "[\"throughput_mb_per_s\"][\"median\"]")"'
check "the downloads of files no release names are under unknown installer" \
    '[ "$(value "[r[\"succeeded\"] for r in d[\"releases\"] if r[\"release\"] == \"unknown installer\"]")" = "[2]" ]'

"$longest_event" "$stats"
check "the longest final event (512 KiB) is answered 204 and logged" \
    'tail -n 1 "$dir/srv/events.log" | grep -q "\"event\":\"download-failed\",\"query\":\"id=.*&errorCount=30000&.*\"status\":204}$" &&
    [ "$(tail -n 1 "$dir/srv/events.log" | wc -c)" -gt 500000 ]'

# A flood from one address, 400 events on one connection: far more than the
# burst of 100 and 10 a second can take, however slow the machine (down to
# 40 a second), so some are refused, and those are not counted.
curl -s $(for n in $(seq 400); do echo "-o /dev/null $stats/Tovik-Downloader/evt/download-started?id=flood$n&branding=Tovik"; done)
"$tools/stats-report" "$dir/srv/events.log" -o "$dir/report.html" >/dev/null
check "a flood of events from one address: refused past the burst (429), counted as rejected" \
    '[ "$(value "d[\"rejected_events\"][\"reasons\"].get(\"refused by the server (429)\", 0)")" -gt 0 ] &&
    [ "$(value "d[\"downloads\"][\"started\"]")" -lt 400 ]'

checks_result
