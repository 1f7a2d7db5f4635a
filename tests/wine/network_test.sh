#!/bin/bash
# tovik-downloader.exe under Wine on the networks users have: the proxy set
# the way the system's settings dialog stores it (named, with a bypass list,
# or an auto-config script), a dead proxy, a proxy asking for credentials, a
# proxy that dies at the final event, statistics that hang, are refused or
# held, and a user whose temporary folder and report path hold Polish letters; an https
# installer URL, a swapped installer, and the signature cases of a build that
# pins its publisher. UNRESOLVABLE_EXE is the same exe with hosts under
# .invalid: only a proxy reaches them. PINNED_EXE is the same exe pinned to
# the publisher "Tovik Spółka Testowa"; TRUST_ROOT adds the test CA to the
# prefix's trusted roots and removes it at the end.
#   network_test.sh EXE UNRESOLVABLE_EXE DIALOG_CLICK_EXE METADATA_PORT STATS_PORT PINNED_EXE TRUST_ROOT_EXE
set -uo pipefail
exe=$1 unresolvable_exe=$2 clicker=$3 metadata_port=$4 stats_port=$5 pinned_exe=$6 trust_root=$7
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../tools/common.sh"
servers="$tovik_tools/local-servers"
wine_run="$tovik_tools/wine-run"
export LC_ALL=C.UTF-8  # Wine takes the command line's letters in the locale's encoding
start_wine_lane "$exe" tovik-network
restore_wine() {  # the prefix's temporary folder, which the Polish case changes, and its trusted roots
    [ -n "${saved_temp:-}" ] && for name in TEMP TMP; do wine_reg add 'HKCU\Environment' /v $name /d "$saved_temp" /f; done
    [ -f "$work/ca.der" ] && "$wine_run" "$trust_root" remove "Z:${work//\//\\}\\ca.der" >/dev/null 2>&1
}

# A test CA: the https server's certificate for 127.0.0.1, and code-signing
# certificates for the pinned publisher and for another one.
test_ca "$work"
openssl x509 -in "$work/ca.pem" -outform DER -out "$work/ca.der"
issue_certificate "$work" server /CN=127.0.0.1 subjectAltName=IP:127.0.0.1
code_signing='basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning'
issue_certificate "$work" pinned "/CN=Tovik Spółka Testowa" "$code_signing"
issue_certificate "$work" other "/CN=Inny Wydawca" "$code_signing"

start_xvfb "$work"
pids+=("$xvfb_pid")
size=1000000
"$servers" start "$work/files" "$metadata_port" "$size" 307200 --tls "$work/server.pem" "$work/server.key" ||
    { echo "nginx did not start"; exit 1; }
"$servers" start "$work/stats" "$stats_port" 1 307200 || { echo "nginx did not start"; exit 1; }
"$wine_run" "$clicker" >/dev/null 2>&1  # the prefix, made once
"$wine_run" "$trust_root" add "Z:${work//\//\\}\\ca.der" || { echo "the test CA cannot be trusted"; exit 1; }
document="$work/files/www/downloader/installer-metadata/windows"
cp "$document" "$work/document.direct"
sed "s|http://127.0.0.1:|http://files.invalid:|" "$work/document.direct" > "$work/document.unresolvable"
proxy_port=$((metadata_port + 7))
dead_port=$(free_port)

wine_reg() { "$wine_run" reg "$@" >/dev/null 2>&1; }

