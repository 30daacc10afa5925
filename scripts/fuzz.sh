#!/usr/bin/env bash
# Runs each fuzz target for a bounded time on a copy of its seed corpus, in a temporary folder.
# A crash fails the run; its input is kept in tests/fuzz/crashes/ to become a regression test.
#
#   scripts/fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$1
SECONDS_EACH=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/corvanta-fuzz.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

status=0
for target in settings link; do
  case $target in
    settings) bin="$BUILD/tests/fuzz/corvanta_settings_fuzz"; opts=(-max_len=4096) ;;
    link) bin="$BUILD/tests/fuzz/corvanta_link_line_fuzz"; opts=(-max_len=2048) ;;
  esac
  mkdir -p "$WORK/$target/corpus" "$WORK/$target/artifacts"
  cp "$ROOT/tests/fuzz/corpus/$target/"* "$WORK/$target/corpus/"
  if ! (cd "$WORK/$target" && TMPDIR="$WORK/$target" "$bin" "${opts[@]}" \
      -max_total_time="$SECONDS_EACH" -artifact_prefix="$WORK/$target/artifacts/" \
      -print_final_stats=1 corpus >"$WORK/$target/log" 2>&1); then
    status=1
    mkdir -p "$ROOT/tests/fuzz/crashes"
    cp "$WORK/$target/artifacts/"* "$ROOT/tests/fuzz/crashes/" 2>/dev/null || true
    tail -40 "$WORK/$target/log"
    echo "fuzz $target: FAILED (inputs kept in tests/fuzz/crashes/)"
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$WORK/$target/log" | grep -o '[0-9]*$' || echo "?")
  echo "fuzz $target: $runs executions in $SECONDS_EACH s"
done
exit $status
