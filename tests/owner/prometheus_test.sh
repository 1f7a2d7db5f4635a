#!/bin/bash
# The owner's monitoring for real: downloads through nginx with tovik-fetch
# (five succeed, three fail with 22, one with 133), stats-report --prometheus
# into the textfile folder of a real prometheus-node-exporter, and a real
# prometheus scraping it on loopback; the counters are read back through
# Prometheus's HTTP API. promtool checks the file and the rules, and runs the
# rules' unit tests. Every server is a plain process of the test's own that
# ends by itself.
#   prometheus_test.sh TOVIK_FETCH
set -uo pipefail
fetch=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/common.sh"
tools=$tovik_tools
dir=$(mktemp -d /tmp/tovik-prometheus-XXXXXX)
pids=()
trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done; "$tools/local-servers" stop "$dir/srv"; rm -rf "$dir"' EXIT
chmod 755 "$dir"

check "the alert rules pass promtool's check" 'promtool check rules "$here/../../server/tovik-alerts.yml" >/dev/null'
check "the alert rules' unit tests pass" '(cd "$here" && promtool test rules tovik-alerts-test.yml >/dev/null)'

start_servers "$dir/srv" $((35000 + $$ % 20000)) 200000 100000 || exit 1
base="http://127.0.0.1:$port"
www="$dir/srv/www/downloader/installer-metadata"
sed 's|/files/installer.bin|/files/missing.bin|' "$www/windows" > "$www/missing"
sed "s|<hash>[0-9a-f]*<|<hash>$(printf '%064d' 0)<|" "$www/windows" > "$www/swapped"
mkdir -p "$dir/tmp"
for document in windows windows windows windows windows missing missing missing swapped; do
    TMPDIR="$dir/tmp" "$fetch" "$base/downloader/installer-metadata/$document" "$base" >/dev/null 2>&1
done

textfiles="$dir/textfiles"
mkdir -m 755 "$textfiles"
"$tools/stats-report" "$dir/srv/events.log" -o "$dir/report.html" --store "$dir/history.sqlite" \
    --prometheus "$textfiles/tovik.prom" >/dev/null
check "the metrics file passes promtool's check" 'promtool check metrics < "$textfiles/tovik.prom"'
check "the metrics file is the only file in the folder (written beside, then renamed)" \
    '[ "$(ls -A "$textfiles")" = tovik.prom ]'

exporter=$(free_port) server=$(free_port)
timeout 120 prometheus-node-exporter --web.listen-address="127.0.0.1:$exporter" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$textfiles" >"$dir/exporter.log" 2>&1 &
pids+=($!)
cat > "$dir/prometheus.yml" <<YML
global: {scrape_interval: 1s, evaluation_interval: 1s}
scrape_configs:
  - job_name: tovik
    static_configs: [{targets: ["127.0.0.1:$exporter"]}]
YML
timeout 120 prometheus --config.file="$dir/prometheus.yml" --storage.tsdb.path="$dir/tsdb" \
    --web.listen-address="127.0.0.1:$server" >"$dir/prometheus.log" 2>&1 &
pids+=($!)

value() {  # PromQL: its one value through the HTTP API, waiting up to 40 s for the first scrape
    local answer
    for _ in $(seq 80); do
        answer=$(curl -sG "http://127.0.0.1:$server/api/v1/query" --data-urlencode "query=$1" 2>/dev/null |
            /usr/bin/python3 -c 'import json, sys; r = json.load(sys.stdin)["data"]["result"]; print(r[0]["value"][1] if r else "")' 2>/dev/null)
        [ -n "$answer" ] && { echo "$answer"; return; }
        sleep 0.5
    done
}
check "through Prometheus: 9 started, 5 succeeded, 4 failed" \
    '[ "$(value "tovik_downloads_total{outcome=\"started\"}")" = 9 ] &&
    [ "$(value "tovik_downloads_total{outcome=\"succeeded\"}")" = 5 ] &&
    [ "$(value "tovik_downloads_total{outcome=\"failed\"}")" = 4 ]'
check "through Prometheus: failures 3 with code 22, 1 with 133, 0 with 135 (never seen)" \
    '[ "$(value "tovik_download_failures_total{code=\"22\"}")" = 3 ] &&
    [ "$(value "tovik_download_failures_total{code=\"133\"}")" = 1 ] &&
    [ "$(value "tovik_download_failures_total{code=\"135\"}")" = 0 ]'
check "through Prometheus: the run's own time, and the newest event's" \
    '[ "$(value "time() - tovik_stats_run_timestamp_seconds < 120")" != "" ] &&
    [ "$(value "time() - tovik_newest_event_timestamp_seconds < 600")" != "" ]'

checks_result
