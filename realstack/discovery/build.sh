#!/usr/bin/env bash
# Builds the real stack's discovery faces and their test program with the x64 mingw-w64
# toolchain: OUTDIR/setupapi.dll, OUTDIR/cfgmgr32.dll, OUTDIR/discovery_check.exe.
#   realstack/discovery/build.sh [OUTDIR]      (default build/realstack/discovery/bin)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build="$repo/build/realstack/discovery"
out=$(realpath -m "${1:-$build/bin}")
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release -DOUTDIR="$out" \
  -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchains/x86_64-w64-mingw32.cmake" >/dev/null
log="$build/build.log"
nice -n 10 cmake --build "$build" -j2 >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
echo "$out"
