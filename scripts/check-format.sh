#!/usr/bin/env bash
# Fails when a C++ source is not formatted as .clang-format says.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
mapfile -t files < <(find core engine audio settings link ui app tools tests bench support \
  \( -name '*.cpp' -o -name '*.h' \) -print 2>/dev/null | sort)
[ ${#files[@]} -eq 0 ] && exit 0
clang-format --dry-run --Werror "${files[@]}"
