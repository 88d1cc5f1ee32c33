#!/bin/bash
# Runs in the USB guest (tools/usbvm/run.sh): the bridge's test program against the kernel's
# loopback gadget function on dummy_hcd, then the removal checks, then (when the payload has
# LinkWinUsb.dll and the firmware's gadget.sh) the library's session through the bridge.
# Results: $USBVM_RESULTS/*.txt.
set -u
cd "$(dirname "$0")"
payload=$(pwd)
results=${USBVM_RESULTS:-/tmp/results}
mkdir -p "$results"
export WINEDEBUG=-all WINEDLLPATH=$payload/bin/wine WINEDLLOVERRIDES=winusb=n
wine=/usr/lib/wine/wine64
rc=0

# The usbfs node of the device with these IDs, as Wine's Z: drive shows it; empty until enumerated.
node_of() {
  for d in /sys/bus/usb/devices/*; do
    [ -f "$d/idVendor" ] || continue
    if [ "$(cat "$d/idVendor")" = "$1" ] && [ "$(cat "$d/idProduct")" = "$2" ]; then
      printf 'Z:\\dev\\bus\\usb\\%03d\\%03d\n' "$(cat "$d/busnum")" "$(cat "$d/devnum")"
      return
    fi
  done
}

wait_node() {
  for _ in $(seq 1 100); do
    n=$(node_of "$1" "$2"); [ -n "$n" ] && { echo "$n"; return 0; }
    sleep 0.1
  done
  return 1
}

modprobe usb_f_ss_lb 2>/dev/null
g=/sys/kernel/config/usb_gadget/bridge_lb
mkdir -p $g && cd $g
echo 0x1d6b > idVendor; echo 0x0104 > idProduct; echo 0x0200 > bcdUSB
mkdir -p strings/0x409 configs/c.1/strings/0x409 functions/Loopback.0
echo bridge-loopback > strings/0x409/serialnumber; echo Loopback > strings/0x409/product
echo loopback > configs/c.1/strings/0x409/configuration
ln -sf $g/functions/Loopback.0 configs/c.1/
cd "$payload"
t0=$(date +%s.%N)
echo dummy_udc.0 > $g/UDC
node=$(wait_node 1d6b 0104) || { echo "loopback gadget never enumerated" | tee "$results/loopback.txt"; exit 1; }
echo "loopback at $node, enumerated after $(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN{printf "%.2f", b-a}') s" | tee "$results/summary.txt"
lsusb -v -d 1d6b:0104 > "$results/lsusb.txt" 2>&1

start=$(date +%s.%N)
lrc=0
$wine bin/bridge_test.exe loopback "$node" > "$results/loopback.txt" 2>&1 || lrc=$?
[ $lrc = 0 ] || rc=1
echo "loopback checks: exit $lrc in $(( $(date +%s) - ${start%.*} )) s" >> "$results/summary.txt"
tail -n 1 "$results/loopback.txt" >> "$results/summary.txt"

# Removal: the test asks for the unplug through a marker file once its reads wait.
rm -f /tmp/bridge-unplug
$wine bin/bridge_test.exe removal "$node" 'Z:\tmp\bridge-unplug' > "$results/removal.txt" 2>&1 &
test_pid=$!
for _ in $(seq 1 300); do [ -e /tmp/bridge-unplug ] && break; sleep 0.1; done
[ -e /tmp/bridge-unplug ] && echo "" > $g/UDC
wait $test_pid || rc=1
tail -n 1 "$results/removal.txt" >> "$results/summary.txt"
echo "" > $g/UDC 2>/dev/null
rm -f $g/configs/c.1/Loopback.0
rmdir $g/configs/c.1/strings/0x409 $g/configs/c.1 $g/functions/Loopback.0 $g/strings/0x409 $g 2>/dev/null

# LinkWinUsb.dll against our firmware, when the payload carries both.
if [ -f bin/LinkWinUsb.dll ] && [ -x device/gadget.sh ]; then
  ./device/gadget.sh up >> "$results/library.txt" 2>&1 && ./device/gadget.sh plug >> "$results/library.txt" 2>&1
  node=$(wait_node "${BRIDGE_VID:-0000}" "${BRIDGE_PID:-0000}") || true
  if [ -n "$node" ]; then
    $wine bin/bridge_test.exe library "$node" >> "$results/library.txt" 2>&1 || rc=1
  else
    echo "firmware device never enumerated" >> "$results/library.txt"; rc=1
  fi
  tail -n 1 "$results/library.txt" >> "$results/summary.txt"
  ./device/gadget.sh down >> "$results/library.txt" 2>&1
fi
cat "$results/summary.txt"
exit $rc
