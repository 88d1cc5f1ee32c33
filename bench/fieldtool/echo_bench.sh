#!/usr/bin/env bash
# The field tool's echo against the transfer benchmark, x64 under Wine, the same message size
# (65,536 bytes) and protocol version (0) against the simulated echo device: prints the
# benchmark's library figure, the best of three `echo --count 1000` runs, and their ratio
# (time per message of the tool over the benchmark's; the tool should add nothing measurable).
#   bench/fieldtool/echo_bench.sh [BUILD_DIR]      (default build/x64)
set -euo pipefail
build=$(cd "${1:-$(dirname "$0")/../../build/x64}" && pwd)
cd "$build/bin"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
../winerun bench_transfer.exe 'Z:'"$work"'/transfer-lines.txt' 2>"$work/bench.txt"   # its figures go to standard error
bench=$(awk '$1 == 65536 {print $2}' "$work/bench.txt")
[ -n "$bench" ] || { cat "$work/bench.txt"; echo "echo_bench: no 65536-byte row in the benchmark's output" >&2; exit 1; }
best=0
for run in 1 2 3; do
  VARKO_SIM_SCENARIO='scenarios\default.scn' ../winerun VarkoFieldTool.exe echo SIM0001 --size 65536 --count 1000 \
    --json --quiet >"$work/echo$run.json"
  rate=$(/usr/bin/python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["ok"], d; print(d["throughput"]["messages_per_s"])' "$work/echo$run.json")
  echo "echo run $run: $rate messages/s"
  best=$(/usr/bin/python3 -c 'import sys; print(max(float(sys.argv[1]), float(sys.argv[2])))' "$best" "$rate")
done
echo "transfer benchmark, library, 65536 bytes: $bench messages/s (best of 3 passes of 400)"
echo "VarkoFieldTool echo, 65536 bytes:         $best messages/s (best of 3 runs of 1000)"
/usr/bin/python3 -c 'import sys; b, e = float(sys.argv[1]), float(sys.argv[2]); print("ratio (time per message, tool over benchmark): %.3f (target <= 1.05)" % (b / e))' "$bench" "$best"
