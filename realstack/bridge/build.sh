#!/usr/bin/env bash
# Builds the WinUSB bridge for the real USB stack into OUTDIR:
#   OUTDIR/winusb.dll                      the native face (forwarders), beside the program
#   OUTDIR/varkousb.dll                    the builtin's PE, also beside the program (Wine 8 wants a copy there)
#   OUTDIR/wine/x86_64-windows/varkousb.dll  and  OUTDIR/wine/x86_64-unix/varkousb.so   for WINEDLLPATH=OUTDIR/wine
#   OUTDIR/bridge_test.exe                 the bridge's own test program
# The PE parts are built with mingw-w64 and marked builtin with winebuild; the Unix part with the
# host's gcc against libusb and Wine's ntdll.so. Needs: g++-mingw-w64-x86-64, wine64-tools,
# libwine-dev, libusb-1.0-0-dev, pkg-config (scripts/bootstrap.sh installs them).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build.sh OUTDIR}
mkdir -p "$out/wine/x86_64-windows" "$out/wine/x86_64-unix" "$out/obj"
out=$(cd "$out" && pwd)
src=$here/src
winelib=/usr/lib/x86_64-linux-gnu/wine
mingw=x86_64-w64-mingw32-gcc
winebuild=$(command -v winebuild-stable || command -v winebuild)

cflags_pe=(-std=c11 -O2 -Wall -Wextra -Werror -D_WIN32_WINNT=0x0A00)
cflags_unix=(-std=gnu11 -O2 -Wall -Wextra -Werror -fPIC $(pkg-config --cflags libusb-1.0))

# The Unix side: the only code that sees libusb.h, never with _WIN32 defined.
for f in engine_devices engine_transfers; do
  gcc "${cflags_unix[@]}" -c "$src/$f.c" -o "$out/obj/$f.o"
done
gcc -shared -o "$out/wine/x86_64-unix/varkousb.so" "$out/obj/engine_devices.o" "$out/obj/engine_transfers.o" \
  $(pkg-config --libs libusb-1.0) "$winelib/x86_64-unix/ntdll.so" -lpthread -Wl,-z,defs

# The Windows side, marked as a Wine builtin so that Wine's loader pairs it with varkousb.so.
"$mingw" "${cflags_pe[@]}" -shared -static-libgcc -o "$out/varkousb.dll" \
  "$src/winusb_api.c" "$src/winusb_policies.c" "$src/winusb_pipes.c"
"$winebuild" --builtin "$out/varkousb.dll"
cp "$out/varkousb.dll" "$out/wine/x86_64-windows/varkousb.dll"

# The face: forwarders only.
"$mingw" "${cflags_pe[@]}" -shared -static-libgcc -o "$out/winusb.dll" "$here/face/face.c" "$here/face/winusb.def"

# The test program talks to winusb.dll as a program does, through its import table.
x86_64-w64-mingw32-dlltool -d "$here/tests/winusb_import.def" -l "$out/obj/libwinusb_import.a"
"$mingw" "${cflags_pe[@]}" -static -o "$out/bridge_test.exe" "$here/tests/bridge_test.c" "$here/tests/bridge_loopback.c" "$here/tests/bridge_removal.c" \
  "$out/obj/libwinusb_import.a"
echo "bridge: built into $out"
