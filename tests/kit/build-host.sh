#!/usr/bin/env bash
# build-host.sh KIND KIT ARCH WORK RUN SUBSTITUTES: builds a host against the unpacked kit KIT
# for ARCH (x64 or x86) in WORK and puts it into RUN with the kit's DLLs beside it, as a host
# ships them, and the substitute platform DLLs of SUBSTITUTES (the build's bin folder), without
# which LinkWinUsb.dll does not load under Wine.
#   consumer  tests/kit/consumer, a CMake project that finds the kit with find_package, built
#             with the mingw-w64 toolchain of ARCH
#   msvc      tests/kit/msvc_host/host.c compiled by clang for the MSVC target and linked by
#             lld-link against the kit's .lib import libraries (and a kernel32.lib that LLVM's
#             dlltool makes of our own .def), with no mingw import library on the link line
set -euo pipefail
kind=$1 kit=$2 arch=$3 work=$4 run=$5 substitutes=$6
here=$(cd "$(dirname "$0")" && pwd)
source_root=$(cd "$here/../.." && pwd)
case "$arch" in
  x64) triple=x86_64-w64-mingw32 msvc_triple=x86_64-pc-windows-msvc machine=i386:x86-64 width=64 kill="" ;;
  x86) triple=i686-w64-mingw32 msvc_triple=i686-pc-windows-msvc machine=i386 width=32 kill=-k ;;
  *) echo "build-host.sh: ARCH is x64 or x86, not $arch" >&2; exit 2 ;;
esac

rm -rf "$work" "$run"
mkdir -p "$work" "$run"
case "$kind" in
  consumer)
    # The host developer's view: the kit's root on CMAKE_PREFIX_PATH, nothing of this tree.
    cmake -S "$here/consumer" -B "$work" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$source_root/cmake/toolchains/$triple.cmake" -DCMAKE_PREFIX_PATH="$kit"
    cmake --build "$work"
    cp "$work/kit_consumer.exe" "$work"/*.dll "$run/"
    program="$run/kit_consumer.exe"
    ;;
  msvc)
    clang --target="$msvc_triple" -std=c17 -ffreestanding -O1 -Wall -Wextra -Werror \
      -c "$here/msvc_host/host.c" -o "$work/host.obj"
    llvm-dlltool -m "$machine" $kill -d "$here/msvc_host/kernel32-$width.def" -l "$work/kernel32.lib"
    # /nodefaultlib: the link sees exactly the files named here.
    lld-link /nologo /subsystem:console /entry:HostMain /nodefaultlib /out:"$run/kit_msvc_host.exe" \
      "$work/host.obj" "$kit/$arch/lib/LinkWinUsb.lib" "$kit/$arch/lib/inputgate$width.lib" "$work/kernel32.lib"
    cp "$kit/$arch/bin/"*.dll "$run/"
    program="$run/kit_msvc_host.exe"
    ;;
  *) echo "build-host.sh: KIND is consumer or msvc, not $kind" >&2; exit 2 ;;
esac

for dll in winusb setupapi cfgmgr32 simworld; do
  cp "$substitutes/$dll.dll" "$run/"
done
echo "--- $(basename "$program") imports:"
"$triple-objdump" -p "$program" | awk '/DLL Name:/{print "  " $3}'
echo "--- $run:"
ls -l "$run"
