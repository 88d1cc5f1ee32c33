#!/usr/bin/env bash
# The field tool's echo against the transfer benchmark, x64 under Wine, the same message size
# (65,536 bytes) and protocol version (0) against the simulated echo device: three rounds of the
# benchmark and one `echo --count COUNT` (default 3000), taken in turns so that the machine's
# drift falls on both; prints the best figure of each and their ratio (time per message of the
# tool over the benchmark's; the tool should add nothing measurable).
#   bench/fieldtool/echo_bench.sh [BUILD_DIR] [COUNT]      (default build/x64, 3000)
# The benchmark's passes run in a process that has already moved some 18,000 messages; a short
# echo run of a fresh process is still faulting its heap in (500 messages: about a third slower a
# message here), so the count is long enough for the start to weigh little.
set -euo pipefail
build=$(cd "${1:-$(dirname "$0")/../../build/x64}" && pwd)
count=${2:-3000}
cd "$build/bin"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
best() { /usr/bin/python3 -c 'import sys; print(max(float(a) for a in sys.argv[1:]))' "$@"; }
bench=0
tool=0
for round in 1 2 3; do
  ../winerun bench_transfer.exe 'Z:'"$work"'/transfer-lines.txt' 2>"$work/bench.txt"   # its figures go to standard error
  rate=$(awk '$1 == 65536 {print $2}' "$work/bench.txt")
  [ -n "$rate" ] || { cat "$work/bench.txt"; echo "echo_bench: no 65536-byte row in the benchmark's output" >&2; exit 1; }
  echo "round $round: transfer benchmark $rate messages/s"
  bench=$(best "$bench" "$rate")
  VARKO_SIM_SCENARIO='scenarios\default.scn' ../winerun VarkoFieldTool.exe echo SIM0001 --size 65536 --count "$count" \
    --json --quiet >"$work/echo$round.json"
  rate=$(/usr/bin/python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["ok"], d; print(d["throughput"]["messages_per_s"])' "$work/echo$round.json")
  echo "round $round: VarkoFieldTool echo $rate messages/s"
  tool=$(best "$tool" "$rate")
done
echo "transfer benchmark, library, 65536 bytes: $bench messages/s (best of 3 runs, each the best of 3 passes of 400)"
echo "VarkoFieldTool echo, 65536 bytes:         $tool messages/s (best of 3 runs of $count)"
/usr/bin/python3 -c 'import sys; b, e = float(sys.argv[1]), float(sys.argv[2]); print("ratio (time per message, tool over benchmark): %.3f (target <= 1.05)" % (b / e))' "$bench" "$tool"
