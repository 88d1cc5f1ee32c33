#!/bin/bash
# The real stack's run in one boot of the USB guest (tools/usbvm/run.sh's payload, as root in
# /payload): the device's self-test through libusb, then LinkWinUsb.dll under wine64 through the
# bridge and the discovery faces against the firmware: the host story (host_story.exe, whose
# requests this script answers by re-plugging the firmware or unbinding and binding the UDC)
# with a usbmon trace, then each fault row of host_faults.exe with the firmware started with the
# row's fault. Everything lands in $USBVM_RESULTS:
#   device/               the self-test's files (summary.txt, one RESULT line per row)
#   story.txt             the host story's transcript;  story-fw.log  the firmware's lines
#   usbmon-story.txt      the packet trace of the bus during the story
#   faults-real.txt       each row's SAW and RESULT lines;  faults/ROW.fw.log  the firmware's lines
#   bridge-loopback.txt, bridge-removal.txt, discovery_check.txt   the pieces' own checks
#   summary.txt, times.txt
set -u
cd "$(dirname "$0")"
payload=$(pwd)
results=${USBVM_RESULTS:-/tmp/results}
mkdir -p "$results/device" "$results/faults"
export WINEDEBUG=-all WINEDLLPATH=$payload/win/wine
unset WINEDLLOVERRIDES
wine=/usr/lib/wine/wine64
gadget=$payload/device/gadget.sh
rc=0
uptime_s() { cut -d' ' -f1 /proc/uptime; }
log() { echo "usbvm: realstack [$(uptime_s) s] $*"; }
stamp() { echo "$1 $(uptime_s)" >>"$results/times.txt"; }
: >"$results/summary.txt"
: >"$results/times.txt"
stamp start
# A task stuck in the kernel shows on the console with its stack, within half a minute.
dmesg -n 7 2>/dev/null
echo 30 >/proc/sys/kernel/hung_task_timeout_secs 2>/dev/null

# The first Wine command of a boot starts the server and its services (about a minute here):
# start it now, beside the device's self-test, and keep it.
(
  /usr/lib/wine/wineserver64 -p 600
  # Only our programs take the faces; Wine's services keep Wine's DLLs.
  {
    printf 'REGEDIT4\n'
    for exe in host_story.exe host_faults.exe discovery_check.exe bridge_test.exe; do
      printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\%s\\DllOverrides]\n' "$exe"
      printf '"winusb"="native"\n"setupapi"="native"\n"cfgmgr32"="native"\n'
    done
  } >/tmp/realstack-overrides.reg
  "$wine" regedit /S 'Z:\tmp\realstack-overrides.reg' >/dev/null 2>&1
  echo done >/tmp/realstack-wine-ready
) &

for _ in $(seq 1 1200); do [ -f /tmp/realstack-wine-ready ] && break; sleep 0.1; done
log "wine ready"
stamp wine-ready

bus=""
for d in /sys/bus/usb/devices/usb*; do
  case "$(readlink -f "$d")" in *dummy_hcd*) bus=$(cat "$d/busnum") ;; esac
done

win_path() { printf '\\\\?\\Z:%s\n' "$(echo "$1" | tr / '\\')"; }

# 1. The host story.
log "host story"
sync_dir=/tmp/story-sync
rm -rf "$sync_dir" && mkdir -p "$sync_dir"
cat "/sys/kernel/debug/usb/usbmon/${bus}u" >"$results/usbmon-story.txt" &
monitor=$!
"$gadget" up --protocol 0 >"$results/story-gadget.log" 2>&1
(cd win && "$wine" ./host_story.exe --sync 'Z:\tmp\story-sync' --timeout-ms 30000) >"$results/story.txt" 2>"$results/story.err" &
story=$!
deadline=$(( $(cut -d. -f1 /proc/uptime) + 400 ))
while kill -0 $story 2>/dev/null && [ "$(cut -d. -f1 /proc/uptime)" -lt $deadline ]; do
  for request in "$sync_dir"/request-*; do
    [ -e "$request" ] || continue
    case "$request" in
      *.done) continue ;;
      *-protocol-*)
        n=${request##*-protocol-}
        cat /run/varko-gadget/fw.log >>"$results/story-fw.log" 2>/dev/null
        "$gadget" down >>"$results/story-gadget.log" 2>&1
        "$gadget" up --protocol "$n" >>"$results/story-gadget.log" 2>&1
        log "firmware re-plugged with protocol $n" ;;
      *-unplug) "$gadget" unplug >>"$results/story-gadget.log" 2>&1; log "UDC unbound" ;;
      *-plug) "$gadget" plug >>"$results/story-gadget.log" 2>&1; log "UDC bound" ;;
    esac
    mv "$request" "$request.done"
  done
  sleep 0.05
