#!/usr/bin/env bash
# report.sh RESULTS NAME: the outcome of one job of the x86 guest's run, as a test.
# Prints what the program wrote and exits with its exit code; a job without a result fails.
results=$1 name=$2
if [ ! -f "$results/$name.rc" ]; then
  echo "x86: $name did not run in the guest, so it has not passed."
  [ -f "$results/runner.status" ] && echo "x86 runner: $(cat "$results/runner.status")"
  exit 1
fi
cat "$results/$name.out"
if [ -s "$results/$name.err" ]; then
  echo "--- standard error ---"
  cat "$results/$name.err"
fi
rc=$(cat "$results/$name.rc")
echo "--- x86 guest: exit code $rc after $(cat "$results/$name.seconds" 2>/dev/null || echo '?') s"
case "$rc" in
  124|137)
    echo "x86: $name timed out in the guest"
    if [ -s "$results/$name.hang" ]; then
      echo "--- the guest's processes 20 s before the time-out ---"
      cat "$results/$name.hang"
    fi
    exit 1 ;;
esac
# The guest ran it with the heap's warnings on: the same verdict as on x64.
"$(dirname "$0")/../wine/heapverdict.sh" "$results/$name.err" "$rc"
