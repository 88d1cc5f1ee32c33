#!/usr/bin/env bash
# Builds the device side of the real-stack runs for the USB guest (same Debian 12 glibc as here):
#   build.sh [OUTDIR]     default build/realstack/device
# OUTDIR gets varko-fw (the firmware on FunctionFS), check_device (the libusb self-test),
# gadget.sh and guest-check.sh (the payload script of the self-test). It runs device_test (the
# firmware's logic, no USB) on the way and fails when that fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../../build/realstack/device}
mkdir -p "$out"
flags=(-O2 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Werror)
nice -n 10 g++ -std=c++17 "${flags[@]}" -pthread -o "$out/varko-fw" \
  "$here"/firmware/main.cpp "$here"/firmware/device.cpp "$here"/firmware/ffs.cpp "$here"/firmware/options.cpp
# The firmware's logic against the simulated world's answers, here on the host.
nice -n 10 g++ -std=c++17 "${flags[@]}" -pthread -o "$out/device_test" \
  "$here"/firmware/device_test.cpp "$here"/firmware/device.cpp "$here"/firmware/options.cpp
"$out/device_test" >&2
nice -n 10 gcc -std=c11 "${flags[@]}" $(pkg-config --cflags libusb-1.0) -o "$out/check_device" \
  "$here/check_device.c" $(pkg-config --libs libusb-1.0)
install -m 0755 "$here/gadget.sh" "$here/guest-check.sh" "$out/"
echo "$out"
