#!/bin/sh
# The device's self-test in the USB guest: for each row, the gadget comes up with that row's
# firmware arguments, check_device runs the maker's sequence (or the row's fault case) through
# libusb, and the gadget goes down. Writes per row NAME.check (what libusb saw), NAME.fw.log
# (what the firmware saw), summary.txt (one RESULT line per row), and usbmon-normal-p2.txt (the
# packet trace of one run, enumeration included). Exit code 0 only when every row passed.
here=$(cd "$(dirname "$0")" && pwd)
results=${USBVM_RESULTS:-/results}
cd "$here" || exit 1
mkdir -p "$results"
: >"$results/summary.txt"
failed=0

# The bus of the emulated controller's host side.
bus=""
for d in /sys/bus/usb/devices/usb*; do
  case "$(readlink -f "$d")" in *dummy_hcd*) bus=$(cat "$d/busnum") ;; esac
done
echo "usbvm: dummy_hcd is bus ${bus:-?}"

row() {
  name=$1 gadget_args=$2 check_args=$3
  started=$(date +%s.%N)
  # shellcheck disable=SC2086
  if ! ./gadget.sh up --no-plug $gadget_args >"$results/$name.gadget" 2>&1; then
    echo "RESULT $name FAIL gadget.sh up failed" >>"$results/summary.txt"; failed=1
    ./gadget.sh down >/dev/null 2>&1
    return
  fi
  monitor=""
  if [ "$name" = normal-p2 ] && [ -n "$bus" ]; then
    cat "/sys/kernel/debug/usb/usbmon/${bus}u" >"$results/usbmon-$name.txt" &
    monitor=$!
  fi
  plug_started=$(date +%s.%N)
  ./gadget.sh plug >>"$results/$name.gadget" 2>&1
  plugged=$(date +%s.%N)
  # shellcheck disable=SC2086
  timeout 120 ./check_device $check_args >"$results/$name.check" 2>&1
  rc=$?
  if [ "$name" = unplug ]; then
    # How long the host kept the device after the firmware unbound the UDC.
    ./gadget.sh path >/dev/null 2>&1 && echo "  device still present after the check" >>"$results/$name.check"
  fi
  [ -n "$monitor" ] && { sleep 0.2; kill "$monitor"; }
  cp /run/varko-gadget/fw.log "$results/$name.fw.log" 2>/dev/null
  ./gadget.sh down >>"$results/$name.gadget" 2>&1
  line=$(grep '^RESULT' "$results/$name.check" | tail -n 1)
  [ -n "$line" ] || line="RESULT $name FAIL check_device exit $rc without a verdict"
  [ "$rc" = 0 ] || failed=1
  ended=$(date +%s.%N)
  echo "$line" >>"$results/summary.txt"
  awk -v n="$name" -v a="$plug_started" -v b="$plugged" -v c="$started" -v d="$ended" \
    'BEGIN { printf "%s: enumeration %.2f s, whole row %.2f s\n", n, b - a, d - c }' >>"$results/times.txt"
  echo "usbvm: $line"
}

: >"$results/times.txt"
row normal-p0      "--protocol 0"                                "normal"
row normal-p1      "--protocol 1"                                "normal"
row normal-p2      "--protocol 2"                                "normal"
row strings        "--protocol 2"                                "strings"
row strings-fault  "--protocol 2 --fault strings-need-language"  "strings"
row stall-request  "--fault stall-request=0x83"                  "stall-request 0x83"
row halt-in        "--fault halt-in"                             "halt-in"
row halt-out       "--fault halt-out"                            "halt-out"
row short-packets  "--fault short-packets=100"                   "short-packets 100"
row no-zlp         "--fault no-zlp"                              "no-zlp"
row extra-zlp      "--fault extra-zlp"                           "extra-zlp"
row delay-ms       "--fault delay-ms=1500"                       "delay-ms 1500"
row delay-request  "--fault delay-request=0x84:1500"             "delay-request 1500"
row unplug         "--fault unplug-after-bytes=2048"             "unplug-after-bytes 2048"
usbvm-publish 2>/dev/null
exit $failed
