#!/usr/bin/env bash
# Builds the disk image of the Bluetooth test VM, or finds it already built, and prints
# its directory (holding vmlinuz, initrd.img and rootfs.img).
#
# The image is Debian 12 made with debootstrap from the mirror apt is configured with on
# this machine (read from the apt sources now, never written down here): its kernel,
# BlueZ with the btvirt emulator, Python for the emulated remote device, and the Qt
# runtime the test program needs. It is cached outside the repository, under
# ${SERIALPADS_BTVM_CACHE:-${XDG_CACHE_HOME:-~/.cache}/serialpads-btvm}, in a folder
# named after a digest of the package list and the recipe's version, so a change to
# either builds a new image and an unchanged recipe reuses the old one. Older images are
# removed once a new one is complete.
#
# The image never holds the project's code: each run shares the build tree and the
# suite's own scripts into the VM, and the image's first process only hands over to
# the shared init script.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

suite=bookworm
# Bump when the steps below change in a way that makes older images wrong.
recipe=1
packages=(
  linux-image-amd64 kmod procps iproute2 util-linux
  # the Bluetooth stack: two emulated controllers (btvirt), rfcomm, btmgmt, hciconfig;
  # debootstrap does not pull in bluez's D-Bus dependency by itself
  dbus bluez bluez-test-tools
  # the emulated remote device
  python3
  # what the test program links against, and a font for the offscreen platform
  libqt6widgets6 libqt6gui6 libqt6test6 fonts-dejavu-core
)

cache=${SERIALPADS_BTVM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/serialpads-btvm}
key=$(printf '%s\n' "$recipe" "$suite" "${packages[@]}" | sha256sum | cut -c1-16)
image=$cache/image-$key

log() { echo "bluetooth image: $*" >&2; }

build() {
  local started mirror root kernel modules size
  started=$(date +%s)
  mirror=$("$here/../../tools/apt-mirror.sh" "$suite") || return 1
  # debootstrap fetches with wget, which reads the proxy from the environment only.
  local proxy=""
  eval "$(apt-config shell proxy Acquire::http::Proxy)"
  [ -n "$proxy" ] && export http_proxy=$proxy

  rm -rf "$image.tmp"
  mkdir -p "$image.tmp"
  root=$image.tmp/root
  log "building $key with debootstrap ($suite, takes a few minutes)"
  if ! nice -n 19 debootstrap --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" \
      "$suite" "$root" "$mirror" > "$image.tmp/debootstrap.log" 2>&1 ||
      grep -q '^W: Failure' "$image.tmp/debootstrap.log"; then
    log "debootstrap failed; the end of $image.tmp/debootstrap.log:"
    tail -n 20 "$image.tmp/debootstrap.log" >&2
    return 1
  fi
  # The cached files do not keep the mirror's name; apt is never used in the VM.
  sed -i "s|$mirror|<mirror>|g" "$image.tmp/debootstrap.log"
  echo "# apt is not used in the Bluetooth test VM" > "$root/etc/apt/sources.list"
  rm -f "$root/var/log/bootstrap.log"

  kernel=$(ls "$root/lib/modules" | head -n1)
  # Drop what a VM without hardware never loads; the image gets much smaller to write.
  rm -rf "$root"/var/cache/apt/archives/*.deb "$root"/var/lib/apt/lists/* \
    "$root"/usr/share/doc/* "$root"/usr/share/man/* "$root"/usr/share/locale/*
  modules=$root/lib/modules/$kernel/kernel
  rm -rf "$modules"/sound "$modules"/drivers/{gpu,media,infiniband,staging,iio,isdn,comedi} \
    "$modules"/drivers/{scsi,target,mtd,hid,input,usb,md} \
    "$modules"/drivers/net/{wireless,ethernet} "$modules"/net/{wireless,mac80211} \
    "$modules"/fs/{xfs,btrfs,ocfs2,nfs,ceph,smb,gfs2}
  nice -n 19 chroot "$root" depmod -a "$kernel"

  # A small initramfs with just what mounting the virtio disk needs.
  sed -i 's/^MODULES=.*/MODULES=list/' "$root/etc/initramfs-tools/initramfs.conf"
  printf '%s\n' virtio_pci virtio_blk ext4 crc32c_generic >> "$root/etc/initramfs-tools/modules"
  nice -n 19 chroot "$root" update-initramfs -u -k "$kernel" > "$image.tmp/initramfs.log" 2>&1 ||
    { log "update-initramfs failed"; tail -n 20 "$image.tmp/initramfs.log" >&2; return 1; }

  # The first process: mounts the run's share and hands over to its init script. With
  # no share it powers the VM off at once, so a broken run cannot hang.
  cat > "$root/sbin/serialpads-init" <<'INIT'
#!/bin/sh
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mkdir -p /dev/pts /dev/shm /run/job
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
mkdir -p /run/job
modprobe 9pnet_virtio
modprobe 9p
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=none job /run/job &&
  [ -f /run/job/init.sh ]; then
  exec /bin/bash /run/job/init.sh
fi
echo "serialpads-init: the run's share is missing" >&2
echo 1 > /proc/sys/kernel/sysrq
echo o > /proc/sysrq-trigger
sleep 60
INIT
  chmod 755 "$root/sbin/serialpads-init"

  cp "$root/boot/vmlinuz-$kernel" "$image.tmp/vmlinuz"
  cp "$root/boot/initrd.img-$kernel" "$image.tmp/initrd.img"
  size=$(($(du -sm "$root" | cut -f1) + 200))
  nice -n 19 mkfs.ext4 -q -F -L serialpads-bt -d "$root" "$image.tmp/rootfs.img" "${size}M"
  rm -rf "$root"
  echo $(($(date +%s) - started)) > "$image.tmp/build-seconds"
  mv "$image.tmp" "$image"
  log "built in $(cat "$image/build-seconds") s: $image"
}

# shellcheck source=../stage.sh
. "$here/../stage.sh"
build_once "$cache" image "$key" "$image/rootfs.img" build
echo "$image"
