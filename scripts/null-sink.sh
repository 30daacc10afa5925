#!/usr/bin/env bash
# Runs a command against a private PulseAudio server whose only output is a null sink
# ("Test-Sink"), with a recorder on the sink's monitor writing raw signed 16-bit mono at 44100/s.
# Nothing is written outside a temporary folder; every process is stopped by its PID when the
# command ends, fails or is interrupted.
#
#   scripts/null-sink.sh COMMAND [ARGS...]
#
# The command sees SDL_AUDIODRIVER=pulseaudio, PULSE_SERVER, CORVANTA_RECORDING (the raw file),
# CORVANTA_SINK_DESCRIPTION, CORVANTA_PULSE_PID and CORVANTA_RECORDER_PID. Set
# CORVANTA_KEEP_SANDBOX=1 to keep the folder.
set -uo pipefail

D=$(mktemp -d "${TMPDIR:-/tmp}/corvanta-pulse.XXXXXX")
chmod 700 "$D"
mkdir -p -m 700 "$D/home" "$D/run" "$D/run/pulse" "$D/state" "$D/config"
PULSE_PID=""
REC_PID=""

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
  stop_pid "$REC_PID" INT
  stop_pid "$PULSE_PID" TERM
  if [ -z "${CORVANTA_KEEP_SANDBOX:-}" ]; then rm -rf "$D"; else echo "sandbox kept in $D" >&2; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export HOME="$D/home" XDG_RUNTIME_DIR="$D/run" XDG_CONFIG_HOME="$D/config"
export PULSE_RUNTIME_PATH="$D/run/pulse" PULSE_STATE_PATH="$D/state"
export PULSE_SERVER="unix:$D/native"

pulseaudio -n --daemonize=no --exit-idle-time=-1 \
  --log-target=stderr \
  -L "module-native-protocol-unix auth-anonymous=1 socket=$D/native" \
  -L "module-null-sink sink_name=t rate=44100 channels=1 sink_properties=device.description=Test-Sink" \
  2>"$D/pulse.log" &
PULSE_PID=$!

for _ in $(seq 1 200); do
  [ -S "$D/native" ] && pactl info >/dev/null 2>&1 && break
  kill -0 "$PULSE_PID" 2>/dev/null || break
  sleep 0.05
done
if ! pactl info >/dev/null 2>&1; then
  echo "null-sink.sh: the private PulseAudio server did not start:" >&2
  cat "$D/pulse.log" >&2
  exit 1
fi

parec -d t.monitor --raw --format=s16le --rate=44100 --channels=1 --latency-msec="${CORVANTA_RECORDER_MS:-2}" \
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

export SDL_AUDIODRIVER=pulseaudio
export CORVANTA_RECORDING="$D/recording.raw"
export CORVANTA_SINK_DESCRIPTION="Test-Sink"
export CORVANTA_PULSE_PID="$PULSE_PID"
export CORVANTA_RECORDER_PID="$REC_PID"
"$@"
