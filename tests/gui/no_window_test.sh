#!/bin/bash
# The installer where no window can be shown (no display, or one that is not
# there): a report that says fail, one line on standard error, the pickup
# wait as usual, and exit code 0. Then the report's path in the callers' world
# (the quickest run there is): a file the caller reserved in a sticky folder,
# a device node, a name too long for a file beside it, a second run on the
# same path, and another user's report that cannot be emptied.
#   no_window_test.sh INSTALLER
set -uo pipefail
installer=$1
. "$(dirname "$0")/../../tools/common.sh"
work=$(mktemp -d /tmp/tovik-nowindow-XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"

for display in unset :31999; do
    report="$work/report-$display.ini"
    if [ "$display" = unset ]; then
        env -u DISPLAY -u WAYLAND_DISPLAY "$installer" "$report" 2>"$work/stderr" &
    else
        env -u WAYLAND_DISPLAY DISPLAY="$display" "$installer" "$report" 2>"$work/stderr" &
    fi
    pid=$!
    wait_for_file "$report" 10
    name_id=$(report_value "$report" nameID)
    text=$(cat "$report" 2>/dev/null)
    rm -f "$report"  # the caller takes the report
    check "display $display: report says fail with size 0" '[ "$text" = "$(report_text fail 0 "$name_id")" ] && [ -n "$name_id" ]'
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    wait "$pid"
    code=$?
    check "display $display: exit code 0 soon after the pickup" '[ $code -eq 0 ]'
    check "display $display: one line on standard error says why" \
        '[ "$(grep -c "no window can be shown" "$work/stderr")" = 1 ] && [ "$(grep -vc "^Gtk-WARNING\|^$" "$work/stderr")" -le 1 ]'
done

# --- the report's path
# Another user runs a copy where that user can reach it: the build may be in
# a folder only its owner enters (a clone in /root, say).
cp "$installer" "$work/installer-copy"
chmod 755 "$work/installer-copy"
run() {  # report path, [user]: starts the installer without a display; sets pid
    if [ -n "${2:-}" ]; then
        env -u DISPLAY -u WAYLAND_DISPLAY setpriv --reuid="$2" --regid="$2" --clear-groups "$work/installer-copy" "$1" \
            2>"$work/stderr" &
    else
        env -u DISPLAY -u WAYLAND_DISPLAY "$installer" "$1" 2>"$work/stderr" &
    fi
    pid=$!
}
said() { grep -q "$1" "$work/stderr"; }
sticky="$work/sticky"
mkdir -m 1777 "$sticky"

reserved=$(mktemp "$sticky/report-XXXXXX")
inode=$(stat -c %i "$reserved")
run "$reserved"
wait_for_file "$reserved" 10
check "reserved in a sticky folder: the caller's own file gets the report" \
    '[ "$(stat -c %i "$reserved")" = "$inode" ] && grep -q "^status=fail" "$reserved"'
rm -f "$reserved"
exit_code_within "$pid" 10

root=$([ "$(id -u)" -eq 0 ] && echo yes)
if [ -n "$root" ]; then
    mknod "$work/device" c 1 3
    run "$work/device"
    exit_code_within "$pid" 3
    check "device node: exit at once, said, the node left as it was" \
        '[ $? -eq 0 ] && said "is not a regular file" && [ -c "$work/device" ]'
else
    echo "skipped: device node (making one needs root)"
fi

long="$work/$(printf 'r%.0s' $(seq 246)).ini"
run "$long"
sizes=$(timeout 10 bash -c 'until [ -e "$1" ]; do :; done; stat -c %s "$1"' poll "$long")
check "250-byte name: the report appears whole, never empty" '[ "${sizes:-0}" -gt 0 ] && [ -z "$(ls "$work" | grep "\.part")" ]'
rm -f "$long"
exit_code_within "$pid" 10

run "$work/shared.ini"
first=$pid
wait_for_file "$work/shared.ini" 10
cp "$work/shared.ini" "$work/first.ini"
run "$work/shared.ini"
exit_code_within "$pid" 3
check "second run on the same path: exit at once, said, the first's report kept" \
    '[ $? -eq 0 ] && said "is in use by another run" && cmp -s "$work/shared.ini" "$work/first.ini"'
rm -f "$work/shared.ini"
exit_code_within "$first" 10

if [ -n "$root" ]; then
    printf '[tovikdownload]\r\nstatus=ok' >"$sticky/earlier.ini"
    chmod 644 "$sticky/earlier.ini"
    run "$sticky/earlier.ini" 65534
    exit_code_within "$pid" 3
    check "another user's report that cannot be emptied: exit at once, said, left alone" \
        '[ $? -eq 0 ] && said "cannot be emptied" && [ "$(cat "$sticky/earlier.ini")" = "$(printf "[tovikdownload]\r\nstatus=ok")" ]'
else
    echo "skipped: another user's report (acting as another user needs root)"
fi

checks_result
