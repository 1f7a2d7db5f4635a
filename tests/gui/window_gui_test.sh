#!/bin/bash
# The installer window under Xvfb, clicked as a user would, against nginx on
# loopback: the whole road to the report, the licence view, Escape, a close
# while connecting, a download failure with its message box, and what the
# process inherits (standard error closed or on a terminal nobody reads, a
# file-size limit, SIGTERM, SIGHUP and SIGINT), a statistics server that
# holds the final event, a download closed at about half and started again,
# the keyboard road through the accessibility stack, and high-contrast themes.
#   window_gui_test.sh HARNESS SEND_CLOSE SHOTS_DIR
set -uo pipefail
harness=$1 send_close=$2 shots=$3
. "$(dirname "$0")/../../tools/common.sh"
servers="$tovik_tools/local-servers"
mkdir -p "$shots"
work=$(mktemp -d /tmp/tovik-gui-XXXXXX)
chmod 755 "$work"
mkdir -p "$work/tmp"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    "$servers" stop "$work/srv"
    rm -rf "$work"
}
trap cleanup EXIT

# Polls a condition for up to three seconds: the page repaints asynchronously.
soon() {
    for _ in $(seq 15); do eval "$1" && return 0; sleep 0.2; done
    return 1
}

# --- an X server of our own
start_xvfb "$work"
pids+=("$xvfb_pid")

# --- nginx: a 3 MB installer at 1 MB/s per package, so the progress shows
size=3000000
start_servers "$work/srv" $((40000 + $$ % 20000)) "$size" 307200 1m || exit 1
base="http://127.0.0.1:$port"
metadata="$base/downloader/installer-metadata/windows"

title="Witaj w nowym Tovik!"
window=
start_window() {  # report path, metadata URL, [a way to start it: plain, stderr-closed, unread-terminal, size-limit]
    case ${3:-plain} in
        plain) TMPDIR="$work/tmp" "$harness" "$2" "${stats_base:-$base}" "$1" >>"$work/harness.log" 2>&1 & ;;
        stderr-closed) TMPDIR="$work/tmp" "$harness" "$2" "${stats_base:-$base}" "$1" >>"$work/harness.log" 2>&- & ;;
        # Standard error on a terminal whose other end is held open and never read.
        unread-terminal) TMPDIR="$work/tmp" python3 -c 'import pty, subprocess, sys
master, slave = pty.openpty()
sys.exit(subprocess.call(sys.argv[1:], stderr=slave))' "$harness" "$2" "${stats_base:-$base}" "$1" >>"$work/harness.log" & ;;
        size-limit) TMPDIR="$work/tmp" bash -c 'ulimit -f 2048; exec "$@"' limit "$harness" "$2" "${stats_base:-$base}" "$1" \
            >>"$work/harness.log" 2>&1 & ;;
    esac
    harness_pid=$!
    pids+=("$harness_pid")
    window=$(find_window "$title" 20)
    [ -n "$window" ] || { echo "FAILED: no window"; cat "$work/harness.log"; exit 1; }
    # The page has loaded once the logo is drawn.
    for _ in $(seq 100); do [ "$(pixel 200 80)" = 0D70AB ] && break; sleep 0.1; done
}
shot() { import -window "$window" "$shots/$1.png"; }
pixel() {  # x y: the window's pixel as RRGGBB
    import -window "$window" "$work/pixel.png" 2>/dev/null
    convert "$work/pixel.png" -format "%[hex:p{$1,$2}]" info: 2>/dev/null | cut -c1-6
}
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; sleep 0.4; }
visible() { xdotool search --onlyvisible --name "$title" >/dev/null 2>&1; }
# Controls at their template pixels (units * 6/4, units * 13/8), clicked near their centres.
accept=(19 286) licence_link=(95 287) hide_link=(40 334) install=(234 335)

