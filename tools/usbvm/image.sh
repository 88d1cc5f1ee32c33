#!/usr/bin/env bash
# Builds the USB guest's VM image once and prints its directory. The image is a Debian 12 guest
# with the generic kernel (it has the emulated USB controller, the gadget framework and FunctionFS
# as modules; the cloud kernel has no USB at all), libusb, usbutils and 64-bit Wine with a ready
# prefix, all from Debian's packages. It lives in a cache outside the clone, keyed by this recipe:
# later runs reuse it, a changed recipe builds a new one. Images that no run has used for a day
# are dropped then (another clone on the machine may still use an older recipe).
#   image.sh            build if needed; print the image directory on the last line
#   image.sh --key      print the recipe key only
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache_root="${USBVM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/varko-usbvm}"
key=$(cat "$here/image.sh" "$here/guest-init" "$here/usbvm-publish" | sha256sum | cut -c1-16)
[ "${1:-}" = --key ] && { echo "$key"; exit 0; }
image="$cache_root/$key"

say() { echo "usbvm image: $*" >&2; }
fail() { say "$*"; exit 1; }

[ -f "$image/ready" ] && { echo "$image"; exit 0; }

for tool in qemu-system-x86_64 qemu-img debootstrap mke2fs flock; do
  command -v "$tool" >/dev/null 2>&1 || fail "cannot build: '$tool' is missing (scripts/bootstrap.sh installs it)"
done
[ "$(id -u)" = 0 ] || fail "cannot build: building the guest root (debootstrap, chroot) needs root"

mkdir -p "$cache_root"
exec 9>"$cache_root/.lock"
flock 9   # another run may be building the same image
[ -f "$image/ready" ] && { echo "$image"; exit 0; }

# The machine's own Debian mirror: deb822 sources first, the classic list on a bare debootstrap.
mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null \
         | grep -v security | head -n 1 || true)
if [ -z "$mirror" ]; then
  mirror=$(sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]*\)[[:space:]]\+bookworm[[:space:]].*/\2/p' \
           /etc/apt/sources.list 2>/dev/null | head -n 1 || true)
fi
mirror=${mirror:-http://deb.debian.org/debian}

started=$(date +%s)
work="$cache_root/build-$key"
root="$work/root"
cleanup() {
  for m in dev/pts dev proc sys; do mountpoint -q "$root/$m" 2>/dev/null && umount -l "$root/$m"; done
  rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work"

say "building $image from $mirror (about 8 minutes, once per machine)"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 \
  || { tail -n 20 "$work/debootstrap.log" >&2; fail "debootstrap failed"; }

mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
{
  in_root apt-get update -qq
  in_root apt-get install -y -qq --no-install-recommends \
    linux-image-amd64 initramfs-tools kmod libusb-1.0-0 usbutils libstdc++6 strace \
    wine wine64
  in_root apt-get clean
} >"$work/packages.log" 2>&1 || { tail -n 20 "$work/packages.log" >&2; fail "installing the guest packages failed"; }
for m in dev/pts dev proc; do umount "$root/$m"; done

install -m 0755 "$here/guest-init" "$root/sbin/usbvm-init"
install -m 0755 "$here/usbvm-publish" "$root/usr/local/bin/usbvm-publish"
echo usbvm > "$root/etc/hostname"
kernel=$(ls "$root"/boot/vmlinuz-* | head -n 1)
initrd=$(ls "$root"/boot/initrd.img-* | head -n 1)
[ -f "$kernel" ] && [ -f "$initrd" ] || fail "the guest kernel or its initramfs is missing"
cp "$kernel" "$work/vmlinuz"
cp "$initrd" "$work/initrd.img"
# The kernel's release, for anyone who builds against it.
basename "$kernel" | sed 's/^vmlinuz-//' >"$work/kernel-release"
rm -rf "$root/var/lib/apt/lists"/* "$root/usr/share/doc" "$root/usr/share/man"
mke2fs -q -t ext4 -d "$root" -F "$work/root.img" 6G >"$work/mke2fs.log" 2>&1 \
  || { cat "$work/mke2fs.log" >&2; fail "making the root disk failed"; }
rm -rf "$root"

# Create the 64-bit prefix once, in the image itself: about half a minute per boot saved. The same
# boot checks that the USB modules load.
say "creating the 64-bit Wine prefix inside the guest"
timeout 900 qemu-system-x86_64 -accel tcg,thread=multi -smp 2 -cpu max,-smap,-pku -m 4096 \
  -kernel "$work/vmlinuz" -initrd "$work/initrd.img" \
  -append "root=/dev/vda rw console=ttyS0 init=/sbin/usbvm-init usbvm=prepare quiet panic=-1 sysrq_always_enabled=1" \
  -drive file="$work/root.img",if=virtio,format=raw -nographic -no-reboot -nic none \
  </dev/null >"$work/prepare.log" 2>&1 || true
grep -q "usbvm: usb modules ok" "$work/prepare.log" \
  || { tail -n 30 "$work/prepare.log" >&2; fail "the guest could not load its USB modules"; }
grep -q "usbvm: prefix ready" "$work/prepare.log" \
  || { tail -n 30 "$work/prepare.log" >&2; fail "the guest could not create its Wine prefix"; }

mkdir -p "$image"
mv "$work/vmlinuz" "$work/initrd.img" "$work/root.img" "$work/kernel-release" "$image/"
date -u +%FT%TZ > "$image/ready"
echo "$(( $(date +%s) - started ))" > "$image/build-seconds"
touch "$image/last-used"
for old in "$cache_root"/*/; do
  old=${old%/}
  [ "$old" = "$image" ] && continue
  [ -n "$(find "$old" -maxdepth 1 -name last-used -mmin -1440 2>/dev/null)" ] || rm -rf "$old"
done
say "ready in $(( $(date +%s) - started )) s"
echo "$image"
