#!/bin/bash
# libcurl for 32-bit Windows, from Debian's curl source package: static, HTTP
# only, no TLS. Built once; the result is cached outside the repository.
#   build-curl-win32.sh  -> prints the install prefix
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cache=${TOVIK_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tovik-downloader}
prefix="$cache/curl-win32"
if [ -f "$prefix/lib/libcurl.a" ]; then echo "$prefix"; exit 0; fi

# Debian's source packages, next to its binary ones.
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    cat > /etc/apt/sources.list.d/tovik-deb-src.sources <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    apt-get update >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source curl >&2)
source_dir=$(find "$work" -maxdepth 1 -type d -name 'curl-*' | head -n 1)
cmake -S "$source_dir" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DHTTP_ONLY=ON \
    -DCURL_USE_OPENSSL=OFF -DCURL_USE_SCHANNEL=OFF -DCURL_ENABLE_SSL=OFF -DCURL_ZLIB=OFF -DUSE_LIBIDN2=OFF \
    -DUSE_WIN32_IDN=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBPSL=OFF -DCURL_DISABLE_LDAP=ON \
    -DENABLE_UNICODE=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF >&2
cmake --build "$work/build" -j"$(nproc)" >&2
cmake --install "$work/build" >&2
echo "$prefix"
