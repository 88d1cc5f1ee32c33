#!/usr/bin/env bash
# heapcheck.sh RUNNER PROGRAM [ARGS...]: runs a test program under Wine with the heap's warnings
# on (a free of a pointer the heap never handed out, a bad block...). Windows may crash where Wine
# only warns, so a warning fails the test that caused it, whatever the program's own verdict.
runner=$1
shift
log=$(mktemp)
trap 'rm -f "$log"' EXIT
export WINEDEBUG="${WINEDEBUG:--all},warn+heap"
"$runner" "$@" 2>"$log"
rc=$?
cat "$log" >&2
if grep -q 'warn:heap' "$log"; then
  echo "heap warnings under Wine (see standard error above): the test fails"
  [ "$rc" = 0 ] && rc=1
fi
exit "$rc"
