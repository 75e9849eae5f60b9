#!/usr/bin/env bash
# Runs a command as root inside a Debian system made with debootstrap, as on a machine
# running that system: /proc, /sys, /dev, /dev/pts (a private instance, so the tests'
# pseudo-terminals are the system's own) and /dev/shm are mounted for it.
#
#   tests/debian13/enter.sh [--overlay DIR] [--bind HOST_DIR DIR] ROOT COMMAND...
#
# With --overlay, ROOT stays unchanged: the command sees it through an overlay whose
# changes go to DIR (removed by the caller), so a cached system serves run after run.
# --bind shows HOST_DIR at DIR inside (a compiler cache that outlives the overlay).
#
# Everything happens in private mount and PID namespaces: when the command ends, however
# it ends, the kernel unmounts what was mounted and ends every process the command left
# running (an X server, a compositor), so nothing is left behind on the host.
set -euo pipefail

if [ "${SERIALPADS_ENTERED:-}" != 1 ]; then
  exec env SERIALPADS_ENTERED=1 unshare --mount --pid --fork --kill-child \
    --propagation private "$0" "$@"
fi
unset SERIALPADS_ENTERED

overlay=""
bind=()
while [ $# -gt 0 ]; do
  case "$1" in
    --overlay) overlay=$2; shift 2 ;;
    --bind) bind=("$2" "$3"); shift 3 ;;
    *) break ;;
  esac
done
root=$1
shift

if [ -n "$overlay" ]; then
  mkdir -p "$overlay/upper" "$overlay/work" "$overlay/root"
  mount -t overlay overlay \
    -o "lowerdir=$root,upperdir=$overlay/upper,workdir=$overlay/work" "$overlay/root"
  root=$overlay/root
fi

# The namespace goes away with this process anyway; unmounting first also covers a
# kernel that keeps the namespace alive a moment longer.
unmount() {
  local point
  [ ${#bind[@]} -eq 0 ] || umount -l "$root${bind[1]}" 2> /dev/null || true
  for point in dev/shm dev/pts dev sys proc; do
    umount -l "$root/$point" 2> /dev/null || true
  done
  [ -z "$overlay" ] || umount -l "$root" 2> /dev/null || true
}
trap unmount EXIT

mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --bind /dev "$root/dev"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5 devpts "$root/dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
if [ ${#bind[@]} -gt 0 ]; then
  mkdir -p "$root${bind[1]}"
  mount --bind "${bind[0]}" "$root${bind[1]}"
fi
# Name resolution as on the host, for apt.
cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2> /dev/null || true

# A clean environment, as a login would give; the proxy apt uses here is kept for apt.
environment=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
  LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}")
# What the caller passes on by name (SERIALPADS_PASS="NAME..."), such as ccache's settings.
for name in ${SERIALPADS_PASS:-}; do
  environment+=("$name=${!name:-}")
done
proxy=""
eval "$(apt-config shell proxy Acquire::http::Proxy 2> /dev/null || true)"
[ -z "$proxy" ] || environment+=(http_proxy="$proxy")
chroot "$root" /usr/bin/env -i "${environment[@]}" "$@"
