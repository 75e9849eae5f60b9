#!/bin/bash
# The Bluetooth test VM's own start-up, run as its first process from the run's share
# (/run/job). Makes two emulated BR/EDR controllers that reach each other (btvirt over
# /dev/vhci), binds the local one's rfcomm ports to the other one, runs the test
# programs from the shared build tree, leaves their output and exit status in /run/job,
# and powers the VM off.
#
#   /dev/rfcomm0  the remote device, channel 1    (the suite's remote listens there)
#   /dev/rfcomm1  an address no controller has    (a remote out of reach)
#   /dev/rfcomm2  the remote device, channel 2    (nobody listens)
#   /dev/rfcomm3  the remote device, channel 3    (accepts, reads nothing)
#
# Each test program runs twice: as root for the cases on these bound nodes, and as an
# ordinary user (not root, not in dialout) for the cases named AsUser*, which reach the
# remote by address over an RFCOMM socket as any user may. Switching a controller off
# and on needs root, so a small service run by root does it for that user.
#
# The test programs find the addresses, channels and tools in their environment
# (SERIALPADS_BT_*). Whatever goes wrong, the VM powers off, so the host never waits for
# more than its own time limit.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8
job=/run/job
exec > "$job/setup.log" 2>&1
set -x
. "$job/config"
uptime() { cut -d' ' -f1 /proc/uptime; }
echo "init $(uptime)" > "$job/timing"
echo 1 > /proc/sys/kernel/sysrq

power_off() {
  echo "end $(uptime)" >> "$job/timing"
  dmesg > "$job/dmesg.txt" 2>/dev/null
  sync
  echo o > /proc/sysrq-trigger
  sleep 60
}
fail() {
  echo "$*" > "$job/setup-failure"
  power_off
}

mkdir -p /mnt/build
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose,ro build /mnt/build ||
  fail "the build tree is not shared into the VM"
hostname serialpads-bt
ip link set lo up

modprobe hci_vhci || fail "no hci_vhci module"
modprobe rfcomm || fail "no rfcomm module"
btvirt -l2 > /run/btvirt.log 2>&1 &
for _ in $(seq 200); do
  [ -e /sys/class/bluetooth/hci1 ] && break
  sleep 0.05
done
[ -e /sys/class/bluetooth/hci0 ] && [ -e /sys/class/bluetooth/hci1 ] ||
  fail "btvirt made no controllers: $(cat /run/btvirt.log)"
# Plain BR/EDR without Secure Simple Pairing: no agent or bluetoothd is needed to
# connect. btmgmt prints nothing without a terminal, but its settings take effect.
# On a busy machine the emulated controller can miss the kernel's 2 s command time-out
# while it starts (the kernel logs "Opcode 0x0c03 failed: -110" and leaves it down), so
# powering on is tried again until the controller runs.
for index in 0 1; do
  btmgmt --index $index power off < /dev/null
  btmgmt --index $index ssp off < /dev/null
  btmgmt --index $index bredr on < /dev/null
  btmgmt --index $index bondable on < /dev/null
  btmgmt --index $index connectable on < /dev/null
  "$job/controller.sh" $index on || fail "hci$index does not come up"
done
address() { hciconfig "$1" | sed -n 's/.*BD Address: \([0-9A-F:]*\).*/\1/p'; }
local_address=$(address hci0)
remote_address=$(address hci1)
case "$local_address $remote_address" in
  *00:00:00:00:00:00* | " "* | *" ") fail "the controllers have no addresses" ;;
esac
absent_address=00:5E:00:53:00:01

rfcomm -i hci0 bind 0 "$remote_address" 1 || fail "rfcomm bind 0"
rfcomm -i hci0 bind 1 "$absent_address" 1 || fail "rfcomm bind 1"
rfcomm -i hci0 bind 2 "$remote_address" 2 || fail "rfcomm bind 2"
rfcomm -i hci0 bind 3 "$remote_address" 3 || fail "rfcomm bind 3"
for _ in $(seq 100); do
  [ -c /dev/rfcomm3 ] && break
  sleep 0.05
