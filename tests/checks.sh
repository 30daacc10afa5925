# What the shell tests share, sourced by them: checks that count failures, and waits for what a
# program writes to a file, each with a deadline.

failures=0
# check WHAT COMMAND [ARGS...]: says "ok: WHAT" or "FAILED: WHAT" and counts the failure.
check() {
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
# wait_for PATTERN FILE [TENTHS]: until FILE has a line matching PATTERN; 20 s unless told.
wait_for() {
  local i
  for i in $(seq 1 "${3:-200}"); do grep -q -- "$1" "$2" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}
# count PATTERN FILE: the lines of FILE matching PATTERN (0 for a missing file).
count() { grep -c -- "$1" "$2" 2>/dev/null || true; }
# grows PATTERN FILE COUNT: until FILE has more than COUNT lines matching PATTERN; up to 20 s.
grows() {
  local i
  for i in $(seq 1 200); do [ "$(count "$1" "$2")" -gt "$3" ] && return 0; sleep 0.1; done
  return 1
}
