#!/usr/bin/env bash
# Runs a command in the wine prefix (WINEPREFIX) with the display scaled to DPI (144 is 150 %),
# as an operator's laptop is, and puts the prefix back at 96 afterwards, whatever happened.
#   at_dpi.sh WINE DPI COMMAND [ARGS...]
set -uo pipefail
WINE=$1
DPI=$2
shift 2
set_dpi() {
  timeout 60 "$WINE" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f \
    >/dev/null 2>&1
  timeout 60 "$WINE" reg add 'HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts' \
    /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
  # Read once per wine server: the next program must start a new one.
  timeout 60 wineserver -w
}
trap 'set_dpi 96' EXIT
set_dpi "$DPI"
CORVANTA_EXPECT_DPI=$DPI "$@"
