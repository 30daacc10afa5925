#!/usr/bin/env bash
# Set-up and main job: installs what is missing, builds, and starts Corvanta.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$ROOT/scripts/common.sh"

ensure_packages "${CORVANTA_PACKAGES[@]}"
build_tree "$ROOT/build-release" Release -DBUILD_TESTING=OFF
echo "Corvanta's engine and settings are built; the window is not built yet, so there is nothing to start."
