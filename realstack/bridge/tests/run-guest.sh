#!/usr/bin/env bash
# Builds the bridge and its test program, and runs tests/guest.sh in one boot of the USB guest.
#   realstack/bridge/tests/run-guest.sh OUTDIR [--library BINDIR --device DIR]
# --library: a build's bin folder (LinkWinUsb.dll, and the world's cfgmgr32.dll face with
# simworld.dll, so that the library loads); --device: the firmware's build folder (varko-fw,
# gadget.sh). With both, the library's session runs against the firmware in protocols 0, 1, 2.
# OUTDIR receives the guest's results (summary.txt, loopback.txt, removal.txt, library.txt).
# The guest runner is tools/usbvm/run.sh of this tree, or USBVM_RUN.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../../.." && pwd)
out=${1:?usage: run-guest.sh OUTDIR [--library BINDIR --device DIR]}; shift
library="" device=""
while [ $# -gt 0 ]; do
  case "$1" in
    --library) library=$2; shift 2 ;;
    --device) device=$2; shift 2 ;;
    *) echo "run-guest.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
run=${USBVM_RUN:-$repo/tools/usbvm/run.sh}
[ -x "$run" ] || { echo "run-guest.sh: no guest runner at $run (set USBVM_RUN)" >&2; exit 2; }
payload=$(mktemp -d "${TMPDIR:-/tmp}/bridge-payload.XXXXXX")
trap 'rm -rf "$payload"' EXIT
"$here/../build.sh" "$payload/obj-build" >/dev/null
mkdir -p "$payload/bin"
cp -r "$payload/obj-build/wine" "$payload/bin/wine"
cp "$payload/obj-build/"{winusb.dll,varkousb.dll,bridge_test.exe} "$payload/bin/"
rm -rf "$payload/obj-build"
[ -n "$library" ] && cp "$library/LinkWinUsb.dll" "$library/cfgmgr32.dll" "$library/simworld.dll" "$payload/bin/"
[ -n "$device" ] && cp -r "$device" "$payload/device"
# The runner starts guest.sh with sh; the script itself wants bash.
{ echo "#!/bin/sh"; echo 'exec bash "$(dirname "$0")/bridge-guest.sh" "$@"'; } > "$payload/guest.sh"
cp "$here/guest.sh" "$payload/bridge-guest.sh"
chmod +x "$payload/guest.sh" "$payload/bridge-guest.sh"
mkdir -p "$out"
nice -n 10 "$run" --payload "$payload" --out "$out" --timeout "${BRIDGE_GUEST_TIMEOUT:-600}"
