#!/bin/bash
# tovik-fetch against nginx on loopback with real Range support: the file, the
# requests nginx logged and the statistics events it received; and the local
# servers started from a folder nginx's workers cannot enter.
set -uo pipefail
fetch=${1:?usage: nginx_end_to_end.sh TOVIK_FETCH}
. "$(dirname "$0")/../tools/common.sh"
servers="$tovik_tools/local-servers"
dir=$(mktemp -d /tmp/tovik-e2e-XXXXXX)
trap '"$servers" stop "$dir"; rm -rf "$dir"' EXIT

# A CA of the test's own and a certificate for 127.0.0.1, trusted only by the
# driver's test seam: the machine's store is never touched.
test_ca "$dir"
issue_certificate "$dir" server /CN=127.0.0.1 subjectAltName=IP:127.0.0.1

size=3000001    # three packages of 1000000 bytes and one of a single byte
start_servers "$dir" $((20000 + $$ % 20000)) "$size" 1000000 --tls "$dir/server.pem" "$dir/server.key" ||
    { cat "$dir/error.log"; exit 1; }
mkdir -p "$dir/tmp"

output=$(TMPDIR="$dir/tmp" "$fetch" "http://127.0.0.1:$port/downloader/installer-metadata/windows" \
    "http://127.0.0.1:$port" 2>"$dir/trace.log")
