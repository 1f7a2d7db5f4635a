#!/bin/bash
# Throughput benchmark on loopback: one 256 MiB file from nginx, fetched by
# tovik-fetch (default package size), by curl -o in one request, and by the two
# bare libcurl package loops. Prints MB/s, ratios and peak RSS from one run.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/tovik-fetch ] && [ -x build/package-loop ] || {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j"$(nproc)" >/dev/null
}

size=$((256 * 1024 * 1024))
package=307200
rounds=${ROUNDS:-5}
dir=$(mktemp -d /tmp/tovik-bench-XXXXXX)
chmod 755 "$dir"  # nginx workers must reach the served files
trap 'tools/local-servers.sh stop "$dir/srv"; rm -rf "$dir"' EXIT
port=
for candidate in $(seq $((30000 + $$ % 20000)) 7 $((30100 + $$ % 20000))); do
    if tools/local-servers.sh start "$dir/srv" "$candidate" "$size" "$package" 2>/dev/null; then port=$candidate; break; fi
done
[ -n "$port" ] || { echo "nginx did not start"; exit 1; }
base="http://127.0.0.1:$port"
url="$base/files/installer.bin"

# Output goes to memory where possible, so disk writeback does not decide the race.
out=$(mktemp -d /dev/shm/tovik-bench-XXXXXX 2>/dev/null || mktemp -d "$dir/out-XXXXXX")
trap 'tools/local-servers.sh stop "$dir/srv"; rm -rf "$dir" "$out"' EXIT

# One round runs every contender once, in turn; each keeps its best wall time
# and its largest peak RSS. Every downloaded file is checked.
declare -A best rss
run() {  # name, command...
    local name=$1
    shift
    rm -f "$out"/*
    TMPDIR="$out" /usr/bin/time -f "%e %M" -o "$dir/time" "$@" >"$dir/stdout" 2>/dev/null ||
        { echo "$name failed:"; cat "$dir/stdout"; exit 1; }
    cmp -s "$(ls "$out"/* | head -n1)" "$dir/srv/www/files/installer.bin" || { echo "$name: wrong file"; exit 1; }
    local seconds kb
    read -r seconds kb < "$dir/time"
    if [ -z "${best[$name]:-}" ] || awk "BEGIN{exit !($seconds < ${best[$name]})}"; then best[$name]=$seconds; fi
    if [ "$kb" -gt "${rss[$name]:-0}" ]; then rss[$name]=$kb; fi
}

for _ in $(seq "$rounds"); do
    run tovik build/tovik-fetch "$base/downloader/installer-metadata/windows" "$base"
    run fresh build/package-loop "$url" "$size" "$package" "$out/fresh" fresh
    run reuse build/package-loop "$url" "$size" "$package" "$out/reuse" reuse
    run curl curl -s -o "$out/curl" "$url"
done
time_tovik=${best[tovik]} time_fresh=${best[fresh]} time_reuse=${best[reuse]} time_curl=${best[curl]}
rss_tovik=${rss[tovik]} rss_fresh=${rss[fresh]} rss_reuse=${rss[reuse]} rss_curl=${rss[curl]}

mbps() { awk "BEGIN{printf \"%.0f\", $size / 1048576 / $1}"; }
ratio() { awk "BEGIN{printf \"%.2f\", $1 / $2}"; }
echo "256 MiB from nginx on loopback, package size $package, best of $rounds"
printf "%-34s %8s %10s %12s\n" "" "MiB/s" "seconds" "peak RSS kB"
printf "%-34s %8s %10s %12s\n" "tovik-fetch" "$(mbps "$time_tovik")" "$time_tovik" "$rss_tovik"
printf "%-34s %8s %10s %12s\n" "bare loop, new handle per package" "$(mbps "$time_fresh")" "$time_fresh" "$rss_fresh"
printf "%-34s %8s %10s %12s\n" "bare loop, one reused handle" "$(mbps "$time_reuse")" "$time_reuse" "$rss_reuse"
printf "%-34s %8s %10s %12s\n" "curl -o, one request" "$(mbps "$time_curl")" "$time_curl" "$rss_curl"
echo "tovik-fetch / bare loop throughput: $(ratio "$time_fresh" "$time_tovik")x (target >= 0.95)"
echo "tovik-fetch / curl throughput:      $(ratio "$time_curl" "$time_tovik")x (target >= 0.70)"
echo "reused handle / bare loop:          $(ratio "$time_fresh" "$time_reuse")x"
echo "tovik-fetch / curl peak RSS:        $(ratio "$rss_tovik" "$rss_curl")x (target <= 1.20)"
