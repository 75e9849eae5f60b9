#!/usr/bin/env bash
# Runs the Bluetooth suite: both programs' real dialogs on real /dev/rfcomm ports of a
# real Linux Bluetooth stack (kernel and BlueZ in a qemu VM, two emulated controllers),
# against a remote device the suite drives (drops, kills, powers off, makes it send).
#
#   tests/bluetooth/run.sh [BUILD_DIR] [-- GTEST_ARGUMENTS...]
#
# BUILD_DIR (default build/ci) must hold the built tests/bluetooth/*_bluetooth_tests;
# it is shared read-only into the VM and the programs run there, one after the other,
# on the offscreen platform; GTEST_ARGUMENTS go to each. The VM image is built on first use and cached (see image.sh).
#
# When the VM cannot be had (no qemu, no image, no emulated Bluetooth) the suite fails
# under CI (CI=true) and is skipped, saying so, elsewhere. Any test failure fails it.
# SERIALPADS_BT_KEEP=1 keeps the run's folder (logs, results.xml, dmesg) for a look.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:-build/ci}
[ $# -gt 0 ] && shift
[ "${1:-}" = -- ] && shift
build=$(cd "$build" && pwd)
programs=(tests/bluetooth/sendpad_bluetooth_tests tests/bluetooth/recvpad_bluetooth_tests)
# The suite sets its Bluetooth ports up with the command a user would use; the remote
# answers a pairing through its own agent.
tools=(serialpads-ports/serialpads-ports tests/bluetooth/bluetooth_remote_agent)
# The whole VM run, boot to power-off; the suite itself takes about a minute.
limit=${SERIALPADS_BT_SECONDS:-420}

stage_name=bluetooth
# shellcheck source=../stage.sh
. "$here/../stage.sh"

for tool in qemu-system-x86_64 debootstrap mkfs.ext4; do
  command -v "$tool" > /dev/null || unavailable "$tool is missing (tools/install-deps.sh installs it)"
done
for program in "${programs[@]}" "${tools[@]}"; do
  [ -x "$build/$program" ] || { say "FAILED: $build/$program is not built (cmake --build $build --target bluetooth_tests)"; exit 1; }
done

started=$(date +%s.%N)
image=$("$here/image.sh") || unavailable "the VM image could not be built"
built=$(date +%s.%N)

job=$(mktemp -d -t serialpads-bt.XXXXXX)
finish() {
  if [ "${SERIALPADS_BT_KEEP:-}" = 1 ]; then say "run folder kept: $job"; else rm -rf "$job"; fi
}
trap finish EXIT
cp "$here/vm/init.sh" "$here/vm/remote.py" "$here/vm/controller.sh" "$job/"
cat > "$job/config" << CONFIG
SUITE_PROGRAMS="${programs[*]}"
SUITE_SECONDS=$limit
SUITE_ARGUMENTS="$*"
CONFIG

# qemu's option syntax doubles a comma inside a value.
escape() { printf '%s' "$1" | sed 's/,/,,/g'; }
# TCG: the machines this runs on hang under KVM. One vCPU, so the VM takes one core.
qemu=(qemu-system-x86_64 -accel tcg -m 1024 -smp 1 -nographic -no-reboot -nic none
  -kernel "$image/vmlinuz" -initrd "$image/initrd.img"
  -append "console=ttyS0 root=/dev/vda rw init=/sbin/serialpads-init panic=-1 quiet loglevel=3"
  -drive "file=$(escape "$image/rootfs.img"),format=raw,if=virtio,snapshot=on"
  -virtfs "local,path=$(escape "$job"),mount_tag=job,security_model=none,id=job"
  -virtfs "local,path=$(escape "$build"),mount_tag=build,security_model=none,readonly=on,id=build")

say "booting the VM (TCG) for ${limit} s at most"
set +e
timeout -k 5 "$limit" "${qemu[@]}" < /dev/null > "$job/console.log" 2>&1
qemu_status=$?
set -e
ended=$(date +%s.%N)

[ -f "$job/suite.log" ] && cat "$job/suite.log"
grep '^measured ' "$job/suite.log" 2> /dev/null | sed 's/^/bluetooth: /' >&2 || true
if [ -f "$job/timing" ]; then
  awk -v s="$started" -v b="$built" -v e="$ended" '
      { t[$1] = $2 }
      END { printf "bluetooth: image %.1f s, VM boot to ready %.1f s (of which kernel %.1f s), " \
                   "suite %.1f s, whole stage %.1f s\n", b - s, t["ready"], t["init"],
                   t["end"] - t["ready"], e - s }' "$job/timing" >&2
fi

if [ -f "$job/setup-failure" ]; then
  SERIALPADS_BT_KEEP=1
  tail -n 30 "$job/setup.log" >&2
  unavailable "the VM's Bluetooth stack did not come up: $(cat "$job/setup-failure")"
fi
if [ ! -f "$job/rc" ]; then
  SERIALPADS_BT_KEEP=1
  tail -n 30 "$job/console.log" >&2
  [ -f "$job/setup.log" ] && tail -n 30 "$job/setup.log" >&2
  if [ -f "$job/timing" ] && grep -q '^ready ' "$job/timing"; then
    say "FAILED: the suite did not finish within ${limit} s (qemu status $qemu_status)"
    exit 1
  fi
  unavailable "the VM did not start (qemu status $qemu_status)"
fi
status=$(cat "$job/rc")
if [ "$status" != 0 ]; then
  SERIALPADS_BT_KEEP=1
  say "FAILED: the suite exited with status $status"
  exit 1
fi
say "passed"
