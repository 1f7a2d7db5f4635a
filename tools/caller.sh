#!/bin/bash
# Plays the program that starts the installer window: starts it with a report
# path, waits for the report, prints it, removes it, and checks the
# downloaded file that the report names against the one the server holds.
#   caller.sh DOWNLOADER SERVED_FILE [TRACE_FILE]
# libcurl's verbose trace (the downloader's standard error) goes to TRACE_FILE.
set -uo pipefail
downloader=$1 served=$2 trace=${3:-/dev/null}
report=$(mktemp -u "${TMPDIR:-/tmp}/tovik-report-XXXXXX.ini")

"$downloader" "$report" 2>"$trace" &
pid=$!
echo "caller: started $(basename "$downloader") $report (pid $pid)"

# The report appears whole: it is renamed into place once written.
while [ ! -s "$report" ]; do
    if ! kill -0 "$pid" 2>/dev/null; then echo "caller: the downloader ended without a report"; exit 1; fi
    sleep 0.2
done
echo "caller: report received:"
tr -d '\r' < "$report" | sed 's/^/    /'
echo
echo "caller: line breaks are CR LF: $(grep -c $'\r$' "$report") of 4, and no final one: $([ "$(tail -c1 "$report")" = o ] && echo yes || echo no)"
status=$(tr -d '\r' < "$report" | sed -n 's/^status=//p')
size=$(tr -d '\r' < "$report" | sed -n 's/^fileSize=//p')
name_id=$(tr -d '\r' < "$report" | sed -n 's/^nameID=//p')
rm -f "$report"
echo "caller: report removed"

result=0
if [ "$status" = ok ]; then
    file="${TMPDIR:-/tmp}/toviksetup$name_id.tmp"
    echo "caller: installer $file"
    echo "    served:     $(stat -c %s "$served") bytes, sha256 $(sha256sum < "$served" | cut -d' ' -f1)"
    echo "    downloaded: $(stat -c %s "$file") bytes, sha256 $(sha256sum < "$file" | cut -d' ' -f1)"
    if [ "$size" = "$(stat -c %s "$served")" ] && cmp -s "$file" "$served"; then
        echo "caller: the installer matches (here the caller would start it)"
    else
        echo "caller: the installer does NOT match"
        result=1
    fi
else
    echo "caller: status $status, nothing to install"
fi

wait "$pid"
echo "caller: the downloader exited with code $?"
exit "$result"
