#!/usr/bin/env bash
# Runs the benchmarks of the two libraries, x86 build, in one boot of the x86 guest, and prints
# what each printed. Emulation slows both sides of each ratio
# alike; the absolute times are the emulator's, not a machine's. One lane: a benchmark beside
# another would measure their contention.
#   tools/x86vm/bench.sh [BUILD_DIR]     (default build/x86)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../../build/x86}" && pwd)
jobs=$(mktemp)
out="$build/x86vm-bench"
trap 'rm -f "$jobs"' EXIT
{
  printf 'bench_transfer\t1200\t1\tbench_transfer.exe\ttransfer-lines.txt\n'
  printf 'bench_identity\t1200\t1\tbench_identity.exe\t\n'
  printf 'notifications_bench\t1200\t1\tnotifications_bench.exe\t\n'
  printf 'inputlock_bench\t1200\t1\tinputlock_bench.exe\t\n'
} >"$jobs"
"$here/run.sh" --bin "$build/bin" --jobs "$jobs" --overrides "$build/wine-overrides.reg" --out "$out" --timeout 3600
for name in bench_transfer bench_identity notifications_bench inputlock_bench; do
  echo "=== $name (x86, in the guest)"
  cat "$out/$name.out" "$out/$name.err"
  rc=$(cat "$out/$name.rc")
  [ "$rc" = 0 ] || echo "$name exited with $rc"
done
