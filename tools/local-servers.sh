#!/bin/bash
# Local stand-ins for the metadata, file and statistics servers: one nginx on
# loopback with its own prefix and logs, configured with the deployable
# server/tovik-downloader.conf filled in for DIR and PORT.
#
#   local-servers.sh start DIR PORT FILE_BYTES PACKAGE_BYTES [RATE]
#       DIR/www/files/installer.bin  the served installer (random bytes)
#       DIR/files.log                one line per file request
#       DIR/metadata.log             one line per metadata request
#       DIR/events.log               one JSON line per statistics event
#       RATE                         nginx limit_rate per request, e.g. 4m (default: none)
#       /slow/installer.bin          the same file at 2 kB/s
#   local-servers.sh events DIR      the events as "PATH?QUERY STATUS "USER-AGENT"" lines
#   local-servers.sh stop DIR
set -euo pipefail

command=${1:?usage: local-servers.sh start|stop DIR ...}
dir=$(realpath -m "${2:?DIR}")

if [ "$command" = stop ]; then
    [ -f "$dir/nginx.pid" ] && kill "$(cat "$dir/nginx.pid")" 2>/dev/null || true
    exit 0
fi
if [ "$command" = events ]; then
    [ -f "$dir/events.log" ] || exit 0
    sed -E 's|^\{"time":"[^"]*","event":"([^"]*)","query":"([^"]*)","userAgent":"(([^"\\]\|\\.)*)","status":([0-9]+)\}$|/Tovik-Downloader/evt/\1?\2 \5 "\3"|' "$dir/events.log"
    exit 0
fi

port=${3:?PORT}
file_bytes=${4:?FILE_BYTES}
package_bytes=${5:?PACKAGE_BYTES}
rate=${6:-0}

mkdir -p "$dir/www/files" "$dir/www/downloader/installer-metadata" "$dir/temp"
ln -sfn files "$dir/www/slow"
# nginx's workers run as an unprivileged user and must read what they serve.
chmod 755 "$dir" "$dir/www" "$dir/www/files" "$dir/www/downloader" "$dir/www/downloader/installer-metadata"

installer="$dir/www/files/installer.bin"
if [ ! -f "$installer" ] || [ "$(stat -c %s "$installer")" != "$file_bytes" ]; then
    head -c "$file_bytes" /dev/urandom > "$installer"
fi
chmod 644 "$installer"
hash=$(sha256sum "$installer" | cut -d' ' -f1)

cat > "$dir/www/downloader/installer-metadata/windows" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<installerMetadata>
  <downloadUrl>http://127.0.0.1:$port/files/installer.bin</downloadUrl>
  <size>$file_bytes</size>
  <hash>$hash</hash>
  <suggestedPackageSize>$package_bytes</suggestedPackageSize>
</installerMetadata>
XML
chmod 644 "$dir/www/downloader/installer-metadata/windows"

"$(dirname "$0")/nginx-config" "127.0.0.1:$port" "$dir/www" "$dir/events.log" > "$dir/tovik-downloader.conf"
cat > "$dir/nginx.conf" <<CONF
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 512; }
http {
    client_body_temp_path $dir/temp/body;
    proxy_temp_path $dir/temp/proxy;
    fastcgi_temp_path $dir/temp/fastcgi;
    uwsgi_temp_path $dir/temp/uwsgi;
    scgi_temp_path $dir/temp/scgi;
    # What the tests look at besides the events: file and metadata requests.
    log_format requests '\$request_uri \$status "\$http_range" \$body_bytes_sent "\$http_user_agent"';
    map \$uri \$tovik_file_request { ~^/(files|slow)/ 1; default 0; }
    map \$uri \$tovik_metadata_request { /downloader/installer-metadata/windows 1; default 0; }
    access_log $dir/files.log requests if=\$tovik_file_request;
    access_log $dir/metadata.log requests if=\$tovik_metadata_request;
    # The same files at a crawl under /slow/, for downloads that are still running.
    map \$uri \$tovik_rate { ~^/slow/ 2k; default $rate; }
    limit_rate \$tovik_rate;
    include $dir/tovik-downloader.conf;
}
CONF

rm -f "$dir/nginx.pid"
/usr/sbin/nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log"
