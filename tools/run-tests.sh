#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Exits non-zero on any failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/tools/install-deps.sh"

export QT_QPA_PLATFORM=offscreen

bash "$top/tools/build.sh" "$top/build"
cd "$top/build"
ctest --output-on-failure --timeout 600 -j "$(nproc)"
