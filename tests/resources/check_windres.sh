#!/bin/sh
# usage: check_windres.sh RESOURCE_SCRIPT WORK_DIR VERSION
# Compiles the resource script with MinGW's windres and checks what Windows reads from the
# binary: the icon group of the window icon and a version block with the project's version.
# Exits 77 (skipped) without windres.
set -u

rc_file=$1
work=$2
version=$3
windres=${WINDRES:-x86_64-w64-mingw32-windres}

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
dump="$work/decompiled.rc"
# Decompiling the binary resources shows the version fields and icons as the loader sees them.
if ! "$@" "$rc_file" -O coff -o "$work/velmora_brisca_res.o" ||
    ! "$@" "$rc_file" -O res -o "$res" || ! "$windres" -i "$res" -O rc -o "$dump"; then
    echo "FAIL: windres could not compile $rc_file"
    exit 1
fi

failures=0
expect() {
    grep -qF -- "$1" "$dump" || {
        echo "FAIL: the compiled resources lack: $1"
        failures=$((failures + 1))
    }
}

# Version 1.2.3 reads 1, 2, 3, 0 in the fixed fields and "1.2.3.0" in the strings.
numbers=$(echo "$version.0.0.0" | cut -d. -f1-4)
expect " FILEVERSION $(echo "$numbers" | sed 's/\./, /g')"
expect " PRODUCTVERSION $(echo "$numbers" | sed 's/\./, /g')"
expect "VALUE \"FileVersion\", \"$numbers\""
expect "VALUE \"ProductVersion\", \"$numbers\""
# Qt's Windows integration takes the window icon from the group of this name.
expect '"IDI_ICON1" 14 /* RT_GROUP_ICON */'
expect '0, 1, 5,'

[ "$failures" -eq 0 ] || exit 1
echo "PASS: version $numbers and icon group of $rc_file"