# The binary value the settings dialog writes: little-endian DWORDs 0x46, a
# counter, the flags (1 direct, 2 named proxy, 4 auto-config script), then
# each of proxy, bypass list and script URL as a length and its bytes.
connection_settings() {  # flags proxy bypass script_url
    dword() { printf '%02x%02x%02x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
    text() { dword ${#1}; printf '%s' "$1" | od -An -tx1 | tr -d ' \n'; }
    wine_reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections' \
        /v DefaultConnectionSettings /t REG_BINARY /f \
        /d "$(dword 0x46)$(dword 1)$(dword "$1")$(text "$2")$(text "$3")$(text "$4")$(printf '0%.0s' $(seq 64))"
}

title="Witaj w nowym Tovik!"
click() { "$wine_run" "$clicker" "$@" >/dev/null 2>&1; }

run_case() {  # name exe document flags proxy bypass script proxy_mode expected_status
    local name=$1 run_exe=$2 flags=$4 proxy=$5 bypass=$6 script=$7 mode=$8 expected=$9
    cp "$work/document.$3" "$document"
    : > "$work/stats/events.log"
    : > "$work/proxy.log"
    connection_settings "$flags" "$proxy" "$bypass" "$script"
    local proxy_pid= asking=()
    [ "$mode" = auth ] && asking=(--require-auth)
    [ "$mode" = dies ] && asking=(--die-at-final)
    [ "$mode" = refuses-stats ] && asking=(--refuse-stats)
    [ "$mode" = hangs-stats ] && asking=(--hang-stats)
    if [ "$mode" != none ]; then
        python3 "$here/../support/forward_proxy.py" "$proxy_port" "$work/proxy.log" --seconds 120 "${asking[@]}" &
        proxy_pid=$!
        pids+=("$proxy_pid")
        sleep 0.5
    fi
    report_unix="$work/${report_name:-report.ini}"
    "$wine_run" "$run_exe" "Z:${report_unix//\//\\}" >>"$work/wine.log" 2>&1 &
    local exe_pid=$!
    pids+=("$exe_pid")
    click wait "$title" 60
    click click "$title" 1002
    click click "$title" 1001
    [ "$expected" = cancel ] && click wait tovik-downloader 90 && click ok tovik-downloader
    wait_for_file "$report_unix" 120
    status=$(report_value "$report_unix" status)
    name_id=$(report_value "$report_unix" nameID)
    installer=$(find "$WINEPREFIX/drive_c" -name "toviksetup$name_id.tmp" 2>/dev/null | head -n 1)
    check "$name: report $expected" '[ "$status" = "$expected" ]'
    rm -f "$report_unix"
    exit_code_within "$exe_pid" 20
    check "$name: exit code 0" '[ $? -eq 0 ]'
    [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null
}

through_proxy() {  # what the proxy saw: probe, document, every package, both events
    grep -q "^GET http://metadata.invalid:$metadata_port/downloader/installer-metadata/windows " "$work/proxy.log" &&
        [ "$(grep -c "^GET http://files.invalid:$metadata_port/files/installer.bin " "$work/proxy.log")" -eq 4 ] &&
        grep -q "^GET http://stats.invalid:$stats_port/Tovik-Downloader/evt/download-started?" "$work/proxy.log" &&
        grep -q "^GET http://stats.invalid:$stats_port/Tovik-Downloader/evt/download-succeeded?" "$work/proxy.log"
}
byte_exact() { [ -n "$installer" ] && cmp -s "$installer" "${1:-$work/files/www/files/installer.bin}"; }
final_event() { grep -o '"event":"download-[a-z]*","query":"[^"]*' "$work/stats/events.log" | tail -n 1; }
document_for() {  # name file URL: document.name naming the file at URL, with its size and SHA-256
    printf '<installerMetadata><downloadUrl>%s</downloadUrl><size>%s</size><hash>%s</hash></installerMetadata>\n' \
        "$3" "$(stat -c %s "$2")" "$(sha256sum "$2" | cut -d' ' -f1)" > "$work/document.$1"
}

run_case "named proxy" "$unresolvable_exe" unresolvable 3 "127.0.0.1:$proxy_port" "" "" live ok
check "named proxy: probe, document, four packages and the events went through it" through_proxy
check "named proxy: the installer is byte-exact" byte_exact

run_case "auto-config script" "$unresolvable_exe" unresolvable 5 "" "" "http://127.0.0.1:$proxy_port/proxy.pac" live ok
check "auto-config script: fetched, then everything went through the proxy it names" \
    'grep -q "^GET /proxy.pac " "$work/proxy.log" && through_proxy'
check "auto-config script: the installer is byte-exact" byte_exact

run_case "dead proxy" "$exe" direct 3 "127.0.0.1:$dead_port" "" "" none ok
check "dead proxy: direct after it, the installer byte-exact, no package error" \
    'byte_exact && grep -q "errorCount=0&" "$work/stats/events.log"'

run_case "proxy that dies at the final event" "$exe" direct 3 "127.0.0.1:$proxy_port" "" "" dies ok
check "proxy that dies at the final event: sent once more, direct, and logged exactly once" \
    'grep -q "/evt/download-succeeded?" "$work/proxy.log" &&
    [ "$(grep -c "download-succeeded" "$work/stats/events.log")" -eq 1 ]'

# Statistics never decide a download: a statistics host that hangs behind
# the only proxy leaves the proxy in use, and one it refuses is reached direct,
# both events.
run_case "statistics host that hangs behind the proxy" "$unresolvable_exe" unresolvable 3 "127.0.0.1:$proxy_port" \
    "" "" hangs-stats ok
check "statistics host that hangs behind the proxy: the proxy kept for the packages, byte-exact" \
    '[ "$(grep -c "^GET http://files.invalid:$metadata_port/files/installer.bin " "$work/proxy.log")" -eq 4 ] && byte_exact'
run_case "proxy that refuses the statistics host" "$exe" direct 3 "127.0.0.1:$proxy_port" "" "" refuses-stats ok
check "proxy that refuses the statistics host: both events sent direct and logged" \
    'grep -q "/evt/download-started?" "$work/proxy.log" && grep -q "\"event\":\"download-started\"" "$work/stats/events.log" &&
    [ "$(grep -c "download-succeeded" "$work/stats/events.log")" -eq 1 ]'

# The owner's signing tool with a throwaway certificate; the signed stub runs the next case.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=Tovik test" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.p12" -passout pass:sekret
mkdir "$work/signed"
signed_exe="$work/signed/$(basename "$exe")"
cp "$exe" "$signed_exe"
check "sign-exe: a wrong password leaves the exe untouched and says why in one line" \
    '! TOVIK_SIGN_PASSWORD=wrong "$tovik_tools/sign-exe" "$signed_exe" "$work/cert.p12" 2>"$work/sign.err" &&
    cmp -s "$signed_exe" "$exe" && [ "$(wc -l < "$work/sign.err")" -eq 1 ]'
check "sign-exe: signed, and osslsigncode verifies the signature" \
    'TOVIK_SIGN_PASSWORD=sekret "$tovik_tools/sign-exe" "$signed_exe" "$work/cert.p12" &&
    osslsigncode verify -CAfile "$work/cert.pem" -in "$signed_exe" 2>&1 | grep -q "^Signature verification: ok"'

run_case "bypass list (signed exe)" "$signed_exe" direct 3 "127.0.0.1:$proxy_port" "<local>;127.0.0.*" "" live ok
check "bypass list: the proxy saw nothing" '[ ! -s "$work/proxy.log" ]'

run_case "proxy asking for credentials" "$unresolvable_exe" unresolvable 3 "127.0.0.1:$proxy_port" "" "" auth cancel
check "proxy asking for credentials: its 407 for the document is a failure (message box, cancel), no wait" \
    'grep -q "^GET http://metadata.invalid:$metadata_port/downloader/installer-metadata/windows " "$work/proxy.log"'

# https with the system's trust (the test CA among the prefix's roots), and a
# document whose SHA-256 is not the served file's.
document_for https "$work/files/www/files/installer.bin" "https://127.0.0.1:$((metadata_port + 3))/files/installer.bin"
run_case "https installer URL" "$exe" https 1 "" "" "" none ok
check "https installer URL: the installer is byte-exact" byte_exact
sed "s|<hash>[0-9a-f]*<|<hash>$(printf '%064d' 0)<|" "$work/document.https" > "$work/document.swapped"
run_case "installer that does not match its SHA-256" "$exe" swapped 1 "" "" "" none cancel
check "installer that does not match its SHA-256: removed, and the failure says 133" \
    '[ -z "$installer" ] && final_event | grep -q "download-failed.*errorCode=133&errorMsg=Downloaded%20file%20does%20not%20match%20metadata%20hash&"'

# The pinned build hands over only an installer signed in its publisher's
# name. Wine does not check the chain up to a trusted root (it accepts a leaf
# whose root is in no store, where Windows answers CERT_E_UNTRUSTEDROOT), so
# these cases test the signature and the signer's name, not chain trust.
sign_as() {  # signer input output
    openssl pkcs12 -export -inkey "$work/$1.key" -in "$work/$1.pem" -certfile "$work/ca.pem" -out "$work/$1.p12" \
        -passout pass:sekret
    cp "$2" "$3" && TOVIK_SIGN_PASSWORD=sekret "$tovik_tools/sign-exe" "$3" "$work/$1.p12" >/dev/null
}
files="$work/files/www/files"
cp "$clicker" "$files/unsigned.exe"
sign_as other "$clicker" "$files/other.exe"
sign_as pinned "$clicker" "$files/pinned.exe"
cp "$files/pinned.exe" "$files/changed.exe"
printf '\x90' | dd of="$files/changed.exe" bs=1 seek=1100 conv=notrunc 2>/dev/null  # inside the signed code
for name in unsigned other changed pinned; do
    document_for "$name" "$files/$name.exe" "http://127.0.0.1:$metadata_port/files/$name.exe"
    expected=cancel && [ "$name" = pinned ] && expected=ok
    run_case "pinned publisher, installer $name" "$pinned_exe" "$name" 1 "" "" "" none "$expected"
    if [ "$expected" = ok ]; then
        check "pinned publisher: its own signed installer is handed over byte-exact" 'byte_exact "$files/$name.exe"'
    else
        check "pinned publisher, installer $name: removed, and the failure says 135" '[ -z "$installer" ] &&
            final_event | grep -q "download-failed.*errorCode=135&errorMsg=Installer%20signature%20not%20trusted&"'
    fi
done

# A user named with Polish letters: the temporary folder and the report path hold them.
polish="Łukasz Żółć"
mkdir -p "$WINEPREFIX/drive_c/users/$polish/Temp" "$work/$polish"
saved_temp=$("$wine_run" reg query 'HKCU\Environment' /v TEMP 2>/dev/null | tr -d '\r' | sed -n 's/^ *TEMP *REG_[A-Z_]* *//p')
for name in TEMP TMP; do wine_reg add 'HKCU\Environment' /v $name /d "C:\\users\\$polish\\Temp" /f; done
report_name="$polish/raport.ini" run_case "Polish folders" "$exe" direct 1 "" "" "" none ok
check "Polish folders: the installer is in the user's temporary folder, byte-exact" \
    'byte_exact && [[ "$installer" == *"/$polish/Temp/toviksetup"* ]]'

# Last, since it takes the statistics port from nginx: a statistics server
# that holds every final event for 30 s, reached through the proxy and then
# direct. The final event's budget bounds both; the report is ok regardless.
"$servers" stop "$work/stats"
python3 "$here/../support/forward_proxy.py" "$stats_port" "$work/origin.log" --origin --hold-final 30 --seconds 150 &
pids+=($!)
started_at=$SECONDS
run_case "statistics server that holds the final event" "$exe" direct 3 "127.0.0.1:$proxy_port" "" "" live ok
check "statistics server that holds the final event: ok within the event's budget, byte-exact" \
    '[ $((SECONDS - started_at)) -lt 60 ] && byte_exact'
check "statistics server that holds the final event: one download-succeeded reached it" \
    '[ "$(grep -c "download-succeeded" "$work/origin.log")" -eq 1 ]'

checks_result
