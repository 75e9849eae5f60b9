#!/bin/sh
# The program passes its command's status through: each row runs the real binary on a
# private port directory and checks the exit status, and that a refusal says something.
#   exit_status_test.sh BINARY
binary=$1
ports=$(mktemp -d)
trap 'rm -rf "$ports"' EXIT
export SERIALPADS_PORTS="$ports" DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent
failed=0
check() {
  expected=$1
  shift
  "$binary" "$@" > "$ports/.out" 2> "$ports/.err"
  status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "FAIL: serialpads-ports $* exited $status, not $expected" >&2
    failed=1
  elif [ "$expected" -ne 0 ] && [ ! -s "$ports/.err" ]; then
    echo "FAIL: serialpads-ports $* failed without a word" >&2
    failed=1
  fi
}
check 0 --version
check 0 list
check 2 set 0 /dev/null
check 2 frobnicate
check 1 set 1 /dev/null
check 1 remove 4
exit $failed
