#!/usr/bin/env bash
# Set-up and main job: installs what is missing, builds, and starts Corvanta's window connected to
# the link program. When nothing listens on the link endpoint yet, the link-program simulator is
# started there, so Corvanta can be seen working at once: its keys raise the link's events.
# Arguments are passed to corvanta (for example --link ENDPOINT).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$ROOT/scripts/common.sh"

ensure_packages "${CORVANTA_PACKAGES[@]}"
build_tree "$ROOT/build-release" Release -DBUILD_TESTING=OFF
BIN="$ROOT/build-release"
CORVANTA="$BIN/app/corvanta"
SIM="$BIN/tools/linksim/corvanta-linksim"

for arg in "$@"; do
  case "$arg" in
    --help | -h | --version | -v | --print-endpoint) exec "$CORVANTA" "$@" ;;
  esac
done

# The endpoint Corvanta will use, as the program itself works it out from the arguments.
ENDPOINT=$("$CORVANTA" --print-endpoint "$@")

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found (DISPLAY and WAYLAND_DISPLAY are empty): Corvanta runs without a visible"
  echo "window. Run this from a desktop session to see it. Stop it with Ctrl+C."
  export QT_QPA_PLATFORM=offscreen
fi
echo "Starting Corvanta on the link endpoint $ENDPOINT"
echo "(settings: corvanta.cfg beside the program, else ~/.config/corvanta/)."

WORK=$(mktemp -d "${TMPDIR:-/tmp}/corvanta-run.XXXXXX")
CPID=""
cleanup() {
  if [ -f "$WORK/sim.pid" ]; then kill -TERM "$(cat "$WORK/sim.pid")" 2>/dev/null || true; fi
  if [ -n "$CPID" ]; then kill -TERM "$CPID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -t 0 ]; then
  # The simulator takes the terminal for its keys; Corvanta starts a moment later so that it
  # finds the simulator listening. When Corvanta's window closes, the simulator is stopped.
  (sleep 0.5; exec "$CORVANTA" "$@") &
  CPID=$!
  (while kill -0 "$CPID" 2>/dev/null; do sleep 0.5; done
   if [ -f "$WORK/sim.pid" ]; then kill -TERM "$(cat "$WORK/sim.pid")" 2>/dev/null || true; fi) &
  status=0
  (echo "$BASHPID" >"$WORK/sim.pid"; exec "$SIM" --listen "$ENDPOINT") || status=$?
  rm -f "$WORK/sim.pid"
  if [ "$status" -eq 1 ]; then
    echo "A link program already listens on $ENDPOINT; Corvanta works with it."
  elif kill -0 "$CPID" 2>/dev/null; then
    echo "The simulator has stopped; Corvanta runs until its window is closed."
  fi
  wait "$CPID" || true
  CPID=""
else
  # No terminal for keys: the simulator serves in the background (its events come from a link
  # program's script or not at all) while Corvanta runs in the foreground.
  "$SIM" --listen "$ENDPOINT" </dev/null >"$WORK/linksim.log" 2>&1 &
  echo $! >"$WORK/sim.pid"
  sleep 0.3
  if ! kill -0 "$(cat "$WORK/sim.pid")" 2>/dev/null; then
    rm -f "$WORK/sim.pid"
    echo "A link program already listens on $ENDPOINT; Corvanta works with it."
  fi
  # In the background with `wait`, so that a signal to this script reaches the cleanup at once.
  "$CORVANTA" "$@" &
  CPID=$!
  status=0
  wait "$CPID" || status=$?
  CPID=""
  exit "$status"
fi
