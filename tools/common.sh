# Helpers the project's scripts share: checks with a closing count, waits, an
# X server of the script's own, the local servers on a free port, the report's
# bytes, package installs that ride out a flaky index, and the Windows lane's
# choice. Source it; it defines functions and nothing runs.
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

free_port() {  # prints a loopback port nothing listens on now
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
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

# ---- Certificates of the tests' own, never added to the machine's store

test_ca() {  # folder: a CA of the test's own, ca.pem and ca.key
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tovik test CA" -keyout "$1/ca.key" \
        -out "$1/ca.pem" 2>/dev/null
}

issue_certificate() {  # folder, name, subject, extensions (printf %b text): name.pem and name.key, signed by the CA
    openssl req -newkey rsa:2048 -nodes -utf8 -subj "$3" -keyout "$1/$2.key" -out "$1/$2.csr" 2>/dev/null
    openssl x509 -req -in "$1/$2.csr" -CA "$1/ca.pem" -CAkey "$1/ca.key" -CAcreateserial -days 2 \
        -extfile <(printf '%b' "$4") -out "$1/$2.pem" 2>/dev/null
}

# ---- Packages: a mirror in the middle of a sync is an everyday event ----

apt_retry_pause=5 wine32_loader=/usr/lib/wine/wine

apt_update() {  # apt-get update, tried three times; then on with the lists at hand (the installs say what is missing)
    local try
    for try in 1 2 3; do
        apt-get update && return 0
        [ "$try" -lt 3 ] && sleep "$apt_retry_pause"
    done
    echo "apt-get update failed three times; going on with the package lists at hand" >&2
}

missing_packages() {  # packages...: prints those dpkg does not have installed, one a line
    local package
    for package in "$@"; do
        dpkg-query -W -f '${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^ii' || echo "$package"
    done
}

apt_install() {  # packages...: installed, or one line naming those that could not be and a failure
    local missing
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@" && return 0
    missing=$(missing_packages "$@" | tr '\n' ' ')
    echo "cannot install: ${missing% } (apt-get says why above)" >&2
    return 1
}

can_install_packages() { [ "$(id -u)" -eq 0 ]; }

ensure_packages() {  # packages...: only what dpkg says is missing is installed; a user who is not root is told what
    local missing
    mapfile -t missing < <(missing_packages "$@")
    [ ${#missing[@]} -eq 0 ] && return 0
    if ! can_install_packages; then
        echo "missing packages: ${missing[*]}; install them as root: apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
        return 1
    fi
    apt_update
    apt_install "${missing[@]}"
}

install_wine32() {  # true when 32-bit Wine is there or could be installed; a failed try leaves apt as it was
    [ -x "$wine32_loader" ] && return 0
    can_install_packages || return 1
    dpkg --add-architecture i386
    apt_update
    apt_install wine32:i386 && [ -x "$wine32_loader" ] && return 0
    # With nothing i386 installed the architecture goes again (dpkg refuses
    # while anything uses it), so that later updates do not fetch its index.
    dpkg --remove-architecture i386 2>/dev/null || true
    return 1
}

choose_windows_lane() {  # sets windows_arch (i686 or x86_64) and windows_lane_why
    if [ -n "${TOVIK_WINDOWS_ARCH:-}" ]; then
        windows_arch=$TOVIK_WINDOWS_ARCH windows_lane_why="chosen by TOVIK_WINDOWS_ARCH"
    elif ! can_run_32bit; then
        windows_arch=x86_64 windows_lane_why="this machine cannot execute 32-bit programs"
    elif ! install_wine32; then
        windows_arch=x86_64 windows_lane_why="32-bit Wine (wine32:i386) is not installed and cannot be installed here$(
            can_install_packages || echo " by this user")"
    else
        windows_arch=i686 windows_lane_why="this machine executes 32-bit programs and has 32-bit Wine"
    fi
}
