#!/bin/bash
# tovik-downloader.exe under Wine and Xvfb, driven by a small helper that
# clicks its controls: the whole download from nginx on loopback into Wine's
# temporary folder, a cancel while connecting, and a failure with its message
# box, and the keyboard road. The build's metadata host is METADATA_PORT, its statistics host
# STATS_PORT, both on 127.0.0.1.
#   wine_gui_test.sh EXE DIALOG_CLICK_EXE METADATA_PORT STATS_PORT SHOTS_DIR
set -uo pipefail
exe=$1 clicker=$2 metadata_port=$3 stats_port=$4 shots=$5
. "$(dirname "$0")/../../tools/common.sh"
tools=$tovik_tools
servers="$tools/local-servers"
wine_run="$tools/wine-run"
mkdir -p "$shots"
start_wine_lane "$exe" tovik-wine

echo "note: Wine's HTML engine is not available offline, so the page inside the window"
echo "      is not rendered and not checked here; the controls, download, endings and report are."

start_xvfb "$work"
pids+=("$xvfb_pid")

# Metadata and files on one server, events on another, so the first can go away.
size=3000000
"$servers" start "$work/files" "$metadata_port" "$size" 307200 2m || { echo "nginx did not start"; exit 1; }
"$servers" start "$work/stats" "$stats_port" 1 307200 || { echo "nginx did not start"; exit 1; }
"$wine_run" cmd /c exit >/dev/null 2>&1  # the prefix, made once

title="Witaj w nowym Tovik!"
click() { "$wine_run" "$clicker" "$@" >/dev/null 2>&1; }
state() { "$wine_run" "$clicker" state "$title" "$1" 2>/dev/null | tr -d '\r'; }
start_window() {  # report name
    report_unix="$work/$1"
    "$wine_run" "$exe" "Z:${report_unix//\//\\}" >>"$work/wine.log" 2>&1 &
    exe_pid=$!
    pids+=("$exe_pid")
    click wait "$title" 60 || { echo "FAILED: no window"; cat "$work/wine.log"; exit 1; }
    window=$(xdotool search --onlyvisible --name "$title" | head -n 1)
}
shot() { import -window "${2:-$window}" "$shots/$1.png" 2>/dev/null; }
events() { "$servers" events "$work/stats" | cut -d"?" -f1 | tr "\n" " "; }

# --- 1. the whole road
start_window report-ok.ini
shot w1-welcome
check "welcome: Install disabled, hide link hidden, advanced link hidden" \
    '[ "$(state 1001)" = "visible disabled unchecked" ] && [ "$(state 1006 | cut -d" " -f1)" = hidden ] && [ "$(state 1005 | cut -d" " -f1)" = hidden ]'
click escape "$title"
sleep 1
check "Escape does not close the window" 'click wait "$title" 1'
click click "$title" 1004
check "licence view: hide link shown, check box hidden" '[ "$(state 1006 | cut -d" " -f1)" = visible ] && [ "$(state 1002 | cut -d" " -f1)" = hidden ]'
click click "$title" 1006
check "welcome view again" '[ "$(state 1002 | cut -d" " -f1)" = visible ] && [ "$(state 1006 | cut -d" " -f1)" = hidden ]'
click click "$title" 1002
check "accepting enables Install" '[ "$(state 1001)" = "visible enabled unchecked" ]'
click click "$title" 1001
sleep 2
shot w2-downloading
check "downloading: progress bar shown, Install hidden" '[ "$(state 1000 | cut -d" " -f1)" = visible ] && [ "$(state 1001 | cut -d" " -f1)" = hidden ]'
wait_for_file "$report_unix" 90
name_id=$(report_value "$report_unix" nameID)
check "report ok, CR LF, byte-exact" 'cmp -s "$report_unix" <(report_text ok "$size" "$name_id")'
installer=$(find "$WINEPREFIX/drive_c" -name "toviksetup$name_id.tmp" 2>/dev/null | head -n 1)
check "installer in Wine's temporary folder equals the served one" '[[ "$installer" == */Temp/toviksetup$name_id.tmp ]] && cmp -s "$installer" "$work/files/www/files/installer.bin"'
rm -f "$report_unix" "$installer"
exit_code_within "$exe_pid" 15
check "exit code 0 after completion" '[ $? -eq 0 ]'
check "events: started, succeeded" '[ "$(events)" = "/Tovik-Downloader/evt/download-started /Tovik-Downloader/evt/download-succeeded " ]'
check "User-Agent names Windows NT" 'grep -q "(OS;Windows;Windows NT [0-9]*\.[0-9]*) (BRANDING;Tovik)" "$work/stats/events.log"'

