#!/usr/bin/env bash
# A radio keyed through rigctld, as an operator runs it: the installed program on two radios at
# once (two rigctld stand-ins on two ports), each Started and restarted, each keeping its own
# settings (each its own output), station log and logon entry; the squelch closing gives one RX
# courtesy, flutter none; rigctld killed and restarted mid-courtesy, with the radio still keyed:
# released once connected again; and Corvanta killed (SIGKILL) 200 ms into a courtesy's tone: its
# guardian releases the PTT.
# Runs under scripts/null-sink.sh, whose private sound server has the "Test-Sink" output.
#
#   tests/radio_test.sh BUILD_DIR LINKSIM
set -uo pipefail
BUILD=$1
LINKSIM=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/corvanta-radio.XXXXXX")
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill -KILL "$p" 2>/dev/null; done
  pkill -KILL -f "corvanta-guardian 127.0.0.1 ($PORT_A|$PORT_B)\$" 2>/dev/null
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
PORT_A=$((20000 + RANDOM % 20000))
PORT_B=$((PORT_A + 2))

# Each radio's rigctld stand-in, told what its squelch does through a FIFO.
start_sim() {  # start_sim NAME PORT [OPTIONS...]: its PID in SIM
  mkfifo "$WORK/$1.in"
  "$LINKSIM" --listen "rigctld:127.0.0.1:$2" --log "$WORK/$1.log" "${@:3}" <"$WORK/$1.in" >/dev/null 2>&1 &
  SIM=$!
  PIDS+=($SIM)
}
start_sim a "$PORT_A"
exec 3>"$WORK/a.in"
start_sim b "$PORT_B"
SIM_B=$SIM
exec 4>"$WORK/b.in"
wait_for LISTEN "$WORK/a.log" && wait_for LISTEN "$WORK/b.log" || { echo "no simulator"; exit 1; }

# Two radios with two outputs, two characters and two tones: the test server's null sink and a
# second one made here.
pactl load-module module-null-sink sink_name=second rate=44100 channels=1 \
  sink_properties=device.description=Second-Sink >/dev/null || { echo "no second output"; exit 1; }
printf '2\r\nTest-Sink\r\n 100 \r\n 250 \r\n 700 \r\n 0 \r\nk\r\nt\r\n 50 \r\n' \
  >"$XDG_CONFIG_HOME/corvanta/corvanta-rigctld-$PORT_A.cfg"
printf '1\r\nSecond-Sink\r\n 100 \r\n 250 \r\n 900 \r\n 0 \r\nn\r\ne\r\n 50 \r\n' \
  >"$XDG_CONFIG_HOME/corvanta/corvanta-rigctld-$PORT_B.cfg"
LOG_A="$XDG_STATE_HOME/corvanta/corvanta-rigctld-$PORT_A.log"
LOG_B="$XDG_STATE_HOME/corvanta/corvanta-rigctld-$PORT_B.log"
run() {  # run PORT: the program on that radio, monitoring at once; its PID in APP
  "$PREFIX/bin/corvanta" --link "rigctld:127.0.0.1:$1" --start >>"$WORK/app-$1.out" 2>&1 &
  APP=$!
  PIDS+=($APP)
}

for round in 1 2; do
  run "$PORT_A"; APP_A=$APP
  run "$PORT_B"; APP_B=$APP
  check "round $round: radio A monitors on its own settings" \
    wait_for "\[rigctld:127.0.0.1:$PORT_A\] Start (from the command line): monitoring, sound output Test-Sink" "$LOG_A"
  check "round $round: radio B monitors on its own settings" \
    wait_for "\[rigctld:127.0.0.1:$PORT_B\] Start (from the command line): monitoring, sound output Second-Sink" "$LOG_B"
  check "round $round: Start says TX courtesies come from Test only" \
    wait_for "TX courtesies come from Test only" "$LOG_A"
  kill -TERM "$APP_A" "$APP_B"
  wait "$APP_A" "$APP_B" 2>/dev/null
done
check "each radio kept its own output and characters" \
  bash -c "head -c 200 '$XDG_CONFIG_HOME/corvanta/corvanta-rigctld-$PORT_A.cfg' | grep -q '^Test-Sink' &&
           head -c 200 '$XDG_CONFIG_HOME/corvanta/corvanta-rigctld-$PORT_A.cfg' | grep -q '^t' &&
           head -c 200 '$XDG_CONFIG_HOME/corvanta/corvanta-rigctld-$PORT_B.cfg' | grep -q '^Second-Sink' &&
           head -c 200 '$XDG_CONFIG_HOME/corvanta/corvanta-rigctld-$PORT_B.cfg' | grep -q '^e'"
