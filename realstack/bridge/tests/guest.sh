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
export WINEDEBUG=-all WINEDLLPATH=$payload/bin/wine
unset WINEDLLOVERRIDES
wine=/usr/lib/wine/wine64
rc=0

# Only the test program takes our winusb.dll (and, for the library's load, the world's cfgmgr32
# face: Wine's own lacks CM_Register_Notification); Wine's services keep Wine's DLLs.
/usr/lib/wine/wineserver64 -p 300
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\bridge_test.exe\\DllOverrides]\n"winusb"="native"\n"cfgmgr32"="native"\n' > /tmp/bridge-overrides.reg
$wine regedit /S 'Z:\tmp\bridge-overrides.reg'

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
usbvm-publish 2>/dev/null

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

# LinkWinUsb.dll against our firmware, once per protocol version, when the payload carries both.
if [ -f bin/LinkWinUsb.dll ] && [ -x device/gadget.sh ]; then
  for protocol in 0 1 2; do
    out="$results/library-p$protocol.txt"
    path=$(./device/gadget.sh up --protocol $protocol 2>>"$out" | tail -n 1)
    case "$path" in
      /dev/bus/usb/*)
        node="Z:$(echo "$path" | tr / '\\')"
        $wine bin/bridge_test.exe library "$node" >> "$out" 2>&1 || rc=1 ;;
      *) echo "firmware device never enumerated: $path" >> "$out"; rc=1 ;;
    esac
    echo "library, protocol $protocol: $(tail -n 1 "$out")" >> "$results/summary.txt"
    cp /run/varko-gadget/fw.log "$results/library-p$protocol.fw.log" 2>/dev/null
    ./device/gadget.sh down >> "$out" 2>&1
    usbvm-publish 2>/dev/null
  done
fi
/usr/lib/wine/wineserver64 -k
cat "$results/summary.txt"
exit $rc
