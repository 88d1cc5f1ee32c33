#!/usr/bin/env bash
# The fuzzer's long run, x86 build, in one boot of the x86 guest: usb_fuzz.exe with the given
# arguments (a count of calls or a time, a seed), under Wine's heap checks. Prints what the
# fuzzer printed and fails when it broke an invariant or the heap warned.
#   tools/x86vm/fuzz.sh [--build DIR] [--timeout SECONDS] -- [usb_fuzz arguments]
#   tools/x86vm/fuzz.sh -- --seed 7 --calls 1000000
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build="$here/../../build/x86"
timeout=7200
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --) shift; break ;;
    *) break ;;
  esac
done
build=$(cd "$build" && pwd)
jobs=$(mktemp)
out="$build/x86vm-fuzz"
trap 'rm -f "$jobs"' EXIT
# The job's own limit leaves the guest time to boot and to bring the results back. Each argument
# goes in a field of its own, as given.
tab=$(printf '\t')
{
  printf 'usb_fuzz\t%s\t1\tusb_fuzz.exe' "$((timeout - 120))"
  for argument in "$@"; do
    case "$argument" in
      "" | *"$tab"* | *"
"*) echo "fuzz.sh: an argument may not be empty or hold a tab or a line end: '$argument'" >&2; exit 2 ;;
    esac
    printf '\t%s' "$argument"
  done
  printf '\n'
} >"$jobs"
"$here/run.sh" --bin "$build/bin" --jobs "$jobs" --overrides "$build/wine-overrides.reg" --out "$out" \
  --timeout "$timeout" --winedebug -all,warn+heap
"$here/report.sh" "$out" usb_fuzz
