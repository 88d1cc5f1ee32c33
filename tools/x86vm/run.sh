#!/usr/bin/env bash
# Runs Windows x86 programs in one boot of the x86 guest and brings back each job's outcome.
#   run.sh --bin DIR --jobs FILE --overrides FILE --out DIR [--timeout SECONDS] [--winedebug CHANNELS]
# DIR holds the programs and their DLLs; FILE lists the jobs, one per line, tab-separated:
# name, time-out in seconds, lane (1 or 2: the two lanes run side by side), program, then each
# argument in a field of its own (an argument may hold blanks, not tabs).
# Each job leaves NAME.out, NAME.err, NAME.rc and NAME.seconds in the results folder; the
# runner's own verdict is in runner.status. Exits non-zero when the guest did not run every job.
# Of the results folder only the files this run writes are replaced; whatever else is there stays.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bin="" jobs="" overrides="" out="" timeout=1800 winedebug="-all"
while [ $# -gt 0 ]; do
  case "$1" in
    --bin) bin=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --overrides) overrides=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --winedebug) winedebug=$2; shift 2 ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$bin" ] && [ -n "$jobs" ] && [ -n "$out" ] || { echo "usage: run.sh --bin DIR --jobs FILE --out DIR [...]" >&2; exit 2; }

mkdir -p "$out"
# The files of the jobs named in FILE and the runner's own: a result of an earlier run must not
# pass for one of this run.
tab=$(printf '\t')
while IFS="$tab" read -r name _; do
  case "$name" in
    ''|*/*) continue ;;
  esac
  rm -f "$out/$name.out" "$out/$name.err" "$out/$name.rc" "$out/$name.seconds" "$out/$name.hang"
done <"$jobs"
rm -f "$out/runner.status" "$out/console.log" "$out/guest.done"
status() { echo "$*" >"$out/runner.status"; echo "x86 runner: $*"; }
give_up() { status "$*"; exit 1; }

command -v qemu-system-x86_64 >/dev/null 2>&1 || give_up "cannot run: qemu-system-x86_64 is missing (scripts/bootstrap.sh installs it)"
image=$("$here/image.sh" | tail -n 1) || give_up "cannot run: the VM image could not be built (see the x86vm_image test)"
[ -f "$image/ready" ] || give_up "cannot run: no VM image at $image"
touch "$image/last-used"   # keeps it from being dropped while this recipe is in use

work=$(mktemp -d "${TMPDIR:-/tmp}/x86vm.XXXXXX")
qemu_pid=""
cleanup() {
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/payload/bin"
cp -a "$bin"/. "$work/payload/bin/"
cp "$jobs" "$work/payload/jobs.txt"
if [ -n "$overrides" ]; then cp "$overrides" "$work/payload/overrides.reg"; else echo REGEDIT4 >"$work/payload/overrides.reg"; fi
cp "$here/guest.sh" "$work/payload/guest.sh"
# The run's settings reach the guest as a file that guest.sh sources; each value single-quoted.
quote() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }
printf 'X86VM_WINEDEBUG=%s\n' "$(quote "$winedebug")" >"$work/payload/guest.env"
tar -cf "$work/payload.tar" -C "$work/payload" .
truncate -s 1G "$work/results.raw"
qemu-img create -q -f qcow2 -b "$image/root.img" -F raw "$work/root.qcow2"

count=$(grep -c . "$jobs" || true)
status "booting the x86 guest for $count jobs (time-out ${timeout}s)"
started=$(date +%s)
# Emulation, not KVM: a guest kernel hangs under KVM here. SMAP and PKU off: with SMAP the
# emulated iret in Wine's 32-bit code faults and the kernel kills the process.
timeout --foreground -k 20 "$timeout" qemu-system-x86_64 -accel tcg,thread=multi -smp 2 -cpu max,-smap,-pku \
  -m 3072 -kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
  -append "root=/dev/vda rw console=ttyS0 init=/sbin/x86vm-init x86vm=run quiet panic=-1 sysrq_always_enabled=1" \
  -drive file="$work/root.qcow2",if=virtio,format=qcow2 \
  -drive file="$work/payload.tar",if=virtio,format=raw,readonly=on \
  -drive file="$work/results.raw",if=virtio,format=raw \
  -nographic -no-reboot -nic none </dev/null >"$out/console.log" 2>&1 &
qemu_pid=$!
# Show the guest's progress lines as they come.
tail -n +1 -f --pid="$qemu_pid" "$out/console.log" 2>/dev/null | grep --line-buffered -a '^x86vm:' | tr -d '\r' &
set +e
wait "$qemu_pid"
qemu_rc=$?
set -e
qemu_pid=""
sleep 1
took=$(( $(date +%s) - started ))

tar -xf "$work/results.raw" -C "$out" 2>/dev/null || true
ran=$(ls "$out"/*.rc 2>/dev/null | wc -l)
if [ -f "$out/guest.done" ]; then
  status "the guest ran all $ran jobs in ${took}s"
  exit 0
fi
if [ "$qemu_rc" = 124 ] || [ "$qemu_rc" = 137 ]; then
  give_up "the guest timed out after ${took}s with $ran of $count jobs done; console: $out/console.log"
fi
give_up "the guest stopped (qemu exit $qemu_rc) after ${took}s with $ran of $count jobs done; console: $out/console.log"
