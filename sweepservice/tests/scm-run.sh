#!/usr/bin/env bash
# scm-run.sh BUILD_DIR PREFIX NAME GTEST_FILTER
# Runs the SCM tests in a Wine prefix of their own: the test program is the first program of a
# fresh Wine server, so the prefix's services (ours included) inherit its WINEDEBUG=+eventlog
# and write every ReportEventW text into the trace file that the tests read. A heap warning of
# any of them in that file fails the run. The program stays
# alive for the whole run, and with it the server and the service under test.
set -uo pipefail
build=$1 prefix=$2 name=$3 filter=$4
here=$(cd "$(dirname "$0")/../.." && pwd)
server=/usr/lib/wine/wineserver64
export WINEPREFIX="$prefix" WINEARCH=win64
unset WINEDLLOVERRIDES DISPLAY
"$here/tools/wine/prefix.sh" overrides "$prefix" "$build/wine-overrides.reg" || exit 1
"$server" -k 2>/dev/null; "$server" -w 2>/dev/null
mkdir -p "$build/sweep-traces"
trace="$build/sweep-traces/$name.log"
: > "$trace"
export SWEEP_EVENT_LOG="Z:${trace//\//\\}"
# The heap's warnings too: the program, the commands it runs and the service all write to the trace.
WINEDEBUG=-all,+eventlog,warn+heap /usr/lib/wine/wine64 "$build/bin/sweep_program_tests.exe" --gtest_filter="$filter" 2>>"$trace"
status=$?
"$server" -k 2>/dev/null; "$server" -w 2>/dev/null
"$here/tools/wine/heapverdict.sh" "$trace" "$status" "in $trace"
