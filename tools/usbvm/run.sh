#!/usr/bin/env bash
# Runs a payload in one boot of the USB guest and brings back what it wrote.
#   run.sh --payload DIR --out DIR [--timeout SECONDS]
# DIR must hold guest.sh. The guest unpacks DIR into /payload, loads the emulated USB controller
# (dummy_hcd: the host side and dummy_udc.0), libcomposite, usb_f_fs and usbmon, mounts configfs
# and debugfs, and runs /payload/guest.sh as root in /payload with WINEPREFIX set to its ready
# 64-bit prefix and USBVM_RESULTS=/results. Everything guest.sh leaves in /results comes back into
# the --out folder, with guest.log (its output), guest.rc (its exit code), guest.done and
# console.log (the guest's console). guest.sh may call usbvm-publish to save partial results.
# Exits with guest.sh's exit code, or 1 when the guest did not finish.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
payload="" out="" timeout=900
while [ $# -gt 0 ]; do
  case "$1" in
    --payload) payload=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$payload" ] && [ -n "$out" ] || { echo "usage: run.sh --payload DIR --out DIR [--timeout SECONDS]" >&2; exit 2; }
[ -f "$payload/guest.sh" ] || { echo "run.sh: $payload/guest.sh is missing" >&2; exit 2; }

mkdir -p "$out"
# The runner's own files: a result of an earlier run must not pass for one of this run.
rm -f "$out/runner.status" "$out/console.log" "$out/guest.done" "$out/guest.rc" "$out/guest.log"
status() { echo "$*" >"$out/runner.status"; echo "usbvm runner: $*"; }
give_up() { status "$*"; exit 1; }

command -v qemu-system-x86_64 >/dev/null 2>&1 || give_up "cannot run: qemu-system-x86_64 is missing (scripts/bootstrap.sh installs it)"
image=$("$here/image.sh" | tail -n 1) || give_up "cannot run: the VM image could not be built"
[ -f "$image/ready" ] || give_up "cannot run: no VM image at $image"
touch "$image/last-used"   # keeps it from being dropped while this recipe is in use

work=$(mktemp -d "${TMPDIR:-/tmp}/usbvm.XXXXXX")
qemu_pid=""
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

tar -cf "$work/payload.tar" -C "$payload" .
truncate -s 1G "$work/results.raw"
qemu-img create -q -f qcow2 -b "$image/root.img" -F raw "$work/root.qcow2"

# The guest ends guest.sh this long before the host gives up, so that its results still come back.
inner=$(( timeout > 60 ? timeout - 30 : timeout * 3 / 4 ))
status "booting the USB guest (time-out ${timeout}s)"
started=$(date +%s)
# Emulation, not KVM: a guest kernel hangs under KVM here (as for the x86 runner).
timeout --foreground -k 20 "$timeout" qemu-system-x86_64 -accel tcg,thread=multi -smp 2 -cpu max,-smap,-pku \
  -m 4096 -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
  -append "root=/dev/vda rw console=ttyS0 init=/sbin/usbvm-init usbvm=run usbvm_timeout=$inner quiet panic=-1 sysrq_always_enabled=1" \
  -drive file="$work/root.qcow2",if=virtio,format=qcow2 \
  -drive file="$work/payload.tar",if=virtio,format=raw,readonly=on \
  -drive file="$work/results.raw",if=virtio,format=raw \
  -nographic -no-reboot -nic none </dev/null >"$out/console.log" 2>&1 &
qemu_pid=$!
# Show the guest's progress lines as they come.
tail -n +1 -f --pid="$qemu_pid" "$out/console.log" 2>/dev/null | grep --line-buffered -a '^usbvm:' | tr -d '\r' &
set +e
wait "$qemu_pid"
qemu_rc=$?
set -e
qemu_pid=""
sleep 1
took=$(( $(date +%s) - started ))

tar -xf "$work/results.raw" -C "$out" 2>/dev/null || true
if [ -f "$out/guest.done" ]; then
  rc=$(cat "$out/guest.rc" 2>/dev/null || echo 1)
  status "guest.sh ended with exit code $rc; the whole boot took ${took}s"
  exit "$rc"
fi
if [ "$qemu_rc" = 124 ] || [ "$qemu_rc" = 137 ]; then
  give_up "the guest timed out after ${took}s; console: $out/console.log"
fi
give_up "the guest stopped (qemu exit $qemu_rc) after ${took}s; console: $out/console.log"
