#!/bin/sh
# Compiles the executable's resource script with the MinGW resource compiler and
# checks what lands in the binary: the version block, its strings and the icon group.
#
# usage: check_windres.sh RESOURCE_SCRIPT WORK_DIR
# Exits 77 (skipped) when no MinGW windres is installed.
set -u

rc_file=$1
work=$2
windres=${WINDRES:-x86_64-w64-mingw32-windres}
objdump=${MINGW_OBJDUMP:-x86_64-w64-mingw32-objdump}

if ! command -v "$windres" >/dev/null 2>&1; then
    echo "SKIP: $windres not found (Debian package binutils-mingw-w64-x86-64)"
    exit 77
fi

# windres preprocesses through the MinGW gcc by default; a cross toolchain without
# the compiler still has the host's cpp, and the script needs no Windows headers.
set -- "$windres"
if ! command -v "${windres%windres}gcc" >/dev/null 2>&1; then
    set -- "$@" --preprocessor=cpp
fi

mkdir -p "$work" || exit 1
res="$work/velmora_brisca.res"
obj="$work/velmora_brisca_res.o"
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

"$@" "$rc_file" -O res -o "$res" || { echo "FAIL: windres could not compile $rc_file"; exit 1; }
"$@" "$rc_file" -O coff -o "$obj" || { echo "FAIL: windres could not produce an object file"; exit 1; }

# Decompiling the binary resources shows the fixed version fields and the icon
# directory as the loader will see them.
dump="$work/decompiled.rc"
"$windres" -i "$res" -O rc -o "$dump" || { echo "FAIL: windres could not read back $res"; exit 1; }

expect_line() {
    grep -qxF -- "$1" "$dump" || fail "decompiled resources lack: $1"
}

expect_line ' FILEVERSION 1, 0, 0, 0'
expect_line ' PRODUCTVERSION 1, 0, 0, 0'
expect_line ' FILEOS 0x4'
expect_line ' FILETYPE 0x1'
expect_line '    BLOCK "040904b0"'
expect_line '      VALUE "FileVersion", "1.0.0.0"'
expect_line '      VALUE "ProductVersion", "1.0.0.0"'
expect_line '      VALUE "ProductName", "Velmora_Brisca"'
expect_line '      VALUE "OriginalFilename", "Velmora_Brisca.exe"'
expect_line '      VALUE "CompanyName", ""'
expect_line '      VALUE "FileDescription", ""'
expect_line '      VALUE "LegalCopyright", ""'
expect_line '    VALUE "Translation", 0x409, 1200'
expect_line '"IDI_ICON1" 14 /* RT_GROUP_ICON */ MOVEABLE DISCARDABLE'
# windres leaves out flags that are zero; any FILEFLAGS line means one is set.
if grep -q '^ FILEFLAGS ' "$dump"; then
    fail "version block has flags set: $(grep '^ FILEFLAGS ' "$dump")"
fi
# Every resource in US English: one LANGUAGE line per resource, all 9, 1.
if grep '^LANGUAGE' "$dump" | grep -qv '^LANGUAGE 9, 1$'; then
    fail "a resource is not in language 1033"
fi

# The icon group: five 32-bit images of 16 to 128 pixels with their DIB sizes
# (header, BGRA pixels, 1-bit mask rows padded to 32 bits).
grep -qF '0, 1, 5,' "$dump" || fail "icon group does not hold five images"
for entry in '\020\020\000\000", 1, 32, 0x468L' '\040\040\000\000", 1, 32, 0x10a8L' \
    '\060\060\000\000", 1, 32, 0x25a8L' '\100\100\000\000", 1, 32, 0x4228L' \
    '\200\200\000\000", 1, 32, 0x10828L'; do
    grep -qF -- "$entry" "$dump" || fail "icon group lacks the entry $entry"
done

# The same strings, as UTF-16 text, in the object file the executable links.
strings_out="$work/strings.txt"
strings -el "$obj" >"$strings_out"
# Resource names in the directory carry a length prefix, hence no whole-line match.
grep -qF IDI_ICON1 "$strings_out" || fail "object file lacks the UTF-16 string IDI_ICON1"
for s in VS_VERSION_INFO 040904b0 1.0.0.0 Velmora_Brisca Velmora_Brisca.exe; do
    grep -qxF -- "$s" "$strings_out" || fail "object file lacks the UTF-16 string $s"
done
if command -v "$objdump" >/dev/null 2>&1; then
    "$objdump" -h "$obj" | grep -q '\.rsrc' || fail "object file has no .rsrc section"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed; decompiled resources in $dump"
    exit 1
fi
echo "PASS: version block and icon group of $rc_file"
