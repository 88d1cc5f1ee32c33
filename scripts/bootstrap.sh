#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 and prepares the Wine prefix.
# Does nothing when everything is already present.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64)
command -v i686-w64-mingw32-g++-posix   >/dev/null 2>&1 || need+=(g++-mingw-w64-i686)
[ -x /usr/lib/wine/wine64 ]                        || need+=(wine64)
command -v cmake >/dev/null 2>&1                   || need+=(cmake)
command -v make >/dev/null 2>&1                    || need+=(make)
command -v objdump >/dev/null 2>&1                 || need+=(binutils)
[ -f /usr/src/googletest/CMakeLists.txt ]          || need+=(googletest)
# The kit: MSVC-format import libraries (llvm-dlltool), and the test host built for the MSVC
# target (clang, lld-link); llvm-nm and llvm-readobj read the import libraries.
command -v llvm-dlltool >/dev/null 2>&1            || need+=(llvm)
command -v clang >/dev/null 2>&1                   || need+=(clang)
command -v lld-link >/dev/null 2>&1                || need+=(lld)
# The x86 runner: a QEMU guest built from Debian's packages (tools/x86vm).
command -v qemu-system-x86_64 >/dev/null 2>&1     || need+=(qemu-system-x86)
command -v qemu-img >/dev/null 2>&1               || need+=(qemu-utils)
command -v debootstrap >/dev/null 2>&1            || need+=(debootstrap)
command -v mke2fs >/dev/null 2>&1                 || need+=(e2fsprogs)
# The hardening check reads the PE headers; the kit is signed and verified with osslsigncode, and
# the signing test makes its throw-away certificate with openssl.
/usr/bin/python3 -c 'import pefile' >/dev/null 2>&1 || need+=(python3-pefile)
command -v osslsigncode >/dev/null 2>&1           || need+=(osslsigncode)
command -v openssl >/dev/null 2>&1                || need+=(openssl)
# The real USB stack (realstack/): the device side and the bridge's Unix side are built here with
# g++ against libusb; the bridge is a Wine builtin DLL marked with winebuild (wine64-tools, with
# libwine-dev; winegcc drives g++ and the mingw compiler) and linked against Wine's ntdll.so.
command -v g++ >/dev/null 2>&1                    || need+=(g++)
command -v gcc >/dev/null 2>&1                    || need+=(gcc)
command -v pkg-config >/dev/null 2>&1             || need+=(pkg-config)
[ -f /usr/include/libusb-1.0/libusb.h ]           || need+=(libusb-1.0-0-dev)
command -v winebuild-stable >/dev/null 2>&1       || need+=(wine64-tools)
[ -f /usr/include/wine/wine/windows/windows.h ]   || need+=(libwine-dev)

if [ ${#need[@]} -gt 0 ]; then
  echo "bootstrap: installing ${need[*]}"
  if [ "$(id -u)" != 0 ]; then
    echo "bootstrap: these packages are missing and installing them needs root: ${need[*]}" >&2
    exit 1
  fi
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "bootstrap: no apt-get here; install by hand: ${need[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null; }; then
    echo "bootstrap: apt-get could not install ${need[*]}; see the messages above" >&2
    exit 1
  fi
fi

# The 32-bit Wine loader must stay away: with it the wine wrapper picks a loader that cannot run
# here. It lives only inside the x86 guest.
if dpkg -s wine32 >/dev/null 2>&1; then
  echo "bootstrap: note: wine32 is installed; the tests use the wine64 loader directly" >&2
fi

"$here/tools/wine/prefix.sh" init "$build/wineprefix"