check "no shared settings file was made" test ! -e "$XDG_CONFIG_HOME/corvanta/corvanta.cfg"
"$PREFIX/bin/corvanta" --link "rigctld:127.0.0.1:$PORT_A" --autostart on >/dev/null
"$PREFIX/bin/corvanta" --link "rigctld:127.0.0.1:$PORT_B" --autostart on >/dev/null
check "both logon entries exist" test -f "$XDG_CONFIG_HOME/autostart/corvanta-rigctld-$PORT_A.desktop" -a \
  -f "$XDG_CONFIG_HOME/autostart/corvanta-rigctld-$PORT_B.desktop"

# The squelch: an over, then flutter shorter than the hang time, on radio A.
connected=$(count "rigctld connected" "$LOG_A")
monitoring=$(count "monitoring, sound output" "$LOG_A")
run "$PORT_A"
grows "rigctld connected" "$LOG_A" "$connected" || echo "radio A not connected"
grows "monitoring, sound output" "$LOG_A" "$monitoring" || echo "radio A not monitoring"
echo "dcd 1" >&3
sleep 0.3
echo "dcd 0" >&3
check "the squelch closing gives one RX courtesy, keyed and released" \
  wait_for "^[0-9.]* PTT 0 " "$WORK/a.log"
check "  the station log has it" wait_for 'RX courtesy "t": keyed [0-9.]* ms, sent' "$LOG_A"
keyings=$(count "PTT 1 " "$WORK/a.log")
sleep 0.5  # past the quiet time after our own release
echo "dcd 1" >&3
sleep 0.3
echo "flutter 150" >&3
sleep 1
check "flutter shorter than the hang time gives none" test "$(count "PTT 1 " "$WORK/a.log")" -eq "$keyings"

# Killed 200 ms into the tone (150 ms after the confirmed keying): the guardian releases.
echo "dcd 0" >&3
for _ in $(seq 1 2000); do [ "$(count "PTT 1 " "$WORK/a.log")" -gt "$keyings" ] && break; sleep 0.01; done
sleep 0.35
releases=$(count " PTT 0 " "$WORK/a.log")
kill -KILL "$APP"
echo "dcd 1" >&3  # a mark in the simulator's log at the kill, on its own clock
# The log already holds the earlier courtesy's release: wait for one more, not for any.
check "killed mid-courtesy: the guardian released the PTT" grows " PTT 0 " "$WORK/a.log" "$releases"
killed_at=$(grep "DCD 1" "$WORK/a.log" | tail -n 1 | cut -d' ' -f1)
released_at=$(grep " PTT 0 " "$WORK/a.log" | tail -n 1 | cut -d' ' -f1)
ms=$(awk -v k="$killed_at" -v r="$released_at" 'BEGIN { printf "%.0f", r - k }')
echo "guardian: PTT 0 ${ms} ms after the kill (including rigctld's 50 ms relay delay)"
check "  within 300 ms" test "$ms" -le 300 -a "$ms" -ge 0
check "  and the guardian ended" \
  bash -c "for i in \$(seq 1 50); do pgrep -f 'corvanta-guardian 127.0.0.1 $PORT_A\$' >/dev/null || exit 0; sleep 0.1; done; exit 1"

# rigctld killed mid-courtesy on radio B and started again, the radio still keyed (a CAT-keyed
# radio stays as it was told): once connected again, the PTT is read back and released.
connected=$(count "rigctld connected" "$LOG_B")
monitoring=$(count "monitoring, sound output" "$LOG_B")
run "$PORT_B"
grows "rigctld connected" "$LOG_B" "$connected" || echo "radio B not connected"
grows "monitoring, sound output" "$LOG_B" "$monitoring" || echo "radio B not monitoring"
echo "dcd 1" >&4
sleep 0.3
echo "dcd 0" >&4
check "radio B keyed for its courtesy" wait_for "^[0-9.]* PTT 1 " "$WORK/b.log"
sleep 0.35
kill -KILL "$SIM_B"
echo "ptt 1" >"$WORK/keyed.script"
start_sim b2 "$PORT_B" --script "$WORK/keyed.script"
exec 5>"$WORK/b2.in"
check "rigctld restarted with the radio keyed: released once connected again" \
  wait_for "^[0-9.]* PTT 0 " "$WORK/b2.log"
check "  the station log says so" \
  wait_for "rigctld's PTT .*released" "$LOG_B"
check "  the courtesy cut by the loss is not logged as sent" \
  bash -c "! grep -q 'RX courtesy \"e\": keyed.*sent\$' '$LOG_B'"
# The restarted stand-in must have been keyed before Corvanta's first request reached it (its
# retry comes 2 s after the loss); otherwise the read-back above proved nothing.
check "  (the stand-in was keyed before Corvanta reconnected)" \
  bash -c "grep -m1 -E ' (PTT 1 command|REQUEST )' '$WORK/b2.log' | grep -q 'PTT 1 command'"

[ "$failures" -eq 0 ] || { for f in "$WORK"/app-*.out; do sed "s|^|$(basename "$f"): |" "$f"; done; }
echo "$failures failed"
[ "$failures" -eq 0 ]
