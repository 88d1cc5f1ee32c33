#!/usr/bin/env bash
# Builds the device side and runs its self-test in one boot of the USB guest:
#   realstack/device/selftest.sh [OUTDIR]      results in OUTDIR (default build/realstack/selftest)
# OUTDIR/summary.txt has one RESULT line per row; see guest-check.sh for the rest.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${1:-$root/build/realstack/selftest}
bin=$("$here/build.sh" "$root/build/realstack/device" | tail -n 1)
payload=$(mktemp -d "${TMPDIR:-/tmp}/usbvm-payload.XXXXXX")
trap 'rm -rf "$payload"' EXIT
cp -a "$bin"/. "$payload/"
cp "$here/guest-check.sh" "$payload/guest.sh"
"$root/tools/usbvm/run.sh" --payload "$payload" --out "$out" --timeout 900
