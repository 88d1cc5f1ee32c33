#!/usr/bin/env bash
# Runs every fault script of host_faults.exe against the simulated world, here under wine64:
#   realstack/tests/run_world.sh OUTDIR
# OUTDIR/world-faults.txt gets each row's SAW and RESULT lines. Needs the x64 build's LinkWinUsb.dll
# and the world's DLLs (build/x64/bin) and the host programs (realstack/host/build.sh).
# Exit code 0 when every row kept the contract.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
out=$(realpath -m "${1:?usage: run_world.sh OUTDIR}")
bin="$repo/build/x64/bin"
hostbin="$repo/build/realstack/host/bin"
run="$repo/build/realstack/world-run"
prefix="$repo/build/realstack/wineprefix"
mkdir -p "$out" "$run"
for f in LinkWinUsb.dll winusb.dll setupapi.dll cfgmgr32.dll simworld.dll; do
  [ -f "$bin/$f" ] || { echo "run_world: $bin/$f is missing (build the x64 width first)" >&2; exit 2; }
  cp "$bin/$f" "$run/"
done
cp "$hostbin/host_faults.exe" "$run/"
reg="$repo/build/realstack/world-overrides.reg"
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\host_faults.exe\\DllOverrides]\n"winusb"="native"\n"setupapi"="native"\n"cfgmgr32"="native"\n' >"$reg"
"$repo/tools/wine/prefix.sh" overrides "$prefix" "$reg" >/dev/null
export WINEPREFIX="$prefix" WINEDEBUG=-all
unset WINEDLLOVERRIDES DISPLAY
wine=/usr/lib/wine/wine64
: >"$out/world-faults.txt"
rc=0
cd "$run"
for row in $("$wine" ./host_faults.exe list | tr -d '\r' | cut -d'|' -f1); do
  "$wine" ./host_faults.exe world "$row" 2>>"$out/world-faults.err" | tr -d '\r' >>"$out/world-faults.txt" || rc=1
done
cat "$out/world-faults.txt"
exit $rc