done
if kill -0 $story 2>/dev/null; then log "host_story did not finish: killing it"; kill $story; fi
wait $story
story_rc=$?
[ $story_rc = 0 ] || rc=1
sleep 0.3
kill $monitor 2>/dev/null
cat /run/varko-gadget/fw.log >>"$results/story-fw.log" 2>/dev/null
"$gadget" down >>"$results/story-gadget.log" 2>&1
tr -d '\r' <"$results/story.txt" >"$results/story.tmp" && mv "$results/story.tmp" "$results/story.txt"
echo "story: exit $story_rc, $(grep -c '\[FAIL\]' "$results/story.txt") failed check(s)" >>"$results/summary.txt"
stamp story-done
usbvm-publish 2>/dev/null

# 2. The fault rows, each with a firmware of its own.
: >"$results/faults-real.txt"
(cd win && "$wine" ./host_faults.exe list) | tr -d '\r' >"$results/fault-rows.txt"
while IFS='|' read -r row args; do
  [ -n "$row" ] || continue
  log "fault row $row ($args)"
  # shellcheck disable=SC2086
  path=$("$gadget" up $args 2>"$results/faults/$row.gadget" | tail -n 1)
  case "$path" in
    /dev/bus/usb/*)
      (cd win && timeout 120 "$wine" ./host_faults.exe real "$row" "$(win_path "$path")") 2>"$results/faults/$row.err" \
        | tr -d '\r' >"$results/faults/$row.txt"
      grep -E '^(SAW|RESULT) ' "$results/faults/$row.txt" >>"$results/faults-real.txt" ;;
    *) echo "RESULT $row FAIL the firmware's device did not enumerate" >>"$results/faults-real.txt" ;;
  esac
  grep -q "^RESULT $row PASS" "$results/faults-real.txt" || rc=1
  cp /run/varko-gadget/fw.log "$results/faults/$row.fw.log" 2>/dev/null
  "$gadget" down >>"$results/faults/$row.gadget" 2>&1
  log "$(grep "^RESULT $row " "$results/faults-real.txt" | tail -n 1)"
  usbvm-publish 2>/dev/null
done <"$results/fault-rows.txt"
grep '^RESULT' "$results/faults-real.txt" | sed 's/^/  /'
echo "faults: $(grep -c '^RESULT .* PASS' "$results/faults-real.txt") of $(grep -c '^RESULT' "$results/faults-real.txt") rows kept the contract" >>"$results/summary.txt"
stamp faults-done
# 3. The device on its own, through libusb (last: a row that hangs in the kernel takes only
#    itself down).
if [ "${REALSTACK_SELFTEST:-1}" = 1 ]; then
  log "device self-test"
  (cd device && USBVM_RESULTS=$results/device sh ./guest-check.sh) 2>&1 | tee "$results/device/guest-check.log" \
    | grep --line-buffered '^usbvm:'
  grep -q FAIL "$results/device/summary.txt" && rc=1
  stamp selftest-done
  usbvm-publish 2>/dev/null
fi

# 4. The pieces' own checks: the bridge against the kernel's loopback function (and its removal
#    while reads wait), the discovery faces' contracts and notifications against the firmware.
if [ "${REALSTACK_PIECES:-1}" = 1 ]; then
  log "the bridge's checks on the loopback function"
  modprobe usb_f_ss_lb 2>/dev/null
  lb=/sys/kernel/config/usb_gadget/bridge_lb
  mkdir -p $lb/strings/0x409 $lb/configs/c.1 $lb/functions/Loopback.0
  echo 0x1d6b >$lb/idVendor; echo 0x0104 >$lb/idProduct; echo 0x0200 >$lb/bcdUSB
  echo bridge-loopback >$lb/strings/0x409/serialnumber
  ln -sf $lb/functions/Loopback.0 $lb/configs/c.1/
  echo dummy_udc.0 >$lb/UDC
  node=""
  for _ in $(seq 1 100); do
    for d in /sys/bus/usb/devices/*; do
      [ "$(cat "$d/idVendor" 2>/dev/null):$(cat "$d/idProduct" 2>/dev/null)" = 1d6b:0104 ] || continue
      node=$(printf 'Z:\\dev\\bus\\usb\\%03d\\%03d' "$(cat "$d/busnum")" "$(cat "$d/devnum")")
    done
    [ -n "$node" ] && break
    sleep 0.1
  done
  (cd win && "$wine" ./bridge_test.exe loopback "$node") 2>&1 | tr -d '\r' >"$results/bridge-loopback.txt"
  rm -f /tmp/bridge-unplug
  (cd win && "$wine" ./bridge_test.exe removal "$node" 'Z:\tmp\bridge-unplug') 2>&1 | tr -d '\r' \
    >"$results/bridge-removal.txt" &
  removal=$!
  for _ in $(seq 1 300); do [ -e /tmp/bridge-unplug ] && break; sleep 0.1; done
  [ -e /tmp/bridge-unplug ] && echo "" >$lb/UDC
  wait $removal
  echo "" >$lb/UDC 2>/dev/null
  rm -f $lb/configs/c.1/Loopback.0
  rmdir $lb/configs/c.1 $lb/functions/Loopback.0 $lb/strings/0x409 $lb 2>/dev/null
  for f in bridge-loopback bridge-removal; do
    echo "$f: $(tail -n 1 "$results/$f.txt")" >>"$results/summary.txt"
    grep -q ' 0 failed$' "$results/$f.txt" || rc=1
  done

  log "the discovery faces' checks against the firmware"
  sync_dir=/tmp/discovery-sync
  rm -rf "$sync_dir" && mkdir -p "$sync_dir"
  "$gadget" up --protocol 2 >"$results/discovery-gadget.log" 2>&1
  (cd win && "$wine" ./discovery_check.exe --sync 'Z:\tmp\discovery-sync' --present 1 --cycles 2 --contracts \
    --timeout-ms 15000) 2>&1 | tr -d '\r' >"$results/discovery_check.txt" &
  check=$!
  deadline=$(( $(cut -d. -f1 /proc/uptime) + 240 ))
  while kill -0 $check 2>/dev/null && [ "$(cut -d. -f1 /proc/uptime)" -lt $deadline ]; do
    for request in "$sync_dir"/request-*; do
      [ -e "$request" ] || continue
      case "$request" in
        *.done) continue ;;
        *-unplug) "$gadget" unplug >>"$results/discovery-gadget.log" 2>&1 ;;
        *-plug) "$gadget" plug >>"$results/discovery-gadget.log" 2>&1 ;;
      esac
      mv "$request" "$request.done"
    done
    sleep 0.02
  done
  kill -0 $check 2>/dev/null && { log "discovery_check did not finish: killing it"; kill $check; }
  wait $check
  "$gadget" down >>"$results/discovery-gadget.log" 2>&1
  echo "discovery: $(grep -c '\[ok\]' "$results/discovery_check.txt") ok, $(grep -c '\[FAIL\]' "$results/discovery_check.txt") failed" \
    >>"$results/summary.txt"
  grep -q '\[FAIL\]' "$results/discovery_check.txt" && rc=1
  grep -q '^== unregistered; 0 failed' "$results/discovery_check.txt" || rc=1
  stamp pieces-done
  usbvm-publish 2>/dev/null
fi

/usr/lib/wine/wineserver64 -k 2>/dev/null
dmesg >"$results/dmesg.txt" 2>/dev/null
cat "$results/summary.txt"
exit $rc
