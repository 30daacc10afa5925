#!/usr/bin/env bash
# The COM link simulator's registration in a wine prefix (WINEPREFIX): it never displaces another
# program's registration of the link program's class, in either registry view (a 32-bit link
# program registers in the 32-bit one only), and unregistering removes what it added and nothing
# else.
#   registration_test.sh WINE SIMULATOR_EXE
set -uo pipefail
WINE=$1
SIM=$2
CLASS='HKCU\Software\Classes\CLSID\{D1FB3C9A-BB2D-446A-A74A-E771F134ED56}'
MERGED='HKCR\CLSID\{D1FB3C9A-BB2D-446A-A74A-E771F134ED56}'
LIBRARY='HKCR\TypeLib\{4CF5B97B-A0F5-41F3-848C-6E25FAB62AD3}'
INTERFACE='HKCR\Interface\{7733112C-4577-4432-9DB0-A9398184EAF6}'
failures=0

w() { timeout 60 "$WINE" "$@" 2>/dev/null; }
check() {  # check DESCRIPTION COMMAND...: the command must succeed
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
present() { w reg query "$1" >/dev/null 2>&1; }
absent() { ! present "$1"; }
server_is() {  # server_is CLASS_KEY TEXT
  w reg query "$1\\LocalServer32" /ve 2>/dev/null | tr -d '\r' | grep -qF "$2"
}

# Another program (the link program of a station) owns the class.
w reg add "$CLASS\\LocalServer32" /ve /d 'C:\Program Files\Link\link.exe' /f >/dev/null
check "registration refused while another program owns the class" \
  bash -c "! timeout 60 '$WINE' '$SIM' /RegServer /Machine"
check "the other program's registration is left as it was" \
  server_is "$CLASS" 'C:\Program Files\Link\link.exe'
check "unregistration refused too" bash -c "! timeout 60 '$WINE' '$SIM' /UnregServer /Machine"
check "the other program's registration is still there" \
  server_is "$CLASS" 'C:\Program Files\Link\link.exe'
check "no type library registered" absent "$LIBRARY"
w reg delete "$CLASS" /f >/dev/null

# A 32-bit link program owns it: its class is in the 32-bit registry view only, where a 64-bit
# program reading its default view would not see it.
w reg add "$MERGED\\LocalServer32" /ve /d 'C:\Program Files (x86)\Link\link32.exe' /reg:32 /f \
  >/dev/null
check "the 32-bit owner is not in the 64-bit view" absent "$MERGED"
check "registration refused while a 32-bit program owns the class" \
  bash -c "! timeout 60 '$WINE' '$SIM' /RegServer /Machine"
check "unregistration refused too" bash -c "! timeout 60 '$WINE' '$SIM' /UnregServer /Machine"
check "the 32-bit owner's registration is left as it was" \
  bash -c "timeout 60 '$WINE' reg query '$MERGED\\LocalServer32' /ve /reg:32 2>/dev/null |
           tr -d '\r' | grep -qF 'link32.exe'"
check "nothing registered in the 64-bit view" absent "$MERGED"
w reg delete "$MERGED" /reg:32 /f >/dev/null

# Nobody owns it: registered, then removed without a trace.
check "registration" w "$SIM" /RegServer /Machine
check "the class names the simulator" server_is "$MERGED" 'corvanta-linksim.exe'
check "the type library is registered" present "$LIBRARY"
check "the interface is registered for marshaling" present "$INTERFACE"
check "registering again is harmless" w "$SIM" /RegServer /Machine
check "unregistration" w "$SIM" /UnregServer /Machine
check "the class is gone" absent "$MERGED"
check "the class is gone from the user's classes too" absent "$CLASS"
check "the type library is gone" absent "$LIBRARY"
check "the interface is gone" absent "$INTERFACE"
check "unregistering again is harmless" w "$SIM" /UnregServer /Machine

echo "$failures failed"
[ "$failures" -eq 0 ]
