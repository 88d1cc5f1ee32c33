#!/bin/sh
# Runs in the USB guest (tools/usbvm/run.sh's payload, as root in /payload): a gadget with the
# maker's IDs on dummy_udc.0 (the kernel's SourceSink function, until our firmware is there),
# then discovery_check.exe under wine64 against it, answering its unplug and plug requests by
# unbinding and binding the gadget's UDC. Everything lands in $USBVM_RESULTS.
# The payload: discovery_check.exe, setupapi.dll, cfgmgr32.dll, LinkWinUsb.dll and a WinUSB
# (winusb.dll, plus simworld.dll when it is the simulated world's face, or the bridge's files with
# its wine/ folder for WINEDLLPATH); with
# identity=1 in payload.conf the check reads each device's identity through that WinUSB.
set -u
payload=$(pwd)
results=${USBVM_RESULTS:-/results}
mkdir -p "$results"
identity=0 cycles=2 language0=0
[ -f "$payload/payload.conf" ] && . "$payload/payload.conf"
wine=/usr/lib/wine/wine64
# The bridge's WinUSB comes with its builtin half in wine/x86_64-{windows,unix}.
[ -d "$payload/wine" ] && export WINEDLLPATH="$payload/wine"
log() { echo "usbvm: discovery [$(cut -d' ' -f1 /proc/uptime) s] $*"; }
# The first Wine command of a boot starts the server and services (about a minute here): start
# it now, beside the gadget's set-up, and keep it.
/usr/lib/wine/wineserver64 -p 300 &

modprobe usb_f_ss_lb || log "modprobe usb_f_ss_lb FAILED"
g=/sys/kernel/config/usb_gadget/varko_discovery
mkdir -p "$g" "$g/strings/0x409" "$g/configs/c.1" "$g/functions/SourceSink.0"
echo 0x1209 >"$g/idVendor"
echo 0x0100 >"$g/idProduct"
echo 0x0200 >"$g/bcdUSB"
echo "Varko" >"$g/strings/0x409/manufacturer"
echo "Discovery gadget" >"$g/strings/0x409/product"
echo "DISC0001" >"$g/strings/0x409/serialnumber"
ln -s "$g/functions/SourceSink.0" "$g/configs/c.1/" 2>/dev/null
# LinkWinUsb asks for strings in language 0; the kernel's gadget answers only the languages it
# has tables for. language0=1 gives it a table for language 0 too.
if [ "$language0" = 1 ]; then
  if mkdir -p "$g/strings/0x0" 2>/dev/null; then
    echo "Varko" >"$g/strings/0x0/manufacturer"
    echo "Discovery gadget" >"$g/strings/0x0/product"
    echo "DISC0001" >"$g/strings/0x0/serialnumber"
    log "strings for language 0: $(ls "$g/strings" | tr '\n' ' ')"
  else
    log "configfs refuses strings for language 0"
  fi
fi

# The maker's device in sysfs: its folder name, or nothing.
maker_device() {
  for d in /sys/bus/usb/devices/*; do
    [ "$(cat "$d/idVendor" 2>/dev/null)" = 1209 ] && { basename "$d"; return 0; }
  done
  return 1
}
wait_device() {   # present|absent, within 10 s
  i=0
  while [ $i -lt 200 ]; do
    if maker_device >/dev/null; then [ "$1" = present ] && return 0; else [ "$1" = absent ] && return 0; fi
    sleep 0.05; i=$((i + 1))
  done
  return 1
}
bind() { echo dummy_udc.0 >"$g/UDC"; }
unbind() { echo "" >"$g/UDC"; }

bind
if wait_device present; then
  d=/sys/bus/usb/devices/$(maker_device)
  log "device $(basename "$d"): $(cat "$d/idVendor"):$(cat "$d/idProduct") bus $(cat "$d/busnum") dev $(cat "$d/devnum")," \
      "\"$(cat "$d/manufacturer" 2>/dev/null)\" / \"$(cat "$d/product" 2>/dev/null)\" / \"$(cat "$d/serial" 2>/dev/null)\""
  ls -l /dev/bus/usb/*/ | sed 's/^/  /'
else
  log "the gadget did not enumerate"
fi

# Only this program gets the faces (services.exe keeps Wine's setupapi).
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\discovery_check.exe\\DllOverrides]\n"setupapi"="native"\n"cfgmgr32"="native"\n"winusb"="native"\n' \
  >/tmp/discovery-overrides.reg
"$wine" regedit /S 'Z:\tmp\discovery-overrides.reg' >/dev/null 2>&1
log "overrides set"

sync_dir=/tmp/discovery-sync
rm -rf "$sync_dir" && mkdir -p "$sync_dir"
extra=""
[ "$identity" = 1 ] && extra="--identity"
"$wine" "$payload/discovery_check.exe" --sync 'Z:\tmp\discovery-sync' --present 1 --cycles "$cycles" --contracts \
  --timeout-ms 15000 $extra >"$results/discovery_check.log" 2>"$results/discovery_check.err" &
pid=$!
log "discovery_check started"
deadline=$(( $(cut -d. -f1 /proc/uptime) + 240 ))
while kill -0 $pid 2>/dev/null && [ "$(cut -d. -f1 /proc/uptime)" -lt $deadline ]; do
  for request in "$sync_dir"/request-*; do
    [ -e "$request" ] || continue
    case "$request" in
      *.done) continue ;;
      *-unplug) unbind; log "unbound the UDC ($(basename "$request"))"; wait_device absent && log "device gone from sysfs" ;;
      *-plug) bind; log "bound the UDC ($(basename "$request"))"; wait_device present && log "device $(maker_device) in sysfs" ;;
    esac
    mv "$request" "$request.done"
  done
  sleep 0.02
done
if kill -0 $pid 2>/dev/null; then log "discovery_check did not finish: killing it"; kill $pid; fi
wait $pid
rc=$?
log "discovery_check exit code $rc"
cat "$results/discovery_check.log"
unbind 2>/dev/null
rm -f "$g/configs/c.1/SourceSink.0"
rmdir "$g/configs/c.1" "$g/functions/SourceSink.0" "$g/strings/0x409" "$g/strings/0x0" "$g" 2>/dev/null
/usr/lib/wine/wineserver64 -k 2>/dev/null
exit $rc
