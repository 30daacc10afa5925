#!/usr/bin/env bash
# The installer in a wine prefix (WINEPREFIX), silent (/S): the files in place, the Start-menu
# entries made, nothing registered but Corvanta's own uninstall entry; then the uninstaller
# removes all of it and leaves the user's settings.
#   installer_test.sh WINE SETUP_EXE
set -uo pipefail
WINE=$1
SETUP=$2
DRIVE="$WINEPREFIX/drive_c"
DIR="$DRIVE/Program Files/Corvanta"
MENU="$DRIVE/ProgramData/Microsoft/Windows/Start Menu/Programs/Corvanta"
KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvanta'
LINK_CLASS='HKCR\CLSID\{D1FB3C9A-BB2D-446A-A74A-E771F134ED56}'
failures=0

w() { timeout 120 "$WINE" "$@" 2>/dev/null; }
check() {
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
registered() { w reg query "$1" >/dev/null 2>&1; }
wait_gone() {
  local i
  for i in $(seq 1 300); do [ -e "$1" ] || return 0; sleep 0.1; done
  return 1
}

class_before=$(w reg query "$LINK_CLASS" /s 2>/dev/null | tr -d '\r')
check "silent install" w "$SETUP" /S
check "the installer did its work" test -d "$DIR"
for f in corvanta.exe corvanta.chm README-Windows.txt uninstall.exe; do
  check "$f installed" test -f "$DIR/$f"
done
check "Start-menu entry" test -f "$MENU/Corvanta.lnk"
check "Start-menu help entry" test -f "$MENU/Corvanta Help.lnk"
check "uninstall entry" registered "$KEY"
check "the link program's class untouched" \
  test "$(w reg query "$LINK_CLASS" /s 2>/dev/null | tr -d '\r')" = "$class_before"
echo "installed files:"
(cd "$DIR" && ls -l)

# The user's settings, as an installed program keeps them.
APPDATA_DIR="$DRIVE/users/$(id -un)/AppData/Roaming/Corvanta"
mkdir -p "$APPDATA_DIR"
SETTINGS="$APPDATA_DIR/corvanta.cfg"
printf '2\r\nTest-Sink\r\n 100 \r\n 250 \r\n 700 \r\n 0 \r\nk\r\nt\r\n 50 \r\n' >"$SETTINGS"

check "silent uninstall started" w "$DIR/uninstall.exe" /S
check "program folder removed" wait_gone "$DIR"
check "Start-menu folder removed" wait_gone "$MENU"
check "uninstall entry removed" bash -c "! timeout 120 '$WINE' reg query '$KEY' >/dev/null 2>&1"
check "the user's settings kept" test -f "$SETTINGS"
rm -rf "$APPDATA_DIR"

echo "$failures failed"
[ "$failures" -eq 0 ]