# --- 2. closed while connecting: the metadata server is gone
: > "$work/stats/events.log"
"$servers" stop "$work/files"
sleep 0.5
start_window report-cancel.ini
click click "$title" 1002
click click "$title" 1001
sleep 1
shot w3-connecting
click close "$title"
sleep 1.5
check "window disappears at once on close" '! click wait "$title" 1'
wait_for_file "$report_unix" 20
check "report cancel with size 0" 'cmp -s "$report_unix" <(report_text cancel 0 "$(report_value "$report_unix" nameID)")'
rm -f "$report_unix"
exit_code_within "$exe_pid" 15
check "exit code 0 after cancel" '[ $? -eq 0 ]'
check "events: started, canceled" '[ "$(events)" = "/Tovik-Downloader/evt/download-started /Tovik-Downloader/evt/download-canceled " ]'

# --- 3. a failing download: message box, then the cancel ending
: > "$work/stats/events.log"
"$servers" start "$work/files" "$metadata_port" "$size" 307200 2m
sed -i 's|/files/installer.bin|/files/missing.bin|' "$work/files/www/downloader/installer-metadata/windows"
start_window report-failed.ini
click click "$title" 1002
click click "$title" 1001
check "message box captioned with the program's name" 'click wait tovik-downloader 30'
box=$(xdotool search --onlyvisible --name "^tovik-downloader\$" | head -n 1)
[ -n "$box" ] && shot w4-failure-message "$box"
check "no report while the message box is up" '[ ! -e "$report_unix" ]'
click ok tovik-downloader
wait_for_file "$report_unix" 20
check "report cancel after a failure" 'cmp -s "$report_unix" <(report_text cancel 0 "$(report_value "$report_unix" nameID)")'
rm -f "$report_unix"
exit_code_within "$exe_pid" 15
check "exit code 0 after a failure" '[ $? -eq 0 ]'
check "events: started, failed with 22" '[ "$(events)" = "/Tovik-Downloader/evt/download-started /Tovik-Downloader/evt/download-failed " ] && grep -q "errorCode=22&" "$work/stats/events.log"'

# --- 4. no window can be shown (no X display): a report that says fail, exit code 0
: > "$work/stats/events.log"
report_unix="$work/report-nowindow.ini"
env -u DISPLAY "$wine_run" "$exe" "Z:${report_unix//\//\\}" >>"$work/wine.log" 2>"$work/nowindow.err" &
exe_pid=$!
pids+=("$exe_pid")
wait_for_file "$report_unix" 60
check "without a display: report fail with size 0" 'cmp -s "$report_unix" <(report_text fail 0 "$(report_value "$report_unix" nameID)")'
rm -f "$report_unix"
exit_code_within "$exe_pid" 15
check "without a display: exit code 0" '[ $? -eq 0 ]'
check "without a display: it says why on standard error" 'grep -q "no window can be shown" "$work/nowindow.err"'
check "without a display: no statistics record" '[ ! -s "$work/stats/events.log" ]'

# --- 5. keys only: Tab and Space open and close the licence, tick the box
# and start a download that ends ok. (Wine 8 gives no MSAA across processes and
# always reports high contrast off: what a screen reader and a high-contrast
# user get is read from the host's code, not checked here.)
: > "$work/stats/events.log"
sed -i 's|/files/missing.bin|/files/installer.bin|' "$work/files/www/downloader/installer-metadata/windows"
start_window report-keys.ini
xdotool windowfocus --sync "$window" 2>/dev/null
sleep 0.5
press() { xdotool key "$1"; sleep 0.7; }
press Tab
press space
check "keys only: Tab and Space on the licence link show the licence" \
    '[ "$(state 1006 | cut -d" " -f1)" = visible ] && [ "$(state 1002 | cut -d" " -f1)" = hidden ]'
press space
check "keys only: Space on the hide link (which has the focus) brings the welcome view back" \
    '[ "$(state 1002 | cut -d" " -f1)" = visible ] && [ "$(state 1006 | cut -d" " -f1)" = hidden ]'
press shift+Tab
press space
check "keys only: Space ticks the box" '[ "$(state 1002)" = "visible enabled checked" ] && [ "$(state 1001)" = "visible enabled unchecked" ]'
press Tab
press Tab
press space
shot w5-keys-downloading
wait_for_file "$report_unix" 90
name_id=$(report_value "$report_unix" nameID)
installer=$(find "$WINEPREFIX/drive_c" -name "toviksetup$name_id.tmp" 2>/dev/null | head -n 1)
check "keys only: Tab to Install and Space download byte-exact, report ok" \
    'cmp -s "$report_unix" <(report_text ok "$size" "$name_id") && cmp -s "$installer" "$work/files/www/files/installer.bin"'
rm -f "$report_unix" "$installer"
exit_code_within "$exe_pid" 15

echo "screenshots in $shots"
checks_result
