# Helpers shared by the end-to-end tests (tests/e2e) and the wine tests (tests/wine).

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Outside CI a test that cannot run here says why and ends as skipped; in CI (CI set)
# that is a failure, so a test that did not run never passes as green.
skip() {
  if [ -n "${CI:-}" ] && [ "${CI:-}" != false ] && [ "${CI:-}" != 0 ]; then
    fail "skipped in CI: $(basename "$0"): $*"
  fi
  echo "SKIPPED: $*"
  exit 77
}

# wait_for_text FILE TEXT SECONDS: until FILE holds TEXT (fixed string).
wait_for_text() {
  local file=$1 text=$2 limit=$(( $3 * 10 )) i
  for (( i = 0; i < limit; i++ )); do
    grep -qF -- "$text" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# wait_for_count FILE TEXT N SECONDS: until FILE holds N lines with TEXT.
wait_for_count() {
  local file=$1 text=$2 want=$3 limit=$(( $4 * 10 )) i
  for (( i = 0; i < limit; i++ )); do
    [ "$(grep -cF -- "$text" "$file" 2>/dev/null)" -ge "$want" ] && return 0
    sleep 0.1
  done
  return 1
}

# expect_lines_in_order WHAT EXPECTED: the lines of standard input that are among the
# EXPECTED lines must be exactly those, in that order (other lines may fall between).
expect_lines_in_order() {
  local what=$1 expected=$2 input found
  input=$(cat)
  found=$(printf '%s\n' "$input" | grep -xF -f <(printf '%s\n' "$expected"))
  [ "$found" = "$expected" ] || fail "$what were:
$found
expected:
$expected
all:
$input"
}

# The run sequence's own lines of a normal run, in order; $1 is the line that starts the
# capture and $2 the executable's folder.
run_sequence_lines() {
  printf '%s\n' "agent version 3.7.3" "Changing directory to: $2" "Starting..." \
    "Starting sensor queue processor" "$1" "Started!" "Stopping..." "Stopping all sessions" \
    "Stopping sensor queue processor" "Stopped!"
}
