# Shared by run.sh and test.sh: the Debian packages Corvanta builds, runs and is tested with, and
# their installation when something is missing.
# shellcheck shell=bash

CORVANTA_PACKAGES=(
  g++ cmake ninja-build pkg-config git
  qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-documentation-tools
  libsdl2-dev libpulse-dev libgtest-dev libgmock-dev
  fonts-liberation2 fonts-dejavu-core
  clang-format
  file dpkg-dev
)

# Only the tests need these: the private sound servers the end-to-end tests play into (Corvanta
# itself uses whatever sound server the desktop runs, and installs none), clang with libFuzzer and
# its sanitizer runtime for the fuzz targets (Debian installs that runtime only as a
# recommendation), and the tools that check the installed files. (The Debian package needs file
# and dpkg-dev, which the README's packaging steps use too, so the main list has them.)
CORVANTA_TEST_PACKAGES=(
  pulseaudio pulseaudio-utils
  pipewire pipewire-pulse wireplumber dbus-daemon
  clang libfuzzer-14-dev libclang-rt-14-dev
  desktop-file-utils man-db
  libhamlib-utils
)

# The Windows stage: MinGW-w64 (posix threads), widl and the .idl files it imports, the help
# compiler (chmcmd) and NSIS, wine, GoogleTest's sources to cross-build, and a display for the
# window test (Xvfb) and its screenshot.
CORVANTA_WINDOWS_PACKAGES=(
  g++-mingw-w64-x86-64-posix mingw-w64-tools fp-utils-3.2.2 nsis
  wine wine64 libwine-dev fonts-wine
  googletest
  xvfb xauth x11-apps netpbm
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the packages of the list that are not installed yet (apt-get update first).
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  as_root apt-get update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

# Configures and builds a build folder:
#   build_tree DIR BUILD_TYPE [cmake options...] [--target TARGET...]
build_tree() {
  local dir=$1 type=$2 options=() targets=()
  shift 2
  while [ $# -gt 0 ]; do
    if [ "$1" = "--target" ]; then
      shift
      targets=("$@")
      break
    fi
    options+=("$1")
    shift
  done
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "${options[@]}" >/dev/null
  if [ ${#targets[@]} -gt 0 ]; then
    cmake --build "$dir" --parallel "$(nproc)" --target "${targets[@]}"
  else
    cmake --build "$dir" --parallel "$(nproc)"
  fi
}