done
[ -c /dev/rfcomm0 ] && [ -c /dev/rfcomm3 ] || fail "the rfcomm nodes did not appear"

# The ordinary user, in no group but its own.
# Written directly: the disk is a throw-away snapshot, and minbase may lack useradd.
user_id=1000 group_id=1000
echo "pad:x:$user_id:$group_id:serialpads test user:/home/pad:/bin/bash" >> /etc/passwd
echo "pad:x:$group_id:" >> /etc/group
mkdir -p -m 755 /home/pad
chown "$user_id:$group_id" /home/pad
mkdir -p -m 700 "/run/user/$user_id"
chown "$user_id:$group_id" "/run/user/$user_id"
# The controller service for that user: one "INDEX on|off" a line, the status back.
control=/run/serialpads-control
mkdir -p -m 755 "$control"
mkfifo -m 666 "$control/request" "$control/reply"
touch "$control/lock"
chmod 666 "$control/lock"
(
  while true; do
    read -r index state < "$control/request" || continue
    "$job/controller.sh" "$index" "$state" >> /run/controller.log 2>&1
    echo $? > "$control/reply"
  done
) &
rfcomm -a
echo "ready $(uptime)" >> "$job/timing"
set +x

export SERIALPADS_BT_REMOTE_ADDRESS=$remote_address
export SERIALPADS_BT_REMOTE_INDEX=1
# The run's share is this run's private folder; the ordinary user reads the tools from
# a copy.
mkdir -p -m 755 /run/tools
cp "$job/remote.py" "$job/controller.sh" /run/tools/
chmod 755 /run/tools/*
export SERIALPADS_BT_TOOLS=/run/tools
export QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8 XDG_RUNTIME_DIR=/run/user/0
# No port directory: port n is /dev/rfcomm<n-1>, as on a machine set up for Bluetooth.
unset SERIALPADS_PORTS XDG_CONFIG_HOME
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
cd /tmp
# The VM's own limit ends a program before the host's ends the VM, so what was written
# so far still comes back.
status=0
for program in $SUITE_PROGRAMS; do
  name=$(basename "$program")
  left=$(awk -v limit="$SUITE_SECONDS" '{ left = int(limit - $1 - 10); print (left < 10 ? 10 : left) }' /proc/uptime)
  echo "== $name" >> "$job/suite.log"
  timeout -k 5 "$left" "/mnt/build/$program" --gtest_output="xml:$job/$name.xml" \
    --gtest_filter='-*AsUser*:*OnBluezStack*' $SUITE_ARGUMENTS < /dev/null >> "$job/suite.log" 2>&1 || status=1
  echo "== $name as user pad" >> "$job/suite.log"
  left=$(awk -v limit="$SUITE_SECONDS" '{ left = int(limit - $1 - 10); print (left < 10 ? 10 : left) }' /proc/uptime)
  HOME=/home/pad USER=pad LOGNAME=pad XDG_RUNTIME_DIR=/run/user/$user_id \
    timeout -k 5 "$left" setpriv --reuid="$user_id" --regid="$group_id" --init-groups \
    "/mnt/build/$program" --gtest_output="xml:/tmp/$name-user.xml" \
    --gtest_filter='*AsUser*' $SUITE_ARGUMENTS < /dev/null >> "$job/suite.log" 2>&1 || status=1
  cp "/tmp/$name-user.xml" "$job/" 2>/dev/null
done

# Then with BlueZ's daemon on the system bus, managing both controllers: the remote is
# discoverable under a name, serves its service records and pairs only with its PIN;
# the ordinary user finds it, pairs it, names it and reaches the channel its record
# gives. A step that fails here fails the suite: the phase is no part of the setup.
echo "== with bluetoothd" >> "$job/setup.log"
on_bluez() {
  echo "== $1 with bluetoothd, as user pad: $2" >> "$job/suite.log"
  left=$(awk -v limit="$SUITE_SECONDS" '{ left = int(limit - $1 - 10); print (left < 10 ? 10 : left) }' /proc/uptime)
  SERIALPADS_BT_REMOTE_NAME=SerialModule SERIALPADS_BT_REMOTE_AGENT_LOG=/run/remote-agent.log \
    HOME=/home/pad USER=pad LOGNAME=pad XDG_RUNTIME_DIR=/run/user/$user_id \
    timeout -k 5 "$left" setpriv --reuid="$user_id" --regid="$group_id" --init-groups \
    "/mnt/build/tests/bluetooth/$1" --gtest_output="xml:/tmp/bluez-$3.xml" \
    --gtest_filter="$2" < /dev/null >> "$job/suite.log" 2>&1 || status=1
  cp "/tmp/bluez-$3.xml" "$job/" 2>/dev/null
}
bluez_failed() {
  echo "FAILED: with bluetoothd: $*" >> "$job/suite.log"
  status=1
}
set -x
mkdir -p /run/dbus
dbus-uuidgen --ensure
dbus-daemon --system --fork
/usr/libexec/bluetooth/bluetoothd -n -C > /run/bluetoothd.log 2>&1 &
for _ in $(seq 100); do
  [ "$(bluetoothctl list < /dev/null 2> /dev/null | grep -c Controller)" = 2 ] && break
  sleep 0.1
done
bluetoothctl list < /dev/null
# The remote stands for a module of the HC-05 kind: it pairs the legacy way only, with
# a PIN, and its inquiry answer carries no extended data (its name is asked for).
# bluetoothd switches Secure Simple Pairing on for every controller it takes; switched
# off on a running controller, the kernel only clears its own flag, so the emulated
# controller is told directly too (Write Simple Pairing Mode, then an empty Write
# Extended Inquiry Response). The local side keeps what bluetoothd chose, as a desktop
# would.
btmgmt --index 1 ssp off < /dev/null
hcitool -i hci1 cmd 0x03 0x0056 0x00 > /dev/null
# shellcheck disable=SC2046 # 240 separate bytes
hcitool -i hci1 cmd 0x03 0x0052 0x00 $(printf '0x00 %.0s' $(seq 240)) > /dev/null
hciconfig hci1 sspmode | grep -q 'Simple Pairing mode: Disabled' ||
  bluez_failed "the remote's controller still does Secure Simple Pairing"
btmgmt --index 1 name SerialModule < /dev/null
hciconfig hci1 piscan
btmgmt --index 1 connectable on < /dev/null
# The remote's own pairing agent: the default one, so that the PIN request reaching
# the remote's controller goes to it. Its input stays open until the VM ends.
mkfifo /run/remote-agent.in
/mnt/build/tests/bluetooth/bluetooth_remote_agent hci1 1234 < /run/remote-agent.in \
  > /run/remote-agent.log 2>&1 &
exec 9> /run/remote-agent.in
for _ in $(seq 100); do
  grep -q '^ready' /run/remote-agent.log && break
  sleep 0.1
done
grep -q '^ready' /run/remote-agent.log || bluez_failed "the remote's agent did not start: $(cat /run/remote-agent.log)"
chmod 644 /run/remote-agent.log
sleep 1
hciconfig -a hci1
set +x
# In the order a user takes: find, pair, name, sendpad's Connect; recvpad on a port set
# by name; then a device that offers no serial port.
on_bluez sendpad_bluetooth_tests '*OnBluezStack*:-*NoSerialPort*' sendpad
on_bluez recvpad_bluetooth_tests '*OnBluezStack*' recvpad
on_bluez sendpad_bluetooth_tests '*OnBluezStack*NoSerialPort*' no-serial-port
cp /run/bluetoothd.log /run/remote-agent.log "$job/" 2>/dev/null
echo $status > "$job/rc"
rfcomm -a >> "$job/setup.log" 2>&1
power_off
