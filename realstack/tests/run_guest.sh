#!/usr/bin/env bash
# Builds the real stack's parts and runs tests/guest.sh in one boot of the USB guest:
#   realstack/tests/run_guest.sh OUTDIR
# Needs the x64 build's LinkWinUsb.dll (build/x64/bin). The payload: the firmware and its
# self-test (device/), and in win/ LinkWinUsb.dll, the bridge (winusb.dll, varkousb.dll and its
# wine/ folder for WINEDLLPATH), the discovery faces (setupapi.dll, cfgmgr32.dll) and the host
# programs, with the bridge's and discovery's own test programs. OUTDIR receives what the guest wrote (see tests/guest.sh). Exit code: the guest's.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
out=$(realpath -m "${1:?usage: run_guest.sh OUTDIR}")
lib="$repo/build/x64/bin/LinkWinUsb.dll"
[ -f "$lib" ] || { echo "run_guest: $lib is missing (build the x64 width first)" >&2; exit 2; }
runner=${USBVM_RUN:-$repo/tools/usbvm/run.sh}
payload="$repo/build/realstack/guest-payload"
rm -rf "$payload" && mkdir -p "$payload/win"
device=$("$repo/realstack/device/build.sh" "$repo/build/realstack/device" 2>/dev/null | tail -n 1)
"$repo/realstack/bridge/build.sh" "$repo/build/realstack/bridge" >/dev/null
discovery=$("$repo/realstack/discovery/build.sh" | tail -n 1)
hostbin=$("$repo/realstack/host/build.sh" | tail -n 1)
cp -a "$device" "$payload/device"
bridge="$repo/build/realstack/bridge"
cp -r "$bridge/wine" "$payload/win/wine"
cp "$bridge/winusb.dll" "$bridge/varkousb.dll" "$discovery/setupapi.dll" "$discovery/cfgmgr32.dll" \
   "$hostbin/host_story.exe" "$hostbin/host_faults.exe" "$lib" "$bridge/bridge_test.exe" \
   "$discovery/discovery_check.exe" "$payload/win/"
# The runner starts guest.sh with sh; the script itself wants bash.
printf '#!/bin/sh\nexec bash "$(dirname "$0")/realstack-guest.sh" "$@"\n' >"$payload/guest.sh"
cp "$here/guest.sh" "$payload/realstack-guest.sh"
chmod +x "$payload/guest.sh" "$payload/realstack-guest.sh"
rm -rf "$out" && mkdir -p "$out"
nice -n 10 "$runner" --payload "$payload" --out "$out" --timeout "${REALSTACK_GUEST_TIMEOUT:-1200}"
