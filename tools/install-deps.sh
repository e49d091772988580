#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the program and the tests need.
# Only what is missing is installed, after a single `apt-get update`.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config dpkg-dev desktop-file-utils
    qtbase5-dev qtbase5-dev-tools libqt5serialbus5-dev libqt5serialport5-dev
    libqcustomplot-dev
    libmodbus-dev
    mbpoll python3 python3-pymodbus python3-serial socat
    xvfb xauth x11-apps imagemagick
    binutils-mingw-w64-x86-64
    clang libclang-rt-14-dev valgrind
    python3-pil fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
