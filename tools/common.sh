# Helpers the project's scripts share: checks with a closing count, waits, an
# X server of the script's own, the local servers on a free port, and the
# report's bytes. Source it; it defines functions and nothing runs.
#   . "$(dirname "$0")/../tools/common.sh"

tovik_tools=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
passed=0 failed=0 checks_started=$SECONDS

check() {  # description, condition (a shell expression)
    if eval "$2"; then
        passed=$((passed + 1))
        echo "ok $((SECONDS - checks_started))s: $1"
    else
        failed=$((failed + 1))
        echo "FAILED $((SECONDS - checks_started))s: $1"
    fi
}

checks_result() {  # the closing line; fails when a check did
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}

wait_for_file() {  # path, seconds: until it is there and not empty
    for _ in $(seq $(($2 * 10))); do [ -s "$1" ] && return 0; sleep 0.1; done
    return 1
}

start_xvfb() {  # folder: an X server of our own; exports DISPLAY, sets xvfb_pid
    Xvfb -screen 0 1024x768x24 -nolisten tcp -noreset -displayfd 5 5>"$1/display" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$1/display" ] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$1/display")"
}

start_servers() {  # folder, first port to try, then local-servers' arguments after PORT: sets port
    local folder=$1 first=$2 candidate
    shift 2
    port=
    for candidate in $(seq "$first" 7 $((first + 100))); do
        if "$tovik_tools/local-servers" start "$folder" "$candidate" "$@" 2>/dev/null; then
            port=$candidate
            return 0
        fi
    done
    echo "nginx did not start"
    return 1
}

report_text() {  # status, size, nameID: the report's exact bytes
    printf '[tovikdownload]\r\nstatus=%s\r\nfileSize=%s\r\nnameID=%s\r\ninstallAuralo=no' "$1" "$2" "$3"
}

report_value() {  # report file, key
    tr -d '\r' < "$1" | sed -n "s/^$2=//p"
}

exit_code_within() {  # pid, seconds: its exit code once it has ended (killed after the time)
    for _ in $(seq $(($2 * 10))); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill "$1" 2>/dev/null
    wait "$1"
}
