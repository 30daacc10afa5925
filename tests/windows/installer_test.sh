#!/usr/bin/env bash
# The installer in a wine prefix (WINEPREFIX), silent (/S): it refuses while Corvanta runs; the
# files in place in the folder chosen, the Start-menu entries made, nothing registered but
# Corvanta's own uninstall entry; an upgrade goes to the same folder; the uninstaller refuses while
# Corvanta runs, then removes all of it and leaves the user's settings. The logon start: none
# unless asked for (/AUTOSTART); asked for, a shortcut with /start in the user's Startup folder
# that starts Corvanta monitoring (its station log says so); the uninstaller removes exactly that.
# Needs a display (xvfb-run) for the running Corvanta.
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
# The user's Startup folder (wine spells it StartUp).
PROGRAMS="$DRIVE/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
STARTUP=$(find "$PROGRAMS" -maxdepth 1 -iname startup | head -n 1)
check "the user's Startup folder" test -n "$STARTUP"
check "no logon start unless asked for" test ! -e "$STARTUP/Corvanta.lnk"
rm "$DIR/README-Windows.txt"  # an upgrade puts it back where it installs
check "upgrade asking for the logon start" w "$SETUP" /S /AUTOSTART
check "the upgrade went to the folder in use" test -f "$DIR/README-Windows.txt"
check "nothing in the default folder" test ! -e "$DEFAULT_DIR"
check "the logon start's shortcut" test -f "$STARTUP/Corvanta.lnk"
# A shortcut keeps its arguments in UTF-16.
check "the shortcut starts monitoring (/start)" \
  bash -c "LC_ALL=C grep -qaP '/\\x00s\\x00t\\x00a\\x00r\\x00t\\x00' '$STARTUP/Corvanta.lnk'"
# The user's settings, as an installed program keeps them.
APPDATA_DIR="$DRIVE/users/$(id -un)/AppData/Roaming/Corvanta"
mkdir -p "$APPDATA_DIR"
SETTINGS="$APPDATA_DIR/corvanta.cfg"
# Started from the shortcut, as the logon does: with no output chosen yet, Start asked for on the
# command line says in the log (as in the status bar) why it does not monitor; with one chosen
# before, it monitors without a click.
STATION_LOG="$DRIVE/users/$(id -un)/AppData/Local/Corvanta/corvanta.log"
log_says() {
  local i
  for i in $(seq 1 300); do grep -q "$1" "$STATION_LOG" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}
from_shortcut() {
  rm -f "$STATION_LOG"
  "$WINE" start /unix "$STARTUP/Corvanta.lnk" >/dev/null 2>&1
  RUNNING=started
}
from_shortcut
check "started from the shortcut, it logs its start-up" log_says "Started Corvanta"
check "no output chosen: it says so and does not monitor" \
  log_says "Start (from the command line): Error you have not selected your output device"
stop_corvanta
printf '2\r\nTest-Sink\r\n 100 \r\n 250 \r\n 700 \r\n 0 \r\nk\r\nt\r\n 50 \r\n' >"$SETTINGS"
from_shortcut
check "an output chosen before: it monitors from logon" \
  log_says "Start (from the command line): monitoring, sound output Test-Sink"
stop_corvanta
echo "station log:"
sed 's/^/  /' "$STATION_LOG"
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
check "the logon start's shortcut removed" wait_gone "$STARTUP/Corvanta.lnk"
check "uninstall entry removed" bash -c "! timeout 120 '$WINE' reg query '$KEY' >/dev/null 2>&1"
check "the user's settings kept" test -f "$SETTINGS"
rm -rf "$APPDATA_DIR"

echo "$failures failed"
[ "$failures" -eq 0 ]
