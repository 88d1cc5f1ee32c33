#!/usr/bin/env bash
# heapverdict.sh LOG RC [SHOWN]: the verdict on a run under Wine with the heap's warnings on, LOG
# holding what the run wrote to standard error and RC being its exit code. Windows may crash where
# Wine's heap only warns (a free of a pointer the heap never handed out, a bad block...), so a
# warning fails the test that caused it, whatever the program's own verdict. Prints the first
# warnings and why, and exits with the verdict; SHOWN names where the whole log can be read.
# The one verdict of heapcheck.sh (x64), tools/x86vm/report.sh (x86) and the SCM tests' runs.
log=$1 rc=$2 shown=${3:-}
if grep -q 'warn:heap' "$log" 2>/dev/null; then
  grep 'warn:heap' "$log" | head -n 20
  echo "heap warnings under Wine (${shown:-see standard error above}): the test fails"
  [ "$rc" = 0 ] && rc=1
fi
exit "$rc"
