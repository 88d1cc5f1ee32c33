#!/usr/bin/env bash
# The discovery faces on a fake sysfs tree, on this machine under wine64: builds the faces and
# discovery_check.exe, makes a tree that stands for the guest's / (sys/bus/usb/devices with
# links to device folders, dev/bus/usb/BBB/DDD files for the nodes) with two of the maker's
# devices and decoys the faces must pass over, and answers the program's unplug and plug
# requests by removing and adding device folders. Exit code: the program's.
#   realstack/discovery/tests/run_fake.sh [--cycles K]
# Needs build/x64/bin/{LinkWinUsb,winusb,simworld}.dll (cmake --build --preset x64 --target
# LinkWinUsb winusb_face): LinkWinUsb does not load without a WinUSB that has WinUsb_QueryPipeEx.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../../.." && pwd)
cycles=2
[ "${1:-}" = "--cycles" ] && cycles=$2

out=$("$here/../build.sh")
run="$repo/build/realstack/discovery/run-fake"
rm -rf "$run" && mkdir -p "$run"
cp "$out/setupapi.dll" "$out/cfgmgr32.dll" "$out/discovery_check.exe" "$run/"
for dll in LinkWinUsb winusb simworld; do
  [ -f "$repo/build/x64/bin/$dll.dll" ] || { echo "run_fake: build/x64/bin/$dll.dll is missing" >&2; exit 2; }
  cp "$repo/build/x64/bin/$dll.dll" "$run/"
done

wine=/usr/lib/wine/wine64
export WINEPREFIX="$repo/build/realstack/wineprefix" WINEARCH=win64 WINEDEBUG=-all
unset WINEDLLOVERRIDES DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot -i >/dev/null 2>&1
  "$(dirname "$wine")/wineserver" -w
fi
# Only this program gets the faces (services.exe keeps Wine's setupapi).
for dll in setupapi cfgmgr32 winusb; do
  "$wine" reg add 'HKCU\Software\Wine\AppDefaults\discovery_check.exe\DllOverrides' /v $dll /d native /f >/dev/null 2>&1
done

fake=$(mktemp -d /tmp/realstack-fake.XXXXXX)
trap 'rm -rf "$fake"' EXIT
mkdir -p "$fake/sys/bus/usb/devices" "$fake/sync"
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# device NAME BUS DEV VID PID [nonode]
device() {
  local folder="$fake/sys/devices/usb$2/$1"
  mkdir -p "$folder"
  printf '%s\n' "$4" >"$folder/idVendor"
  printf '%s\n' "$5" >"$folder/idProduct"
  printf '%d\n' "$2" >"$folder/busnum"
  printf '%d\n' "$3" >"$folder/devnum"
  if [ "${6:-}" != nonode ]; then
    mkdir -p "$fake/dev/bus/usb/$(printf %03d "$2")"
    : >"$fake/dev/bus/usb/$(printf %03d "$2")/$(printf %03d "$3")"
  fi
  ln -s "../../../devices/usb$2/$1" "$fake/sys/bus/usb/devices/$1"
}
unplug() {
  local folder="$fake/sys/devices/usb1/$1"
  rm -f "$fake/sys/bus/usb/devices/$1" "$fake/dev/bus/usb/001/$(printf %03d "$(cat "$folder/devnum")")"
  rm -rf "$folder"
}
device usb1 1 1 1d6b 0002               # the root hub
device 1-1 1 2 1209 0100
device 1-2 1 3 1209 0101
device 1-3 1 4 1209 0999                # the maker's vendor, another product
device 1-4 1 5 1209 0102 nonode         # named by the kernel, its node not made yet
mkdir -p "$fake/sys/bus/usb/devices/1-1:1.0"   # an interface: no IDs
plugged=(1-2) next=7

export VARKO_REALSTACK_ROOT
VARKO_REALSTACK_ROOT=$(winpath "$fake")
log="$run/discovery_check.log"
started=$(date +%s%N)
nice -n 10 "$wine" "$run/discovery_check.exe" --sync "$(winpath "$fake/sync")" --present 2 --cycles "$cycles" \
  --contracts >"$log" 2>&1 &
pid=$!
deadline=$(( $(date +%s) + 180 ))
while kill -0 $pid 2>/dev/null && [ "$(date +%s)" -lt $deadline ]; do
  for request in "$fake"/sync/request-*; do
    [ -e "$request" ] || continue
    case "$request" in
      *.done) continue ;;
      *-unplug) unplug "${plugged[-1]}"; unset 'plugged[-1]' ;;
      *-plug) name="1-$next"; device "$name" 1 "$next" 1209 0200; plugged+=("$name"); next=$((next + 1)) ;;
    esac
    mv "$request" "$request.done"
  done
  sleep 0.02
done
if kill -0 $pid 2>/dev/null; then
  echo "run_fake: the program did not finish in time" >&2
  kill $pid
fi
rc=0
wait $pid || rc=$?
cat "$log"
echo "run_fake: exit code $rc after $(( ($(date +%s%N) - started) / 1000000 )) ms"
exit $rc
