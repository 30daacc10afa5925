#!/usr/bin/env bash
# Builds what a Windows operator gets, into build-win/dist/: the portable zip
# (corvanta.exe, corvanta.chm, README-Windows.txt) and the installer (NSIS). Installs the build
# tools first when they are missing. Lists both with their sizes.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$ROOT/scripts/common.sh"

ensure_packages "${CORVANTA_WINDOWS_PACKAGES[@]}"
BUILD="$ROOT/build-win"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCORVANTA_WITH_GUI=OFF -DCORVANTA_WITH_SDL=OFF \
  -DCMAKE_CROSSCOMPILING_EMULATOR=wine >/dev/null
cmake --build "$BUILD" --parallel "$(nproc)" --target corvanta_packages
echo
for f in "$BUILD"/dist/*; do
  echo "$(basename "$f"): $(stat -c %s "$f") bytes"
done
echo "The zip holds:"
(cd "$BUILD/dist" && cmake -E tar tvf Corvanta-*-windows.zip)