# --- 1. the whole road
report="$work/report-ok.ini"
start_window "$report" "$metadata"
check "window is 468 x 361" '[ "$(xwininfo -id "$window" | awk "/Width:/{w=\$2}/Height:/{h=\$2}END{print w\"x\"h}")" = 468x361 ]'
shot 1-welcome
check "light background" '[ "$(pixel 5 5)" = F1F4F9 ]'
check "separator row 311" '[ "$(pixel 5 311)" = C6CCD5 ]'
check "white band below it" '[ "$(pixel 460 355)" = FFFFFF ]'
xdotool windowfocus --sync "$window" key Escape
sleep 0.5
check "Escape does not close the window" 'visible'
click "${licence_link[@]}"
shot 2-licence
check "licence view replaces the logo" 'soon "[ \"\$(pixel 200 80)\" != 0D70AB ]"'
check "hide link on the white band" '[ "$(pixel 16 334)" != FFFFFF ] || [ "$(pixel 20 334)" != FFFFFF ]'
xdotool key Escape
sleep 0.3
click "${hide_link[@]}"
check "welcome view is back" 'soon "[ \"\$(pixel 200 80)\" = 0D70AB ]"'
click "${install[@]}"
check "Install does nothing before the licence is accepted" '[ "$(pixel 100 336)" = FFFFFF ]'
click "${accept[@]}"
click "${install[@]}"
sleep 1.5
shot 3-downloading
check "progress bar shown" '[ "$(pixel 100 336)" != FFFFFF ]'
wait_for_file "$report" 60
shot 4-completed
name_id=$(report_value "$report" nameID)
check "report ok, byte-exact" 'cmp -s "$report" <(report_text ok "$size" "$name_id")'
check "downloaded file equals the served one" 'cmp -s "$work/tmp/toviksetup$name_id.tmp" "$work/srv/www/files/installer.bin"'
check "window stays until the report is taken" 'visible'
rm -f "$report"
exit_code_within "$harness_pid" 10
check "exit code 0 after completion" '[ $? -eq 0 ]'
check "events: started, succeeded" '[ "$("$servers" events "$work/srv" | cut -d"?" -f1 | tr "\n" " ")" = "/Tovik-Downloader/evt/download-started /Tovik-Downloader/evt/download-succeeded " ]'

# --- 2. closed while connecting (nothing answers the probe)
: > "$work/srv/events.log"
report="$work/report-cancel.ini"
start_window "$report" "http://127.0.0.1:$((port + 1))/downloader/installer-metadata/windows"
click "${accept[@]}"
click "${install[@]}"
sleep 1
shot 5-connecting
"$send_close" "$window"
sleep 1
check "window disappears at once on close" '! visible'
wait_for_file "$report" 15
check "report cancel with size 0" 'cmp -s "$report" <(report_text cancel 0 "$(report_value "$report" nameID)")'
rm -f "$report"
exit_code_within "$harness_pid" 10
check "exit code 0 after cancel" '[ $? -eq 0 ]'
check "events: started, canceled" '[ "$("$servers" events "$work/srv" | cut -d"?" -f1 | tr "\n" " ")" = "/Tovik-Downloader/evt/download-started /Tovik-Downloader/evt/download-canceled " ]'

# --- 3. a download that fails: message box, then the cancel ending
: > "$work/srv/events.log"
sed -i 's|/files/installer.bin|/files/missing.bin|' "$work/srv/www/downloader/installer-metadata/windows"
report="$work/report-failed.ini"
start_window "$report" "$metadata"
click "${accept[@]}"
click "${install[@]}"
box=$(find_window "^$(basename "$harness")\$" 30)
check "message box captioned with the program's name" '[ -n "$box" ]'
[ -n "$box" ] && import -window root -crop 1024x768+0+0 "$shots/6-failure-message.png"
check "no report while the message box is up" '[ ! -e "$report" ]'
[ -n "$box" ] && xdotool windowfocus --sync "$box" key Return
wait_for_file "$report" 20
check "report cancel after a failure" 'grep -q "^status=cancel" "$report" && grep -q "^fileSize=0" "$report"'
rm -f "$report"
exit_code_within "$harness_pid" 10
check "exit code 0 after a failure" '[ $? -eq 0 ]'
check "events: started, failed with 22" '[ "$("$servers" events "$work/srv" | cut -d"?" -f1 | tr "\n" " ")" = "/Tovik-Downloader/evt/download-started /Tovik-Downloader/evt/download-failed " ] && grep -q "errorCode=22&" "$work/srv/events.log"'

