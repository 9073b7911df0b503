# Sourced by the package checks: each check says ok or FAIL on a line of
# its own, and the checks that failed decide the exit status at the end,
# so that one run shows every failure.
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
pass() {
  echo "ok: $*"
}
# The end of a check script named $1: exit status 1 when a check failed,
# otherwise the line $2.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$1: $failures check(s) failed" >&2
    exit 1
  fi
  echo "$1: $2"
}
