#!/usr/bin/env bash
# Runs a command against a private sound server whose only output is a null sink
# ("Test-Sink"), with a recorder on the sink's monitor writing raw signed 16-bit mono at 44100/s.
# Nothing is written outside a temporary folder; every process is stopped by its PID when the
# command ends, fails or is interrupted.
#
#   scripts/null-sink.sh COMMAND [ARGS...]
#
# The server is PulseAudio, or with CORVANTA_SOUND_SERVER=pipewire the PipeWire of a Debian 12
# desktop (pipewire, wireplumber and pipewire-pulse, its graph clocked at 44100/s so nothing is
# resampled), reached the same way through its PulseAudio protocol.
#
# The command sees SDL_AUDIODRIVER=pulseaudio, PULSE_SERVER, CORVANTA_RECORDING (the raw file),
# CORVANTA_SINK_DESCRIPTION, CORVANTA_PULSE_PID and CORVANTA_RECORDER_PID, and
# CORVANTA_SERVER_START, a command that starts the server again after the command stopped it
# (with PulseAudio its null sink comes with it; its recorder does not). Set
# CORVANTA_KEEP_SANDBOX=1 to keep the folder; CORVANTA_PULSE_SHM=1 to give PulseAudio its shared
# memory (see below: for benchmarks only).
#
# With CORVANTA_SINK_CONTROL=1 the command may take the null sink away and bring it back, as a
# USB interface unplugged and replugged, also from under wine where it cannot run pactl: it
# creates the file "unload" or "load" in the folder CORVANTA_SINK_CONTROL then names, and waits
# for "unloaded" or "loaded" there. A returning sink gets a new recorder, appending to the same
# recording.
set -uo pipefail

D=$(mktemp -d "${TMPDIR:-/tmp}/corvanta-pulse.XXXXXX")
chmod 700 "$D"
mkdir -p -m 700 "$D/home" "$D/run" "$D/run/pulse" "$D/state" "$D/config"
PULSE_PID=""
REC_PID=""
EXTRA_PIDS=()

stop_pid() {  # stop_pid PID SIGNAL
  local pid=$1 sig=$2 i
  [ -n "$pid" ] || return 0
  kill -"$sig" "$pid" 2>/dev/null || return 0
  for i in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}