# --- 4. closed while the worker is blocked in a slow transfer: still exit code 0
: > "$work/srv/events.log"
sed -i 's|/files/missing.bin|/slow/installer.bin|' "$work/srv/www/downloader/installer-metadata/windows"
report="$work/report-slow.ini"
start_window "$report" "$metadata"
click "${accept[@]}"
click "${install[@]}"
sleep 2
shot 7-slow-download
"$send_close" "$window"
wait_for_file "$report" 20
check "report cancel while the transfer runs" 'grep -q "^status=cancel" "$report"'
rm -f "$report"
exit_code_within "$harness_pid" 10
check "exit code 0 with the worker still in a transfer" '[ $? -eq 0 ]'
check "events: started, canceled" '[ "$("$servers" events "$work/srv" | cut -d"?" -f1 | tr "\n" " ")" = "/Tovik-Downloader/evt/download-started /Tovik-Downloader/evt/download-canceled " ]'

# --- 5. what the process inherits, and the signals that end a session: a
# whole report and an exit within 10 s of the window closing, nothing left beside it
document="$work/srv/www/downloader/installer-metadata/windows"
inherited_case() {  # name, way to start, file path (files/ or slow/), signal or "", expected status, final event
    local name=$1 way=$2 path=$3 signal=$4 expected=$5 final=$6
    : > "$work/srv/events.log"
    sed -i "s|/[a-z]*/[a-z]*\\.bin<|/$path<|; s|<suggestedPackageSize>[0-9]*<|<suggestedPackageSize>30000<|" "$document"
    report="$work/report-$name.ini"
    start_window "$report" "$metadata" "$way"
    click "${accept[@]}"
    click "${install[@]}"
    if [ -n "$signal" ]; then
        sleep 2
        kill -"$signal" "$harness_pid"
    elif [ "$expected" = cancel ]; then
        box=$(find_window "^$(basename "$harness")\$" 60)
        [ -n "$box" ] && xdotool windowfocus --sync "$box" key Return
    fi
    wait_for_file "$report" 60
    check "$name: report $expected" 'grep -q "^status=$expected" "$report"'
    check "$name: nothing left beside the report" '[ -z "$(ls "$work" | grep "\.part")" ]'
    rm -f "$report"
    exit_code_within "$harness_pid" 10
    check "$name: exit code 0 within 10 s" '[ $? -eq 0 ]'
    check "$name: events started, $final" '[ "$("$servers" events "$work/srv" | cut -d"?" -f1 | tr "\n" " ")" = "/Tovik-Downloader/evt/download-started /Tovik-Downloader/evt/download-$final " ]'
}
inherited_case stderr-closed stderr-closed files/installer.bin "" ok succeeded
inherited_case unread-terminal unread-terminal files/installer.bin "" ok succeeded
inherited_case size-limit size-limit files/installer.bin "" cancel failed
check "size-limit: the download failed with 23" 'grep -q "errorCode=23&" "$work/srv/events.log"'
for signal in TERM HUP INT; do inherited_case "sig$signal" plain slow/installer.bin "$signal" cancel canceled; done

# --- 6. a statistics server that holds every final event for 30 s: the
# report is ok with the size all the same, once the event's budget is spent
sed -i "s|/[a-z]*/[a-z]*\\.bin<|/files/installer.bin<|" "$document"
holding=$(free_port)
python3 "$(dirname "$0")/../support/forward_proxy.py" "$holding" "$work/held.log" --origin --hold-final 30 --seconds 90 &
pids+=($!)
report="$work/report-held.ini"
stats_base="http://127.0.0.1:$holding" start_window "$report" "$metadata"
click "${accept[@]}"
click "${install[@]}"
wait_for_file "$report" 60
check "statistics server holding the final event: report ok with the size" \
    'grep -q "^status=ok" "$report" && grep -q "^fileSize=$size" "$report"'
rm -f "$report"
exit_code_within "$harness_pid" 10
check "statistics server holding the final event: exit code 0, the event sent once" \
    '[ $? -eq 0 ] && [ "$(grep -c "/evt/download-succeeded?" "$work/held.log")" -eq 1 ]'

# --- 7. closed at about half, then started again: the bar starts about where
# the kept bytes are (shown against a server that sends almost nothing), and
# the next run fetches only the rest and ends ok, byte-exact
rm -rf "$work/tmp"/*
sed -i "s|/[a-z]*/[a-z]*\.bin<|/files/installer.bin<|; s|<suggestedPackageSize>[0-9]*<|<suggestedPackageSize>307200<|" \
    "$document"
