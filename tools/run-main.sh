#!/bin/bash
# The main job: local servers on port 8380 (the product's default addresses),
# the installer window downloading from them, and the caller's side.
# On a display the user clicks; with none, it runs under Xvfb and clicks
# Accept and Install itself, saving screenshots to build/main-job/shots.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"

job=$PWD/build/main-job
mkdir -p "$job"
chmod 755 "$job"  # nginx's workers must reach what they serve
rm -f "$job"/*.log
rm -rf "$job/shots"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    tools/local-servers.sh stop "$job/srv"
}
trap cleanup EXIT
# Some tens of MB, each package at 4 MB/s, so the progress can be watched;
# served with the deployable nginx configuration and published as a product
# owner would: a content-addressed copy and the metadata document naming it.
tools/local-servers.sh start "$job/srv" 8380 $((40 * 1024 * 1024)) 307200 4m
echo "== publishing the installer"
tools/publish-installer "$job/srv/www/files/installer.bin" http://127.0.0.1:8380 "$job/srv/www"

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    echo "== the window opens on $DISPLAY: accept the licence and press Zainstaluj"
else
    echo "== no display: under Xvfb, clicking Accept and Install"
    Xvfb -screen 0 1024x768x24 -nolisten tcp -noreset -displayfd 5 5>"$job/display" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$job/display" ] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$job/display")"
    mkdir -p "$job/shots"
    (
        window=$(timeout 30 xdotool search --sync --onlyvisible --name "Witaj w nowym Tovik!" | head -n 1)
        sleep 1.5
        import -window "$window" "$job/shots/1-welcome.png"
        xdotool mousemove --window "$window" 19 286 click 1
        sleep 0.5
        xdotool mousemove --window "$window" 234 335 click 1
        for i in 2 3 4 5 6 7; do
            sleep 3
            import -window "$window" "$job/shots/$i-progress.png" 2>/dev/null || break
        done
    ) &
    pids+=($!)
fi

echo "== the caller starts the downloader"
status=0
TMPDIR="$job" tools/caller.sh build/tovik-downloader "$job/srv/www/files/installer.bin" "$job/trace.log" || status=$?

echo "== statistics events the server received (JSON lines)"
cat "$job/srv/events.log"
echo "== package requests: $(wc -l < "$job/srv/files.log")"
echo "== what the statistics say"
tools/stats-report "$job/srv/events.log" -o "$job/statistics.html" \
    --metadata "$job/srv/www/downloader/installer-metadata/windows"
[ -d "$job/shots" ] && echo "== screenshots in $job/shots"
rm -f "$job"/toviksetup*.tmp
exit "$status"
