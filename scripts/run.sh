#!/usr/bin/env bash
# Set-up and main job: installs what is missing, builds, and starts Corvanta's window.
# Arguments are passed to corvanta (for example --link ENDPOINT).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$ROOT/scripts/common.sh"

ensure_packages "${CORVANTA_PACKAGES[@]}"
build_tree "$ROOT/build-release" Release -DBUILD_TESTING=OFF

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found (DISPLAY and WAYLAND_DISPLAY are empty): Corvanta runs without a visible"
  echo "window. Run this from a desktop session to see it. Stop it with Ctrl+C."
  export QT_QPA_PLATFORM=offscreen
fi
echo "Starting Corvanta (settings: corvanta.cfg beside the program, else ~/.config/corvanta/)."
exec "$ROOT/build-release/app/corvanta" "$@"