report="$work/report-half.ini"
start_window "$report" "$metadata"
click "${accept[@]}"
click "${install[@]}"
for _ in $(seq 200); do
    [ "$(stat -c %s "$work"/tmp/toviksetup-*.part 2>/dev/null || echo 0)" -ge 1500000 ] && break
    sleep 0.05
done
"$send_close" "$window"
wait_for_file "$report" 20
kept=$(( $(stat -c %s "$work"/tmp/toviksetup-*.part) / 307200 * 307200 ))
check "closed at about half: report cancel, the partial kept" 'grep -q "^status=cancel" "$report" && [ "$kept" -ge 1228800 ]'
rm -f "$report"
exit_code_within "$harness_pid" 10
sed -i "s|/files/installer.bin<|/slow/installer.bin<|" "$document"
report="$work/report-again.ini"
start_window "$report" "$metadata"
click "${accept[@]}"
click "${install[@]}"
sleep 1.5
shot 8-resumed
# The bar spans x 18-451 on row 336; four fifths of it filled where the bytes are half there.
check "started again: the bar starts where the kept bytes are" '[ "$(pixel 364 336)" = "$(pixel 24 336)" ] && [ "$(pixel 364 336)" != "$(pixel 448 336)" ]'
"$send_close" "$window"
wait_for_file "$report" 20
rm -f "$report"
exit_code_within "$harness_pid" 10
sed -i "s|/slow/installer.bin<|/files/installer.bin<|" "$document"
served_before=$(wc -l < "$work/srv/files.log")
report="$work/report-resumed.ini"
start_window "$report" "$metadata"
click "${accept[@]}"
click "${install[@]}"
wait_for_file "$report" 60
name_id=$(report_value "$report" nameID)
check "started again: only the packages after the kept ones, report ok, byte-exact" \
    '[ "$(tail -n +$((served_before + 1)) "$work/srv/files.log" | awk "{print \$3}" | head -n1)" = "\"bytes=$kept-$((kept + 307199))\"" ] &&
    cmp -s "$report" <(report_text ok "$size" "$name_id") && cmp -s "$work/tmp/toviksetup$name_id.tmp" "$work/srv/www/files/installer.bin" &&
    [ -z "$(ls "$work/tmp" | grep "\.part$")" ]'
rm -f "$report"
exit_code_within "$harness_pid" 10

