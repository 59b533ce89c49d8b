# Sourced by the package tests: each check says ok or FAILED, and the failures are counted.
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
check() { # description, command...
  local description=$1
  shift
  if "$@"; then pass "$description"; else fail "$description"; fi
}
