#!/bin/bash
# The window soak under an X server of its own.
#   window_soak.sh WINDOW_SOAK HARNESS SEND_CLOSE
set -uo pipefail
soak=$1 harness=$2 send_close=$3
. "$(dirname "$0")/../../tools/common.sh"
work=$(mktemp -d /tmp/tovik-xvfb-XXXXXX)
start_xvfb "$work"
trap 'kill $xvfb_pid 2>/dev/null; rm -rf "$work"' EXIT
"$soak" "$harness" "$send_close"