# --- 8. keys only, through the accessibility stack a screen reader uses (a
# private D-Bus session and AT-SPI bus): names, roles, states, the keyboard road
eval "$(dbus-launch --sh-syntax)"
pids+=("$DBUS_SESSION_BUS_PID")
/usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
pids+=($!)
sleep 1
rm -rf "$work/tmp"/*
report="$work/report-keys.ini"
start_window "$report" "$metadata"
/usr/bin/python3 "$(dirname "$0")/keyboard_road.py" "$window" > "$work/keys.log" 2>&1
shot 9-keys-only
while read -r line; do check "keys only: ${line#*: }" '[[ "$line" == ok:* ]]'; done < "$work/keys.log"
wait_for_file "$report" 60
name_id=$(report_value "$report" nameID)
check "keys only: Return on Install downloads byte-exact with the report ok" \
    'cmp -s "$report" <(report_text ok "$size" "$name_id") && cmp -s "$work/tmp/toviksetup$name_id.tmp" "$work/srv/www/files/installer.bin"'
rm -f "$report"
exit_code_within "$harness_pid" 10

# --- 10. the desktop's screen reader (Orca, its speech written to a log):
# what it says of the links, the button, the check box, the download while
# it runs, its end, and of the failure message, with keys only
mkdir -p "$work/orca-home"
HOME="$work/orca-home" timeout 300 orca --replace --debug-file "$work/orca.log" -d speech >/dev/null 2>&1 &
orca_pid=$!
pids+=("$orca_pid")
sleep 5
keys() { xdotool windowfocus --sync "$window" 2>/dev/null; for key in "$@"; do xdotool key "$key"; sleep 1.2; done; }
rm -rf "$work/tmp"/*
report="$work/report-orca.ini"
start_window "$report" "$metadata"
keys Tab Return Return shift+Tab space Tab Tab Return
wait_for_file "$report" 60
sleep 3
rm -f "$report"
exit_code_within "$harness_pid" 10
sed -i 's|/files/installer.bin<|/files/missing.bin<|' "$document"
report="$work/report-orca-failed.ini"
start_window "$report" "$metadata"
keys space Tab Tab Return
box=$(find_window "^$(basename "$harness")\$" 60)
# A window manager would give the message box the focus; here the test does.
[ -n "$box" ] && xdotool windowfocus --sync "$box"
sleep 4
[ -n "$box" ] && xdotool windowfocus --sync "$box" key Return
wait_for_file "$report" 20
rm -f "$report"
exit_code_within "$harness_pid" 10
sed -i 's|/files/missing.bin<|/files/installer.bin<|' "$document"
kill -TERM "$orca_pid" 2>/dev/null
for _ in $(seq 50); do kill -0 "$orca_pid" 2>/dev/null || break; sleep 0.2; done
grep "SPEECH OUTPUT" "$work/orca.log" > "$work/speech.log"
said() { grep -q "SPEECH OUTPUT: '.*$1" "$work/speech.log"; }
check "Orca: the licence as a link" 'said "licencję link"'
check "Orca: Zainstaluj as a button" 'said "Zainstaluj push button"'
check "Orca: the check box, with what it accepts" 'said "Akceptuję licencję check box"'
check "Orca: the download while it runs" 'said "Trwa pobieranie plików... [1-9]0%"'
check "Orca: its end" 'said "Pobieranie zakończone"'
check "Orca: the failure message" 'said "Wystąpił błąd pobierania"'
sed 's/^[0-9:.]* - //' "$work/speech.log" | head -40

# --- 9. high-contrast themes: the page and the controls take the theme's
# colours; every text over the page keeps 7:1 against what is behind it
contrast() {  # screenshot, x, y, width, height: the text's contrast ratio in that box, and its background's luminance
    /usr/bin/python3 -c 'import sys
from collections import Counter
from PIL import Image
x, y, w, h = map(int, sys.argv[2:6])
box = Image.open(sys.argv[1]).convert("RGB").crop((x, y, x + w, y + h))
def lum(c):
    c = [v / 255 for v in c]
    c = [v / 12.92 if v <= 0.03928 else ((v + 0.055) / 1.055) ** 2.4 for v in c]
    return 0.2126 * c[0] + 0.7152 * c[1] + 0.0722 * c[2]
back = Counter(box.getdata()).most_common(1)[0][0]
ratio = max((max(lum(p), lum(back)) + 0.05) / (min(lum(p), lum(back)) + 0.05) for p in box.getdata())
print(f"{ratio:.1f} {lum(back):.2f}")' "$@"
}
for theme in HighContrastInverse HighContrast; do
    TMPDIR="$work/tmp" GTK_THEME=$theme "$harness" "$metadata" "$base" "$work/report-$theme.ini" >>"$work/harness.log" 2>&1 &
    harness_pid=$!
    pids+=("$harness_pid")
    window=$(find_window "$title" 20)
    sleep 2
    shot "10-$theme"
    read -r page_ratio page_back <<<"$(contrast "$shots/10-$theme.png" 120 160 230 25)"
    read -r accept_ratio _ <<<"$(contrast "$shots/10-$theme.png" 26 279 50 14)"
    read -r link_ratio _ <<<"$(contrast "$shots/10-$theme.png" 80 280 42 14)"
    echo "$theme: page text $page_ratio:1 on a background of luminance $page_back, check box $accept_ratio:1, link $link_ratio:1"
    [ "$theme" = HighContrastInverse ] && check "$theme: the page is dark" 'python3 -c "import sys; sys.exit(float(sys.argv[1]) > 0.1)" "$page_back"'
    check "$theme: the page's text, the check box and the link keep at least 7:1" \
        'python3 -c "import sys; sys.exit(min(map(float, sys.argv[1:])) < 7)" "$page_ratio" "$accept_ratio" "$link_ratio"'
    "$send_close" "$window"
    wait_for_file "$work/report-$theme.ini" 20
    rm -f "$work/report-$theme.ini"
    exit_code_within "$harness_pid" 10
done

echo "screenshots in $shots"
checks_result