status=$?
echo "$output"
last=$(tail -n 1 <<<"$output")
file=${last##*file=}

check "exit code 0" '[ $status -eq 0 ]'
check "finished with the reported size" '[[ "$last" == "finished=1 reportedSize=3000001 nameID="* ]]'
check "file is in the temporary folder" '[[ "$file" == "$dir/tmp/toviksetup"*.tmp ]]'
check "file equals the served one" 'cmp -s "$file" "$dir/www/files/installer.bin"'
check "no failure message" '! grep -q WM_DOWNLOAD_FAILED <<<"$output"'

expected_ranges='"bytes=0-999999" "bytes=1000000-1999999" "bytes=2000000-2999999" "bytes=3000000-3000000"'
check "four range requests, all 206" '[ "$(awk "{print \$2}" "$dir/files.log" | sort -u)" = 206 ] &&
    [ "$(awk "{print \$3}" "$dir/files.log" | xargs -n1 printf "\"%s\" " | sed "s/ $//")" = "$expected_ranges" ]'
check "packages carry the User-Agent" 'grep -c "(BRANDING;Tovik)\"$" "$dir/files.log" | grep -qx 4'
check "metadata fetched once" '[ "$(wc -l < "$dir/metadata.log")" -eq 1 ]'

check "two events" '[ "$(wc -l < "$dir/events.log")" -eq 2 ]'
check "download-started first" '"$servers" events "$dir" | head -n1 | grep -q "^/Tovik-Downloader/evt/download-started?id=[0-9a-zA-Z]\{32\}&branding=Tovik "'
check "download-succeeded last" '"$servers" events "$dir" | tail -n1 | grep -q "^/Tovik-Downloader/evt/download-succeeded?id=.*&url=http%3A%2F%2F127.0.0.1%3A$port%2Ffiles%2Finstaller.bin&errorCount=0&errors=%5B%5D&packageNumber=4&totalTime=[0-9]*&packageTimes=%5B[0-9]*%2C[0-9]*%2C[0-9]*%2C[0-9]*%5D "'

# The deployable configuration as generated: valid, and each role's headers.
base="http://127.0.0.1:$port"
check "generated configuration passes nginx -t" '/usr/sbin/nginx -t -q -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log"'
check "metadata document is revalidated" 'curl -sI "$base/downloader/installer-metadata/windows" | grep -qi "^Cache-Control: no-cache"'
check "files are cached for good, with ETag and ranges" 'curl -sI "$base/files/installer.bin" | grep -qi "^Cache-Control: public, max-age=31536000, immutable" &&
    curl -sI "$base/files/installer.bin" | grep -qi "^ETag: " && curl -sI "$base/files/installer.bin" | grep -qi "^Accept-Ranges: bytes"'
check "a missing file is not cached" '! curl -sI "$base/files/none.bin" | grep -qi "^Cache-Control"'
check "an event is answered 204 and logged as one JSON line" '[ "$(curl -s -o /dev/null -w "%{http_code}" "$base/Tovik-Downloader/evt/probe?x=1")" = 204 ] &&
    tail -n1 "$dir/events.log" | grep -q "^{\"time\":\"[^\"]*\",\"event\":\"probe\",\"query\":\"x=1\",\"userAgent\":\"curl/[^\"]*\",\"status\":204}$"'

cat "$dir/files.log"; "$servers" events "$dir"

# Standard error on a pipe that is held open and never read: 301 packages of
# trace are far more than the pipe holds, and the download must not wait for it.
sed -i 's|<suggestedPackageSize>[0-9]*<|<suggestedPackageSize>10000<|' "$dir/www/downloader/installer-metadata/windows"
mkfifo "$dir/stderr.fifo"
exec 3<>"$dir/stderr.fifo"
output=$(TMPDIR="$dir/tmp" timeout 60 "$fetch" "http://127.0.0.1:$port/downloader/installer-metadata/windows" \
    "http://127.0.0.1:$port" 2>"$dir/stderr.fifo")
status=$?
exec 3>&-
file=${output##*file=}
check "an undrained standard error holds neither the download nor the exit" '[ $status -eq 0 ] &&
    cmp -s "$file" "$dir/www/files/installer.bin" && grep -q "errorCount=0&errors=%5B%5D&packageNumber=301&" "$dir/events.log"'

# Published under a name that needs escaping in its URL: nginx must find it.
named="$dir/Instalator Tovika – łódź & co.exe"
cp "$dir/www/files/installer.bin" "$named"
"$tovik_tools/publish-installer" "$named" "$base" "$dir/www" --package-size 1048576 >/dev/null
output=$(TMPDIR="$dir/tmp" "$fetch" "$base/downloader/installer-metadata/windows" "$base" 2>/dev/null)
check "an installer named with a space, Polish letters and & is published and downloads byte-exact" \
    '[[ "$output" == *finished=1* ]] && cmp -s "${output##*file=}" "$named"'
# https: the installer URL on the TLS server, behind an http-to-https
# redirect, with a certificate the driver does not trust, and behind a
# downgrade to plain http. Then a swapped installer against the document's SHA-256.
document="$dir/www/downloader/installer-metadata/windows"
fetch_from() {  # download URL, [CA file]: the driver's output, in a temporary folder of its own
    sed -i "s|<downloadUrl>[^<]*<|<downloadUrl>$1<|" "$document"
    rm -rf "$dir/tmp" && mkdir "$dir/tmp"
    TMPDIR="$dir/tmp" "$fetch" "$base/downloader/installer-metadata/windows" "$base" ${2:+"$2"} 2>/dev/null
}
last_event() { "$servers" events "$dir" | tail -n1; }
output=$(fetch_from "https://127.0.0.1:$((port + 3))/files/installer.bin" "$dir/ca.pem")
check "an https installer URL downloads byte-exact" '[[ "$output" == *finished=1* ]] && cmp -s "${output##*file=}" "$named"'
output=$(fetch_from "http://127.0.0.1:$((port + 4))/files/installer.bin" "$dir/ca.pem")
check "an http URL redirected to https downloads byte-exact" '[[ "$output" == *finished=1* ]] && cmp -s "${output##*file=}" "$named"'
output=$(fetch_from "https://127.0.0.1:$((port + 3))/files/installer.bin")
check "an untrusted certificate fails five attempts with 60" '[[ "$output" == "WM_DOWNLOAD_FAILED 60"* ]] &&
    last_event | grep -q "errorCount=5&errors=%5B\(%7B%22number%22%3A0%2C%22errCode%22%3A60%7D\(%2C\)\?\)\{5\}%5D"'
served_before=$(wc -l < "$dir/files.log")
output=$(fetch_from "https://127.0.0.1:$((port + 5))/files/installer.bin" "$dir/ca.pem")
check "an https answer redirecting to http fails and never reaches the http server" \
    '[[ "$output" == "WM_DOWNLOAD_FAILED 1"* ]] && [ "$(wc -l < "$dir/files.log")" -eq "$served_before" ]'
"$tovik_tools/publish-installer" "$named" "https://127.0.0.1:$((port + 3))" "$dir/www" --package-size 1048576 >/dev/null
url=$(sed -n 's|.*<downloadUrl>\(.*\)</downloadUrl>.*|\1|p' "$document")
output=$(fetch_from "$url" "$dir/ca.pem")
check "an installer published at an https base downloads byte-exact" '[[ "$url" == https://* ]] &&
    [[ "$output" == *finished=1* ]] && cmp -s "${output##*file=}" "$named"'
head -c "$(stat -c %s "$named")" /dev/urandom > "$dir/swapped"
cp "$dir/swapped" "$(find "$dir/www/files" -name "${named##*/}" -newer "$dir/server.pem" | head -n1)"
output=$(fetch_from "$url" "$dir/ca.pem")
check "a swapped installer fails with 133, its file removed" '[[ "$output" == "WM_DOWNLOAD_FAILED 133"* ]] &&
    [ -z "$(ls -A "$dir/tmp")" ] && last_event | grep -q "download-failed?.*&errorCode=133&errorMsg=Downloaded%20file%20does%20not%20match%20metadata%20hash&"'
# Killed at about 60 % of a 12 MiB installer in 1 MiB packages: the next run
# hashes what the first kept, asks only for the missing packages, and hands
# the file over byte-exact with nothing kept behind.
resume="$dir/resume"
start_servers "$resume" $((port + 50)) 12582912 1048576 2m || { cat "$resume/error.log"; exit 1; }
rm -rf "$dir/tmp" && mkdir "$dir/tmp"
resume_base="http://127.0.0.1:$port"
TMPDIR="$dir/tmp" "$fetch" "$resume_base/downloader/installer-metadata/windows" "$resume_base" >/dev/null 2>&1 &
first_run=$!
partial=$(ls "$dir/tmp"/toviksetup-*.part 2>/dev/null)
for _ in $(seq 300); do
    partial=$(ls "$dir/tmp"/toviksetup-*.part 2>/dev/null)
    [ -n "$partial" ] && [ "$(stat -c %s "$partial")" -ge 7549747 ] && break
    sleep 0.05
done
kill -9 "$first_run"
wait "$first_run" 2>/dev/null
kept=$(( $(stat -c %s "$partial") / 1048576 * 1048576 ))
served_before=$(wc -l < "$resume/files.log")
output=$(TMPDIR="$dir/tmp" "$fetch" "$resume_base/downloader/installer-metadata/windows" "$resume_base" 2>/dev/null)
check "killed at about 60 %: the next run asks only for the packages after the kept boundary" \
    '[ "$kept" -ge 6291456 ] && [ "$(tail -n +$((served_before + 1)) "$resume/files.log" | awk "{print \$3}" | head -n1)" = "\"bytes=$kept-$((kept + 1048575))\"" ] &&
    [ "$(tail -n +$((served_before + 1)) "$resume/files.log" | wc -l)" -eq $(( (12582912 - kept) / 1048576 )) ]'
check "killed at about 60 %: the next run ends ok byte-exact, says where it resumed, and keeps nothing" \
    '[[ "$output" == *finished=1* ]] && cmp -s "${output##*file=}" "$resume/www/files/installer.bin" &&
    [ -z "$(ls "$dir/tmp"/*.part 2>/dev/null)" ] && "$servers" events "$resume" | tail -n1 | grep -q "download-succeeded?.*&resumedFrom=$kept "'
"$servers" stop "$resume"

# Servers started from a folder only its owner may enter (a clone in /root, a
# home of mode 0700, a path with a space): they serve from a run folder the
# workers can reach, and stopping them removes it.
closed="$dir/closed folder"
mkdir -m 700 "$closed"
"$servers" stop "$dir"
start_servers "$closed/srv" "$port" 1000 500 || { cat "$closed/srv/error.log"; exit 1; }
run_folder=$(realpath "$closed/srv")
check "servers from a closed folder: the document and a package are served" \
    'curl -sf "http://127.0.0.1:$port/downloader/installer-metadata/windows" | grep -q "<size>1000</size>" &&
    [ "$(curl -sf -r 0-499 "http://127.0.0.1:$port/files/installer.bin" | wc -c)" -eq 500 ] &&
    [[ $run_folder == /tmp/tovik-servers-* ]] && [ "$(stat -c %a "$closed")" = 700 ]'
"$servers" stop "$closed/srv"
check "servers from a closed folder: stopped, their run folder and its link are gone" \
    '[ ! -e "$run_folder" ] && [ ! -L "$closed/srv" ] && ! curl -s "http://127.0.0.1:$port/" >/dev/null'

checks_result