cleanup() {
  local pid
  stop_pid "$REC_PID" INT
  stop_pid "$PULSE_PID" TERM
  # Servers the command started again after stopping one (see CORVANTA_SERVER_START).
  if [ -f "$D/server.pids" ]; then
    while read -r pid; do stop_pid "$pid" TERM; done <"$D/server.pids"
  fi
  for pid in "${EXTRA_PIDS[@]}"; do stop_pid "$pid" TERM; done
  if [ -f "$D/sink-control/recorder.pid" ]; then stop_pid "$(cat "$D/sink-control/recorder.pid")" INT; fi
  if [ -z "${CORVANTA_KEEP_SANDBOX:-}" ]; then rm -rf "$D"; else echo "sandbox kept in $D" >&2; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export HOME="$D/home" XDG_RUNTIME_DIR="$D/run" XDG_CONFIG_HOME="$D/config"
export PULSE_RUNTIME_PATH="$D/run/pulse" PULSE_STATE_PATH="$D/state"
export PULSE_SERVER="unix:$D/native"

if [ "${CORVANTA_SOUND_SERVER:-pulseaudio}" = pipewire ]; then
  mkdir -p -m 700 "$D/config/pipewire/pipewire.conf.d"
  cat >"$D/config/pipewire/pipewire.conf.d/corvanta-test.conf" <<'CONF'
context.properties = {
  default.clock.rate = 44100
  default.clock.allowed-rates = [ 44100 ]
  # Without real-time scheduling, as here, a graph cycle below Debian's default 1024 frames runs
  # dry under load (holes of a few ms in the recording, the server's own).
  default.clock.min-quantum = 1024
}
CONF
  mkdir -p -m 700 "$D/config/pipewire/pipewire-pulse.conf.d"
  cat >"$D/config/pipewire/pipewire-pulse.conf.d/corvanta-test.conf" <<CONF
pulse.properties = { server.address = [ "unix:$D/native" ] }
CONF
  # WirePlumber's Bluetooth monitor loads its logind module, which makes WirePlumber exit at start
  # on a machine without systemd's login manager (a container, a server). A null sink needs no
  # Bluetooth.
  mkdir -p -m 700 "$D/config/wireplumber/bluetooth.lua.d"
  echo 'bluez_monitor.enabled = false' >"$D/config/wireplumber/bluetooth.lua.d/51-corvanta-test.lua"
  # WirePlumber, which links streams to the sink, will not run without a session bus.
  dbus-daemon --session --address="unix:path=$D/bus" --nofork --nopidfile >"$D/dbus.log" 2>&1 &
  EXTRA_PIDS+=($!)
  export PIPEWIRE_RUNTIME_DIR="$D/run" DBUS_SESSION_BUS_ADDRESS="unix:path=$D/bus"
  for _ in $(seq 1 100); do [ -S "$D/bus" ] && break; sleep 0.05; done
  pipewire >"$D/pipewire.log" 2>&1 &
  EXTRA_PIDS+=($!)
  for _ in $(seq 1 100); do [ -S "$D/run/pipewire-0" ] && break; sleep 0.05; done
  wireplumber >"$D/wireplumber.log" 2>&1 &
  EXTRA_PIDS+=($!)
  cat >"$D/start-server" <<'SCRIPT'
#!/bin/sh
echo $$ >>"$CORVANTA_SANDBOX/server.pids"
exec pipewire-pulse >>"$CORVANTA_SANDBOX/pulse.log" 2>&1
SCRIPT
else
  # Without shared memory the server copies every client's samples into blocks of its own.
  # With it, PulseAudio 16 crashed under the audio tests about one run in seven (a segfault or a
  # failed mutex assertion in the null sink's thread): while one stream plays alone the sink's
  # monitor hands the recorder the client's own shared blocks, and the server's main thread had
  # already dropped them from the client's import table when the sink's thread released them.
  # Only the transport changes; the programs under test see the same stream. A benchmark, which
  # measures the transport a desktop uses, keeps shared memory with CORVANTA_PULSE_SHM=1.
  cat >"$D/start-server" <<'SCRIPT'
#!/bin/sh
echo $$ >>"$CORVANTA_SANDBOX/server.pids"
exec pulseaudio -n --daemonize=no --exit-idle-time=-1 \
  --disable-shm="$([ "${CORVANTA_PULSE_SHM:-}" = 1 ] && echo no || echo yes)" --log-target=stderr \
  -L "module-native-protocol-unix auth-anonymous=1 socket=$CORVANTA_SANDBOX/native" \
  -L "module-null-sink sink_name=t rate=44100 channels=1 sink_properties=device.description=Test-Sink" \
  2>>"$CORVANTA_SANDBOX/pulse.log"
SCRIPT
fi
chmod 700 "$D/start-server"
export CORVANTA_SANDBOX="$D"
"$D/start-server" &
PULSE_PID=$!

for _ in $(seq 1 200); do
  [ -S "$D/native" ] && pactl info >/dev/null 2>&1 && break
  kill -0 "$PULSE_PID" 2>/dev/null || break
  sleep 0.05
done
if ! pactl info >/dev/null 2>&1; then
  echo "null-sink.sh: the private sound server did not start:" >&2
  cat "$D/pulse.log" "$D"/pipewire.log "$D"/wireplumber.log 2>/dev/null >&2
  exit 1
fi
if [ "${CORVANTA_SOUND_SERVER:-pulseaudio}" = pipewire ]; then
  pactl load-module module-null-sink sink_name=t rate=44100 channels=1 \
    sink_properties=device.description=Test-Sink >/dev/null
  for _ in $(seq 1 100); do
    pactl list short sinks 2>/dev/null | grep -q '^[0-9]*[[:space:]]t[[:space:]]' && break
    sleep 0.05
  done
fi

# libpulse lets PULSE_LATENCY_MSEC (a path asked for the program under test) replace every
# stream's buffer sizes, the recorder's too: it keeps its own short blocks.
env -u PULSE_LATENCY_MSEC parec -d t.monitor --raw --format=s16le --rate=44100 --channels=1 \
  --latency-msec="${CORVANTA_RECORDER_MS:-2}" \
  >"$D/recording.raw" 2>"$D/parec.log" &
REC_PID=$!
# An idle null sink renders in blocks of about two seconds: wait for the first one.
for _ in $(seq 1 100); do
  [ -s "$D/recording.raw" ] && break
  sleep 0.05
done
if [ ! -s "$D/recording.raw" ]; then
  echo "null-sink.sh: the recorder wrote nothing" >&2
  cat "$D/parec.log" >&2
  exit 1
fi

if [ "${CORVANTA_SINK_CONTROL:-}" = 1 ]; then
  C="$D/sink-control"
  mkdir -p -m 700 "$C"
  (
    while sleep 0.05; do
      if [ -e "$C/unload" ]; then
        module=$(pactl list short modules | awk '/module-null-sink/ {print $1; exit}')
        [ -n "$module" ] && pactl unload-module "$module"
        rm -f "$C/unload" "$C/loaded"
        touch "$C/unloaded"
      fi
      if [ -e "$C/load" ]; then
        pactl load-module module-null-sink sink_name=t rate=44100 channels=1 \
          sink_properties=device.description=Test-Sink >/dev/null
        env -u PULSE_LATENCY_MSEC parec -d t.monitor --raw --format=s16le --rate=44100 \
          --channels=1 --latency-msec="${CORVANTA_RECORDER_MS:-2}" \
          >>"$D/recording.raw" 2>>"$D/parec.log" &
        echo $! >"$C/recorder.pid"
        # Its first block, as at the start: the recording goes on in real time from then.
        size=$(stat -c %s "$D/recording.raw")
        for _ in $(seq 1 100); do
          [ "$(stat -c %s "$D/recording.raw")" -gt "$size" ] && break
          sleep 0.05
        done
        rm -f "$C/load" "$C/unloaded"
        touch "$C/loaded"
      fi
    done
  ) &
  EXTRA_PIDS+=("$!")
  export CORVANTA_SINK_CONTROL="$C"
fi

export SDL_AUDIODRIVER=pulseaudio
export CORVANTA_RECORDING="$D/recording.raw"
export CORVANTA_SINK_DESCRIPTION="Test-Sink"
export CORVANTA_PULSE_PID="$PULSE_PID"
export CORVANTA_SERVER_START="$D/start-server"
export CORVANTA_RECORDER_PID="$REC_PID"
"$@"
status=$?
# A command that failed gets the sound server's last words: a server that aborted under it (as
# PulseAudio once did under the sanitized audio test) says why there.
if [ "$status" -ne 0 ] && [ -s "$D/pulse.log" ]; then
  echo "null-sink.sh: the command exited $status; the sound server's log ends:" >&2
  tail -n 40 "$D/pulse.log" >&2
fi
exit "$status"
