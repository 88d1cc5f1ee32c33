#!/usr/bin/env bash
# The real USB stack's tests (label realstack): LinkWinUsb.dll (x64) under wine64 in the USB guest,
# through the WinUSB bridge and the discovery faces, against the maker's firmware on the kernel's
# USB core; and the same fault scripts against the simulated world here.
#   ./scripts/test-realstack.sh            results in build/realstack/results
# Installs what is missing (scripts/bootstrap.sh), builds the x64 library and the world's DLLs,
# builds the USB guest image once per machine (tools/usbvm/image.sh, cached), runs one boot
# (realstack/tests/guest.sh), the world's rows, and checks every row. Prints one line per check,
# then "N passed, M failed"; exit code 0 only when all passed.
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
out="$repo/build/realstack/results"
rm -rf "$out" && mkdir -p "$out"
started=$(date +%s)
passed=0 failed=0
row() {   # row NAME OK DETAIL
  if [ "$2" = 0 ]; then passed=$((passed + 1)); echo "realstack: PASS $1 ${3:-}"; else failed=$((failed + 1)); echo "realstack: FAIL $1 ${3:-}"; fi
}
since() { echo $(( $(date +%s) - $1 )); }

./scripts/bootstrap.sh || { echo "realstack: bootstrap failed"; echo "0 passed, 1 failed"; exit 1; }
t=$(date +%s)
{ cmake --preset x64 >/dev/null &&
  nice -n 10 cmake --build --preset x64 --target LinkWinUsb simworld winusb_face setupapi_face cfgmgr32_face; } \
  >"$out/build.log" 2>&1
row build $? "x64 LinkWinUsb.dll and the world's DLLs ($(since "$t") s; build.log)"
echo "build $(since "$t")" >"$out/times.txt"

t=$(date +%s)
image=$(nice -n 10 tools/usbvm/image.sh 2>"$out/image.log" | tail -n 1)
row image $? "$image ($(since "$t") s)"
echo "image $(since "$t")" >>"$out/times.txt"

t=$(date +%s)
realstack/tests/run_guest.sh "$out/guest" >"$out/guest.log" 2>&1
guest_rc=$?
echo "guest $(since "$t")" >>"$out/times.txt"
g="$out/guest"
row guest-boot "$([ -f "$g/guest.done" ]; echo $?)" "($(since "$t") s, exit $guest_rc; $(tail -n 1 "$g/runner.status" 2>/dev/null))"

# The device's own self-test through libusb: every row.
count() { local n; n=$(grep -c "$1" "$2" 2>/dev/null); echo "${n:-0}"; }
selftest_failed=$(count 'FAIL' "$g/device/summary.txt")
selftest_rows=$(count '^RESULT' "$g/device/summary.txt")
row device-selftest "$([ "$selftest_failed" = 0 ] && [ "$selftest_rows" -gt 0 ]; echo $?)" \
  "($selftest_rows rows; guest/device/summary.txt)"

# The host story's transcript.
story_fail=$(count '\[FAIL\]' "$g/story.txt")
story_ok=$(count '\[ok\]' "$g/story.txt")
grep -q '^== story ended' "$g/story.txt" 2>/dev/null
ended=$?
row host-story "$([ "$ended" = 0 ] && [ "$story_fail" = 0 ] && [ "$story_ok" -gt 0 ]; echo $?)" \
  "($story_ok checks ok, $story_fail failed; guest/story.txt)"

# The pieces' own checks: the bridge on the kernel's loopback function and its removal, the
# discovery faces' contracts and notifications against the firmware.
for f in bridge-loopback bridge-removal; do
  line=$(tail -n 1 "$g/$f.txt" 2>/dev/null)
  row "$f" "$(echo "$line" | grep -q ' checks, 0 failed$'; echo $?)" "($line; guest/$f.txt)"
done
grep -q '^== unregistered; 0 failed' "$g/discovery_check.txt" 2>/dev/null
row discovery "$?" "($(count '\[ok\]' "$g/discovery_check.txt") checks ok, $(count '\[FAIL\]' "$g/discovery_check.txt") failed; guest/discovery_check.txt)"

# The setup packets LinkWinUsb sent during the story, against the protocol's table.
python3 realstack/tests/check_usbmon.py "$g/usbmon-story.txt" "$out/usbmon-p1-excerpt.txt" >"$out/usbmon-check.txt" 2>&1
row usbmon "$?" "($(tail -n 1 "$out/usbmon-check.txt"); usbmon-check.txt, usbmon-p1-excerpt.txt)"

# The fault rows: each against the contract on the real stack and in the world, and side by side.
t=$(date +%s)
realstack/tests/run_world.sh "$out/world" >"$out/world.log" 2>&1
echo "world $(since "$t")" >>"$out/times.txt"
while IFS= read -r line; do
  set -- $line
  row "fault-$2-real" "$([ "$3" = PASS ]; echo $?)" "${*:4}"
done < <(grep '^RESULT' "$g/faults-real.txt" 2>/dev/null)
while IFS= read -r line; do
  set -- $line
  row "fault-$2-world" "$([ "$3" = PASS ]; echo $?)" "${*:4}"
done < <(grep '^RESULT' "$out/world/world-faults.txt" 2>/dev/null)
python3 realstack/tests/fault_table.py "$g/faults-real.txt" "$out/world/world-faults.txt" "$out/fault-table.md" \
  >"$out/fault-table.txt" 2>&1
row fault-table "$?" "($(tail -n 1 "$out/fault-table.txt"); fault-table.md)"

echo "total $(since "$started")" >>"$out/times.txt"
echo "realstack: results in $out; times (s): $(tr '\n' ' ' <"$out/times.txt")"
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
