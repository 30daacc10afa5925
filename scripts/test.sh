#!/usr/bin/env bash
# Set-up and all tests: installs what is missing, builds, and runs every test through ctest.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$ROOT/scripts/common.sh"

ensure_packages "${CORVANTA_PACKAGES[@]}"
build_tree "$ROOT/build" RelWithDebInfo
ctest --test-dir "$ROOT/build" --output-on-failure --timeout 600
