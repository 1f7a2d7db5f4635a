#!/bin/bash
# What can be checked of a Windows exe without running it: its machine type,
# the GUI subsystem, imports from the system's DLLs only, its size (32-bit),
# and the manifest, dialog template and version resources.
#   exe_checks.sh EXE i386|x86_64
set -uo pipefail
exe=$1 machine=$2
. "$(dirname "$0")/../../tools/common.sh"
headers=$(objdump -p "$exe")
# The DLLs every Windows has; anything else would have to ship beside the exe.
system_dlls='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|comctl32|ws2_32|bcrypt|crypt32|secur32|wintrust|msvcrt|winhttp|version)\.dll$'
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
foreign=$(grep -Ev "$system_dlls" <<<"$imports")
# type/name of each resource: type entries sit 3 spaces in, names 5.
resources=$(sed -n '/Resource Directory section/,$p' <<<"$headers" | awk '
    /^[0-9a-f]+   Entry: ID: / { type = strtonum_hex($4) }
    /^[0-9a-f]+     Entry: ID: / { print type "/" strtonum_hex($4) }
    function strtonum_hex(h,   i, n, c) { sub(/,$/, "", h); sub(/^0x/, "", h); n = 0
        for (i = 1; i <= length(h); i++) { c = index("0123456789abcdef", substr(h, i, 1)) - 1; n = n * 16 + c }
        return n }')

check "$machine machine type" '[ "$(pe_machine "$exe")" = "$machine" ]'
check "Windows GUI subsystem" 'grep -Eq "^Subsystem\s+00000002" <<<"$headers"'
check "imports only from the system's DLLs${foreign:+ (not: $(echo $foreign))}" '[ -n "$imports" ] && [ -z "$foreign" ]'
check "manifest resource (type 24, id 1)" 'grep -qx "24/1" <<<"$resources"'
check "dialog template resource (type 5, id 102)" 'grep -qx "5/102" <<<"$resources"'
# What every user downloads first: the 32-bit stub stays small.
[ "$machine" = i386 ] && check "at most 400 KiB" '[ "$(stat -c %s "$exe")" -le $((400 * 1024)) ]'
check "version resource (type 16) naming 2.1.2" 'grep -qx "16/1" <<<"$resources" && strings -el "$exe" | grep -qx 2.1.2'
checks_result
