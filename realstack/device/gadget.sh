#!/bin/sh
# The maker's device on the guest's emulated controller (dummy_hcd), through configfs and
# FunctionFS, with varko-fw (beside this script, or $VARKO_FW) answering it. Run as root in the
# USB guest (tools/usbvm), where dummy_hcd, libcomposite and usb_f_fs are loaded.
#   gadget.sh up [--vid 0x1209] [--pid 0x0001] [--serial S] [--manufacturer S] [--product S]
#                [--no-plug] [varko-fw arguments: --protocol N --fault F ... --quiet]
#       makes the gadget, starts varko-fw, plugs it in and waits until the host has it; prints
#       the usbfs path (/dev/bus/usb/BBB/DDD) on the last line
#   gadget.sh plug | unplug      binds / unbinds dummy_udc.0 and waits for the host to see it
#   gadget.sh path               prints the usbfs path of the plugged-in device
#   gadget.sh down               unplugs, stops varko-fw, removes the gadget
# varko-fw's log: /run/varko-gadget/fw.log (or $VARKO_FW_LOG).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
fw=${VARKO_FW:-$here/varko-fw}
state=/run/varko-gadget
log=${VARKO_FW_LOG:-$state/fw.log}
gadget=/sys/kernel/config/usb_gadget/varko
ffs=/dev/ffs-varko
udc=dummy_udc.0

say() { echo "gadget: $*" >&2; }
fail() { say "$*"; exit 1; }

# The host-side sysfs folder of the device with the gadget's IDs, if present.
host_device() {
  vid=$(sed 's/^0x//' "$state/vid"); pid=$(sed 's/^0x//' "$state/pid")
  for d in /sys/bus/usb/devices/*; do
    [ -f "$d/idVendor" ] || continue
    if [ "$(cat "$d/idVendor")" = "$vid" ] && [ "$(cat "$d/idProduct")" = "$pid" ]; then echo "$d"; return 0; fi
  done
  return 1
}

usbfs_path() {
  d=$(host_device) || return 1
  printf '/dev/bus/usb/%03d/%03d\n' "$(cat "$d/busnum")" "$(cat "$d/devnum")"
}

# Waits (up to 10 s) until the host has configured the device and its usbfs node exists.
wait_present() {
  i=0
  while [ $i -lt 200 ]; do
    if d=$(host_device) && [ "$(cat "$d/bConfigurationValue" 2>/dev/null)" = 1 ] && p=$(usbfs_path) && [ -e "$p" ]; then
      echo "$p"; return 0
    fi
    sleep 0.05; i=$((i + 1))
  done
  fail "the host did not enumerate the device within 10 s (log: $log)"
}

wait_gone() {
  i=0
  while [ $i -lt 200 ]; do
    host_device >/dev/null || return 0
    sleep 0.05; i=$((i + 1))
  done
  fail "the device is still there 10 s after the unplug"
}

plug() {
  [ -n "$(cat "$gadget/UDC")" ] || echo "$udc" >"$gadget/UDC"
  wait_present
}

unplug() {
  [ -z "$(cat "$gadget/UDC" 2>/dev/null)" ] || echo "" >"$gadget/UDC"
  wait_gone
}

up() {
  vid=0x1209 pid=0x0001 serial=SIM0001 manufacturer=Varko product="Simulated Link" do_plug=yes
  fw_args=""
  while [ $# -gt 0 ]; do
    case "$1" in
      --vid) vid=$2; shift 2 ;;
      --pid) pid=$2; shift 2 ;;
      --serial) serial=$2; shift 2 ;;
      --manufacturer) manufacturer=$2; shift 2 ;;
      --product) product=$2; shift 2 ;;
      --no-plug) do_plug=no; shift ;;
      --protocol|--fault|--status-byte|--identity) fw_args="$fw_args $1 $2"; shift 2 ;;
      --no-echo|--quiet) fw_args="$fw_args $1"; shift ;;
      *) fail "unknown argument $1" ;;
    esac
  done
  [ -x "$fw" ] || fail "no firmware program at $fw"
  [ -d /sys/kernel/config/usb_gadget ] || fail "no usb_gadget in configfs (modprobe libcomposite; mount configfs)"
  [ -e "/sys/class/udc/$udc" ] || fail "no $udc (modprobe dummy_hcd)"
  [ -d "$gadget" ] && fail "a gadget is up already (gadget.sh down first)"
  mkdir -p "$state"
  printf '%04x\n' "$vid" >"$state/vid"
  printf '%04x\n' "$pid" >"$state/pid"

  mkdir "$gadget"
  echo "$vid" >"$gadget/idVendor"
  echo "$pid" >"$gadget/idProduct"
  echo 0x0200 >"$gadget/bcdUSB"
  echo 0x0100 >"$gadget/bcdDevice"   # the framework puts its own version in place of 0
  mkdir "$gadget/strings/0x409"
  echo "$manufacturer" >"$gadget/strings/0x409/manufacturer"
  echo "$product" >"$gadget/strings/0x409/product"
  echo "$serial" >"$gadget/strings/0x409/serialnumber"
  mkdir "$gadget/configs/c.1"
  echo 100 >"$gadget/configs/c.1/MaxPower"
  mkdir "$gadget/functions/ffs.varko"
  ln -s "$gadget/functions/ffs.varko" "$gadget/configs/c.1/"
  mkdir -p "$ffs"
  mount -t functionfs varko "$ffs"

  # shellcheck disable=SC2086
  "$fw" --ffs "$ffs" --udc-file "$gadget/UDC" $fw_args >"$log" 2>&1 &
  echo $! >"$state/fw.pid"
  i=0
  until grep -q 'varko-fw: ready' "$log" 2>/dev/null; do
    kill -0 "$(cat "$state/fw.pid")" 2>/dev/null || { cat "$log" >&2; fail "varko-fw ended before it was ready"; }
    [ $i -lt 200 ] || fail "varko-fw not ready after 10 s"
    sleep 0.05; i=$((i + 1))
  done
  if [ "$do_plug" = yes ]; then plug; fi
}

down() {
  if [ -d "$gadget" ]; then
    [ -z "$(cat "$gadget/UDC" 2>/dev/null)" ] || echo "" >"$gadget/UDC"
  fi
  if [ -f "$state/fw.pid" ]; then
    p=$(cat "$state/fw.pid")
    kill "$p" 2>/dev/null || true
    i=0; while kill -0 "$p" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
    rm -f "$state/fw.pid"
  fi
  mountpoint -q "$ffs" && umount "$ffs"
  if [ -d "$gadget" ]; then
    rm -f "$gadget/configs/c.1/ffs.varko"
    rmdir "$gadget/configs/c.1" "$gadget/functions/ffs.varko" "$gadget/strings/0x409" "$gadget"
  fi
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
  up) up "$@" ;;
  plug) plug ;;
  unplug) unplug ;;
  path) usbfs_path || fail "no device plugged in" ;;
  down) down ;;
  *) fail "usage: gadget.sh up [...] | plug | unplug | path | down" ;;
esac
