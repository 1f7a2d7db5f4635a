#!/bin/bash
# The installs and the Windows lane's choice on a machine whose package index
# cannot be fetched (every update exits 100, as with a mirror mid-sync) and
# where no i386 package can be installed. apt-get and dpkg are stand-ins that
# keep their state in a folder of their own; nothing on the machine changes.
set -uo pipefail
. "$(dirname "$0")/../tools/common.sh"
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
mkdir "$state/bin"
cat > "$state/bin/apt-get" <<EOF
#!/bin/bash
echo "apt-get \$*" >> "$state/calls"
case \$1 in
    update) echo "E: File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2; exit 100 ;;
    install) for p in "\$@"; do [[ \$p == *:i386 ]] && { echo "E: Unable to correct problems" >&2; exit 100; }; done
             touch "$state/installed-amd64"; exit 0 ;;
esac
EOF
cat > "$state/bin/dpkg" <<EOF
#!/bin/bash
case \$1 in
    --add-architecture) echo "\$2" >> "$state/foreign" ;;
    --remove-architecture) [ -e "$state/installed-\$2" ] && exit 2; sed -i "/^\$2\\\$/d" "$state/foreign" ;;
    --print-foreign-architectures) cat "$state/foreign" 2>/dev/null ;;
esac
EOF
chmod +x "$state/bin/"*
PATH=$state/bin:$PATH apt_retry_pause=0 wine32_loader=$state/no-wine32
can_run_32bit() { true; }  # the kernel would run it: only the packages can say no
can_install_packages() { true; }  # as root, whoever runs the test

apt_update 2>"$state/err"
check "update that keeps failing: tried three times, then on" \
    '[ $? -eq 0 ] && [ "$(grep -c "^apt-get update" "$state/calls")" -eq 3 ] && grep -q "going on" "$state/err"'
apt_install wine64 fonts-wine
check "packages the lists at hand still name are installed" '[ $? -eq 0 ] && [ -e "$state/installed-amd64" ]'
apt_install wine64 wine32:i386 2>"$state/err"
check "a package that cannot be installed fails, named in one line" \
    '[ $? -ne 0 ] && grep -q "^cannot install: .*wine32:i386" "$state/err"'

unset TOVIK_WINDOWS_ARCH
choose_windows_lane 2>/dev/null
check "no 32-bit Wine to be had: the 64-bit lane, saying why" \
    '[ "$windows_arch" = x86_64 ] && [[ $windows_lane_why == *"wine32:i386"* ]]'
check "the i386 architecture is gone again" '[ -z "$(dpkg --print-foreign-architectures)" ]'

touch "$state/installed-i386"
install_wine32 2>/dev/null
check "an architecture that something uses stays" '[ "$(dpkg --print-foreign-architectures)" = i386 ]'

: > "$state/calls"
touch "$state/no-wine32" && chmod +x "$state/no-wine32"
choose_windows_lane
check "32-bit Wine already there: the 32-bit lane, nothing installed" \
    '[ "$windows_arch" = i686 ] && [ ! -s "$state/calls" ]'
checks_result
