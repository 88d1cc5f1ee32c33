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
  124|137) echo "x86: $name timed out in the guest"; exit 1 ;;
esac
# Windows may crash where Wine's heap only warns: a warning fails the test that caused it.
if grep -q 'warn:heap' "$results/$name.err" 2>/dev/null; then
  echo "heap warnings under Wine (see standard error above): the test fails"
  [ "$rc" = 0 ] && rc=1
fi
exit "$rc"
