#!/bin/bash
# The installer where no window can be shown (no display, or one that is not
# there): a report that says fail, one line on standard error, the pickup
# wait as usual, and exit code 0.
#   no_window_test.sh INSTALLER
set -uo pipefail
installer=$1
. "$(dirname "$0")/../../tools/common.sh"
work=$(mktemp -d /tmp/tovik-nowindow-XXXXXX)
trap 'rm -rf "$work"' EXIT

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

checks_result
