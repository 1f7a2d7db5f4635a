#!/bin/bash
# The window soak under an X server of its own.
#   window_soak.sh WINDOW_SOAK HARNESS SEND_CLOSE
set -uo pipefail
soak=$1 harness=$2 send_close=$3
work=$(mktemp -d /tmp/tovik-xvfb-XXXXXX)
Xvfb -screen 0 1024x768x24 -nolisten tcp -noreset -displayfd 5 5>"$work/display" 2>/dev/null &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
DISPLAY=":$(cat "$work/display")" "$soak" "$harness" "$send_close"
