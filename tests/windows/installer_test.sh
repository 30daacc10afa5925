#!/usr/bin/env bash
# The installer in a wine prefix (WINEPREFIX), silent (/S): it refuses while Corvanta runs; the
# files in place in the folder chosen, the Start-menu entries made, nothing registered but
# Corvanta's own uninstall entry; an upgrade goes to the same folder; the uninstaller refuses while
# Corvanta runs, then removes all of it and leaves the user's settings. Needs a display (xvfb-run)
# for the running Corvanta.
#   installer_test.sh WINE SETUP_EXE CORVANTA_EXE
set -uo pipefail
WINE=$1
SETUP=$2
EXE=$3
DRIVE="$WINEPREFIX/drive_c"
DIR="$DRIVE/CorvantaStation"  # chosen at the first install
WIN_DIR='C:\CorvantaStation'
DEFAULT_DIR="$DRIVE/Program Files/Corvanta"
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
wait_there() {
  local i
  for i in $(seq 1 300); do [ -e "$1" ] && return 0; sleep 0.1; done
  return 1
}
# Runs Corvanta from `$1`\corvanta.exe until stop_corvanta; it is running once it has written
# the settings file `$2` (start-up's step after the splash; it holds its mutex from its first step).
RUNNING=""
start_corvanta() {
  rm -f "$2"
  "$WINE" "$1/corvanta.exe" >/dev/null 2>&1 &
  RUNNING=$!
  wait_there "$2"
}
stop_corvanta() {
  w taskkill /F /IM corvanta.exe >/dev/null
  wait "$RUNNING" 2>/dev/null
  RUNNING=""
}
trap '[ -n "$RUNNING" ] && stop_corvanta' EXIT

# A wine server left by a test without a display would give this one's windows none: wait for it.
timeout 60 wineserver -w

# A portable copy running (its settings beside it): the installer refuses, installs nothing.
PORTABLE="$DRIVE/portable"
mkdir -p "$PORTABLE"
cp "$EXE" "$PORTABLE/"
check "a copy started" start_corvanta "$PORTABLE" "$PORTABLE/corvanta.cfg"
w "$SETUP" /S "/D=$WIN_DIR"
check "install refused while Corvanta runs (exit code 3)" test $? -eq 3
check "nothing installed while it runs" test ! -e "$DIR"
stop_corvanta
rm -rf "$PORTABLE"

class_before=$(w reg query "$LINK_CLASS" /s 2>/dev/null | tr -d '\r')
check "silent install" w "$SETUP" /S "/D=$WIN_DIR"
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
rm "$DIR/README-Windows.txt"  # an upgrade puts it back where it installs
check "upgrade" w "$SETUP" /S
check "the upgrade went to the folder in use" test -f "$DIR/README-Windows.txt"
check "nothing in the default folder" test ! -e "$DEFAULT_DIR"

# The user's settings, as an installed program keeps them.
APPDATA_DIR="$DRIVE/users/$(id -un)/AppData/Roaming/Corvanta"
mkdir -p "$APPDATA_DIR"
SETTINGS="$APPDATA_DIR/corvanta.cfg"
# The installed copy running (its settings with the user): the uninstaller, run in place so that
# its exit code is its own, refuses and removes nothing.
check "the installed copy started" start_corvanta "$DIR" "$SETTINGS"
w "$DIR/uninstall.exe" /S "_?=$WIN_DIR"
check "uninstall refused while Corvanta runs (exit code 3)" test $? -eq 3
check "nothing removed while it runs" test -f "$DIR/corvanta.exe"
stop_corvanta
printf '2\r\nTest-Sink\r\n 100 \r\n 250 \r\n 700 \r\n 0 \r\nk\r\nt\r\n 50 \r\n' >"$SETTINGS"

check "silent uninstall started" w "$DIR/uninstall.exe" /S
check "program folder removed" wait_gone "$DIR"
check "Start-menu folder removed" wait_gone "$MENU"
check "uninstall entry removed" bash -c "! timeout 120 '$WINE' reg query '$KEY' >/dev/null 2>&1"
check "the user's settings kept" test -f "$SETTINGS"
rm -rf "$APPDATA_DIR"

echo "$failures failed"
[ "$failures" -eq 0 ]
