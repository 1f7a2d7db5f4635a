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

find_window() {  # name pattern, seconds: prints the first visible window's id once there is one
    # Not xdotool's --sync alone: a window that closes during the search aborts
    # it with BadWindow, so the search is tried again until the time is up.
    local id
    for _ in $(seq $(($2 * 5))); do
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.2
    done
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

pe_machine() {  # a Windows program: i386 or x86_64 from its PE header; fails for anything else
    local offset
    [ -f "$1" ] && [ "$(head -c 2 "$1")" = MZ ] || return 1
    offset=$(od -An -t u4 -j 60 -N 4 "$1" | tr -d ' ')
    [ "$(od -An -c -j "$offset" -N 4 "$1" | tr -d ' ')" = 'PE\0\0' ] || return 1
    case $(od -An -t x2 -j $((offset + 4)) -N 2 "$1" | tr -d ' ') in
        014c) echo i386 ;;
        8664) echo x86_64 ;;
        *) return 1 ;;
    esac
}

wine_prefix() {  # i386 or x86_64: the Wine prefix tools/wine-run uses for programs of that kind
    if [ "$1" = x86_64 ]; then echo "$tovik_tools/../build-win64/wineprefix"; else echo "$tovik_tools/../build-win32/wineprefix"; fi
}

start_wine_lane() {  # exe, folder prefix: the exe's Wine as wine-run chooses it (exports TOVIK_WINE_MACHINE
    # and WINEPREFIX), a work folder $work that nginx's workers can read, and $pids; on exit the pids, the
    # servers in $work/files and $work/stats, Wine (after restore_wine, where the script defines it) and $work go
    export TOVIK_WINE_MACHINE=$(pe_machine "$1")
    export WINEPREFIX=${WINEPREFIX:-$(wine_prefix "$TOVIK_WINE_MACHINE")}
    work=$(mktemp -d "/tmp/$2-XXXXXX")
    chmod 755 "$work"
    pids=()
    trap end_wine_lane EXIT
}

end_wine_lane() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    "$tovik_tools/local-servers" stop "$work/files"
    "$tovik_tools/local-servers" stop "$work/stats"
    if declare -F restore_wine >/dev/null; then restore_wine; fi
    wineserver -k 2>/dev/null
    rm -rf "$work"
}

can_run_32bit() {  # true when this machine executes a 32-bit x86 Linux program (tried, not guessed)
    local probe status=0
    probe=$(mktemp)
    # A whole ELF32 program: header, one loadable segment, then exit(42) by int 0x80.
    printf '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08\x34\0\0\0\0\0\0\0\0\0\0\0'\
'\x34\0\x20\0\x01\0\0\0\0\0\0\0\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x5e\0\0\0\x5e\0\0\0\x05\0\0\0\0\x10\0\0'\
'\xbb\x2a\0\0\0\xb8\x01\0\0\0\xcd\x80' > "$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    [ "$status" -eq 42 ]
}
