#!/usr/bin/env bash
# Start at logon on Linux, as an operator sets it up and as the desktop then runs it: the installed
# program writes its XDG autostart entry (`--autostart on`), the entry is valid and names the
# program and the link; the program started from the entry's Exec line monitors at once (no click)
# and answers a PTT event with a keyed courtesy; then a night with faults (a refused keying, one
# answered too late, the connection dropped, the output unplugged and plugged back), each told in
# the station log in order with its recovery; `--autostart off` leaves nothing of it. Runs under
# scripts/null-sink.sh, whose private sound server has the "Test-Sink" output.
#
#   tests/autostart_test.sh BUILD_DIR LINKSIM
set -uo pipefail
BUILD=$1
LINKSIM=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/corvanta-autostart.XXXXXX")
APP_PID=""
SIM_PID=""
cleanup() {
  [ -n "$APP_PID" ] && kill -KILL "$APP_PID" 2>/dev/null
  [ -n "$SIM_PID" ] && kill -KILL "$SIM_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT
# shellcheck source=tests/checks.sh
. "$(dirname "$0")/checks.sh"

PREFIX="$WORK/prefix"
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null || { echo "install failed"; exit 1; }
export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/config" XDG_STATE_HOME="$WORK/home/state"
export XDG_RUNTIME_DIR="$WORK/run" QT_QPA_PLATFORM=offscreen
mkdir -p "$XDG_CONFIG_HOME/corvanta" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
ENDPOINT="unix:$WORK/link sock"  # a space, which the entry must quote
# A link other than the default keeps files named after it: "unix-", the socket's name made safe
# for a file name, and (outside the default folder) the FNV-1a hash of its path in hex.
fnv1a() {
  local text=$1 hash=2166136261 i byte
  for ((i = 0; i < ${#text}; i++)); do
    printf -v byte '%d' "'${text:i:1}"
    hash=$(((hash ^ byte) * 16777619 & 0xffffffff))
  done
  printf '%08x' "$hash"
}
STEM="corvanta-unix-link_sock-$(fnv1a "${ENDPOINT#unix:}")"
# The output chosen before, as the settings keep it: monitoring can start without anyone there.
printf '2\r\nTest-Sink\r\n 100 \r\n 250 \r\n 700 \r\n 0 \r\nk\r\nt\r\n 50 \r\n' \
  >"$XDG_CONFIG_HOME/corvanta/$STEM.cfg"
ENTRY="$XDG_CONFIG_HOME/autostart/$STEM.desktop"
STATION_LOG="$XDG_STATE_HOME/corvanta/$STEM.log"

mkfifo "$WORK/sim.in"
"$LINKSIM" --listen "$ENDPOINT" --log "$WORK/sim.log" <"$WORK/sim.in" >/dev/null 2>&1 &
SIM_PID=$!
exec 3>"$WORK/sim.in"

# Not on PATH: the entry names the program by its full path.
check "--autostart on" "$PREFIX/bin/corvanta" --link "$ENDPOINT" --autostart on
check "the entry is written" test -f "$ENTRY"
check "the entry is a valid desktop entry" desktop-file-validate "$ENTRY"
check "it runs this program with --start and the link" \
  grep -qx "Exec=$PREFIX/bin/corvanta --start --link \"$ENDPOINT\"" "$ENTRY"
# On PATH: by its name, as on an installed system.
check "--autostart on again, with the program on PATH" \
  env PATH="$PREFIX/bin:$PATH" corvanta --link "$ENDPOINT" --autostart on
check "the entry names it corvanta" grep -qx "Exec=corvanta --start --link \"$ENDPOINT\"" "$ENTRY"
check "--autostart takes only on or off" bash -c "! '$PREFIX/bin/corvanta' --autostart maybe 2>/dev/null"
echo "entry:"
sed 's/^/  /' "$ENTRY"

# The desktop at logon: the Exec line as written, through a shell (its quoting is the shell's).
exec_line=$(sed -n 's/^Exec=//p' "$ENTRY")
env PATH="$PREFIX/bin:$PATH" bash -c "exec $exec_line" >"$WORK/corvanta.out" 2>&1 &
APP_PID=$!
check "started from the entry, it monitors without a click" \
  wait_for "Start (from the command line): monitoring, sound output Test-Sink" "$STATION_LOG"
check "the link program is connected" wait_for "Link program connected" "$STATION_LOG"
echo "ptt 1" >&3
echo "ptt 0" >&3
check "a PTT event is answered with the RX courtesy, keyed and released" \
  wait_for "SETPTT 0" "$WORK/sim.log"
check "the log has the courtesy and its keyed time" \
  wait_for 'RX courtesy "t": keyed [0-9.]* ms, sent' "$STATION_LOG"

# The night. Each fault is told, then its recovery, in this order.
line_of() { grep -n -- "$1" "$STATION_LOG" | tail -n 1 | cut -d: -f1; }
echo "err on" >&3
echo "ptt 0" >&3
check "a refused keying" wait_for 'RX courtesy "t": RX courtesy failed: keying refused' "$STATION_LOG"
echo "err off" >&3
echo "late 1300" >&3
echo "ptt 0" >&3
check "a keying answered too late, and the connection made again" \
  wait_for 'RX courtesy "t": RX courtesy failed: keying unanswered' "$STATION_LOG"
check "  is followed by the link program connected again" \
  wait_for 'Link program did not answer within 1000 ms; connecting again' "$STATION_LOG"
echo "late 0" >&3
connected=$(count "Link program connected" "$STATION_LOG")
echo "drop" >&3
check "the connection dropped" wait_for "Link program lost" "$STATION_LOG"
check "  and back" grows "Link program connected" "$STATION_LOG" "$connected"
module=$(pactl list short modules | awk '/module-null-sink/ {print $1; exit}')
pactl unload-module "$module"
# Whether the program's output list has caught up with the unplugging when the event comes is the
# sound system's timing: the courtesy is then skipped at the lookup, or fails at the opening. Both
# must key nothing.
UNPLUGGED='\(sound output not found\|Cannot open sound output\)'
SKIPPED='RX courtesy \(skipped: the sound output could not be opened\|failed: Cannot open sound output .*\); nothing keyed$'
keyings=$(grep -c "SETPTT 1" "$WORK/sim.log")
echo "ptt 0" >&3
check "the output unplugged: the courtesy skipped" wait_for "$SKIPPED" "$STATION_LOG"
check "  nothing keyed" test "$(grep -c "SETPTT 1" "$WORK/sim.log")" -eq "$keyings"
pactl load-module module-null-sink sink_name=t rate=44100 channels=1 \
  sink_properties=device.description=Test-Sink >/dev/null
# The sound system lists the returning output on its own time: events until one is answered.
sent=$(count 'RX courtesy "t": keyed' "$STATION_LOG")
for _ in $(seq 1 10); do
  echo "ptt 0" >&3
  grows 'RX courtesy "t": keyed' "$STATION_LOG" "$sent" && break
done
check "  and back: the next courtesy goes out keyed" grows 'RX courtesy "t": keyed' "$STATION_LOG" "$sent"
check "  after the output's return" wait_for "Sound output back: Test-Sink" "$STATION_LOG"
order_ok() {
  local last=0 n pattern
  for pattern in "Started Corvanta" "Start (from the command line): monitoring" \
    "keying refused" "keying unanswered" "Link program lost" "$UNPLUGGED" \
    "$SKIPPED" "Sound output back"; do
    n=$(grep -n -m 1 -- "$pattern" "$STATION_LOG" | cut -d: -f1)
    [ -n "$n" ] && [ "$n" -gt "$last" ] || { echo "out of order or missing: $pattern"; return 1; }
    last=$n
  done
  [ "$(line_of 'RX courtesy "t": keyed')" -gt "$last" ]
}
check "the night in order" order_ok
kill -TERM "$APP_PID"
wait "$APP_PID"
APP_PID=""
check "the log has its end" grep -q "Window closed without Exit" "$STATION_LOG"
echo "program output:"
sed 's/^/  /' "$WORK/corvanta.out"
echo "station log:"
sed 's/^/  /' "$STATION_LOG"

check "--autostart off" "$PREFIX/bin/corvanta" --link "$ENDPOINT" --autostart off
check "the entry is gone" test ! -e "$ENTRY"
check "and nothing else of it" test -z "$(ls -A "$XDG_CONFIG_HOME/autostart")"
check "--autostart off again says so and succeeds" "$PREFIX/bin/corvanta" --link "$ENDPOINT" --autostart off

exec 3>&-
echo "$failures failed"
[ "$failures" -eq 0 ]
