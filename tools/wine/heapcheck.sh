#!/usr/bin/env bash
# heapcheck.sh RUNNER PROGRAM [ARGS...]: runs a test program under Wine with the heap's warnings
# on (a free of a pointer the heap never handed out, a bad block...); heapverdict.sh judges.
here=$(cd "$(dirname "$0")" && pwd)
runner=$1
shift
log=$(mktemp)
trap 'rm -f "$log"' EXIT
export WINEDEBUG="${WINEDEBUG:--all},warn+heap"
"$runner" "$@" 2>"$log"
rc=$?
cat "$log" >&2
"$here/heapverdict.sh" "$log" "$rc"
