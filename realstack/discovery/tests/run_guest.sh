#!/usr/bin/env bash
# discovery_check in the USB guest against a real kernel USB stack (tests/guest.sh there):
# builds the faces and the check, packs them with LinkWinUsb.dll and a WinUSB into a payload
# and runs it with tools/usbvm/run.sh. Results go to build/realstack/discovery/guest-results.
#   realstack/discovery/tests/run_guest.sh [--winusb DIR] [--cycles K] [--language0]
# --winusb DIR: a folder whose files go beside the program as its WinUSB (the bridge's face);
# the check then also reads each device's identity through it. Without it the simulated world's
# winusb.dll and simworld.dll go along (LinkWinUsb needs a WinUSB to load; identity is skipped).
# --language0: the gadget also gets string tables for language 0, which LinkWinUsb asks in.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../../.." && pwd)
winusb="" cycles=2 language0=0
while [ $# -gt 0 ]; do
  case "$1" in
    --winusb) winusb=$2; shift 2 ;;
    --cycles) cycles=$2; shift 2 ;;
    --language0) language0=1; shift ;;
    *) echo "run_guest: unknown argument $1" >&2; exit 2 ;;
  esac
done
runner=${USBVM_RUN:-$repo/tools/usbvm/run.sh}
[ -x "$runner" ] || { echo "run_guest: no USB guest runner at $runner (set USBVM_RUN)" >&2; exit 2; }

out=$("$here/../build.sh")
payload="$repo/build/realstack/discovery/guest-payload"
results="$repo/build/realstack/discovery/guest-results"
rm -rf "$payload" && mkdir -p "$payload"
cp "$out/setupapi.dll" "$out/cfgmgr32.dll" "$out/discovery_check.exe" "$here/guest.sh" "$payload/"
cp "$repo/build/x64/bin/LinkWinUsb.dll" "$payload/"
identity=0
if [ -n "$winusb" ]; then
  cp -r "$winusb"/. "$payload/"
  identity=1
else
  cp "$repo/build/x64/bin/winusb.dll" "$repo/build/x64/bin/simworld.dll" "$payload/"
fi
printf 'identity=%s\ncycles=%s\nlanguage0=%s\n' "$identity" "$cycles" "$language0" >"$payload/payload.conf"
started=$(date +%s)
rc=0
"$runner" --payload "$payload" --out "$results" --timeout 900 || rc=$?
echo "run_guest: runner exit code $rc after $(( $(date +%s) - started )) s; results in $results"
[ -f "$results/guest.log" ] && cat "$results/guest.log"
exit $rc
