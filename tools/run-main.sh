#!/bin/bash
# The main job: one whole download from local servers on port 8380 (the
# product's default addresses), then the caller's side: the file checked
# against the served one and the statistics events the server received.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"

servers=build/main-job
rm -f "$servers"/*.log
# Some tens of MB at a limited rate per package, so the download takes a while.
tools/local-servers.sh start "$servers" 8380 $((40 * 1024 * 1024)) 307200 4m
trap 'tools/local-servers.sh stop "$servers"' EXIT

echo "== downloading"
status=0
output=$(build/tovik-fetch http://127.0.0.1:8380/downloader/installer-metadata/windows http://127.0.0.1:8380 \
    2>build/main-job/trace.log) || status=$?
echo "$output"

echo "== the caller's side"
file=$(tail -n 1 <<<"$output" | sed 's/.* file=//')
echo "served:     $(sha256sum < "$servers/www/files/installer.bin" | cut -d' ' -f1) $(stat -c %s "$servers/www/files/installer.bin") bytes"
echo "downloaded: $(sha256sum < "$file" | cut -d' ' -f1) $(stat -c %s "$file") bytes ($file)"
if cmp -s "$file" "$servers/www/files/installer.bin"; then echo "the downloaded file matches"; else echo "MISMATCH"; status=1; fi
rm -f "$file"

echo "== statistics events received"
cat "$servers/events.log"
echo "== package requests: $(wc -l < "$servers/files.log")"
exit "$status"
