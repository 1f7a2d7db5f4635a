#!/bin/bash
# Throughput benchmark on loopback: one 256 MiB file from nginx, fetched by
# tovik-fetch (default package size), by curl -o in one request, and by the two
# bare libcurl package loops, written once to memory (tmpfs) and once to the
# disk (where users' temporary folders are). Prints MB/s, ratios and peak RSS.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/common.sh
[ -x build/tovik-fetch ] && [ -x build/package-loop ] || {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j"$(nproc)" >/dev/null
}

size=$((256 * 1024 * 1024))
package=307200
rounds=${ROUNDS:-5}
dir=$(mktemp -d /tmp/tovik-bench-XXXXXX)
chmod 755 "$dir"  # nginx workers must reach the served files
trap 'tools/local-servers stop "$dir/srv"; rm -rf "$dir"' EXIT
start_servers "$dir/srv" $((30000 + $$ % 20000)) "$size" "$package" || exit 1
base="http://127.0.0.1:$port"
url="$base/files/installer.bin"

# One round runs every contender once, in turn; each keeps its best wall time
# and its largest peak RSS. Every downloaded file is checked, then removed.
declare -A best rss
run() {  # output folder, name, command...
    local out=$1 name=$2
    shift 2
    rm -f "$out"/*
    local started ended seconds kb
    started=$(date +%s%N)  # time's own clock counts in hundredths: too coarse here
    TMPDIR="$out" /usr/bin/time -f "%M" -o "$dir/time" "$@" >"$dir/stdout" 2>"$dir/trace" ||
        { echo "$name failed:"; cat "$dir/stdout"; exit 1; }
    ended=$(date +%s%N)
    cmp -s "$(ls "$out"/* | head -n1)" "$dir/srv/www/files/installer.bin" || { echo "$name: wrong file"; exit 1; }
    seconds=$(awk "BEGIN{printf \"%.4f\", ($ended - $started) / 1e9}")
    read -r kb < "$dir/time"
    if [ -z "${best[$name]:-}" ] || awk "BEGIN{exit !($seconds < ${best[$name]})}"; then best[$name]=$seconds; fi
    if [ "$kb" -gt "${rss[$name]:-0}" ]; then rss[$name]=$kb; fi
}

mbps() { awk "BEGIN{printf \"%.0f\", $size / 1048576 / $1}"; }
ratio() { awk "BEGIN{printf \"%.2f\", $1 / $2}"; }

memory=$(mktemp -d /dev/shm/tovik-bench-XXXXXX 2>/dev/null || true)
disk=$(mktemp -d /var/tmp/tovik-bench-XXXXXX)
trap 'tools/local-servers stop "$dir/srv"; rm -rf "$dir" "$memory" "$disk"' EXIT
for place in memory disk; do
    out=${!place}
    [ -n "$out" ] || { echo "no tmpfs here: memory skipped"; continue; }
    best=() rss=()
    for _ in $(seq "$rounds"); do
        run "$out" tovik build/tovik-fetch "$base/downloader/installer-metadata/windows" "$base"
        run "$out" fresh build/package-loop "$url" "$size" "$package" "$out/fresh" fresh
        run "$out" reuse build/package-loop "$url" "$size" "$package" "$out/reuse" reuse
        run "$out" curl curl -s -o "$out/curl" "$url"
    done
    echo
    echo "256 MiB from nginx on loopback to $place ($out), package size $package, best of $rounds"
    printf "%-34s %8s %10s %12s\n" "" "MiB/s" "seconds" "peak RSS kB"
    printf "%-34s %8s %10s %12s\n" "tovik-fetch" "$(mbps "${best[tovik]}")" "${best[tovik]}" "${rss[tovik]}"
    printf "%-34s %8s %10s %12s\n" "bare loop, new handle per package" "$(mbps "${best[fresh]}")" "${best[fresh]}" "${rss[fresh]}"
    printf "%-34s %8s %10s %12s\n" "bare loop, one reused handle" "$(mbps "${best[reuse]}")" "${best[reuse]}" "${rss[reuse]}"
    printf "%-34s %8s %10s %12s\n" "curl -o, one request" "$(mbps "${best[curl]}")" "${best[curl]}" "${rss[curl]}"
    echo "$place: tovik-fetch / bare loop throughput: $(ratio "${best[fresh]}" "${best[tovik]}")x (target >= 0.95)"
    echo "$place: tovik-fetch / curl throughput:      $(ratio "${best[curl]}" "${best[tovik]}")x (target >= 0.70)"
    echo "$place: reused handle / bare loop:          $(ratio "${best[fresh]}" "${best[reuse]}")x"
    echo "$place: tovik-fetch / curl peak RSS:        $(ratio "${rss[tovik]}" "${rss[curl]}")x (target <= 1.20)"
done
