# Checks for the test scripts: each prints a PASS or FAIL line and is counted in $passed or
# $failed. Source it.
passed=0 failed=0
pass() { passed=$((passed + 1)); echo "PASS: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
# check WHAT COMMAND...: passes when COMMAND succeeds.
check() { local what="$1"; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }
# waitFor SECONDS COMMAND...: waits at most SECONDS for COMMAND to succeed.
waitFor() {
  local limit=$1
  shift
  for _ in $(seq $((limit * 10))); do "$@" && return 0; sleep 0.1; done
  echo "  timed out: $*" >&2
  return 1
}
