#!/bin/bash
# Powers an emulated Bluetooth controller off or on, as a device that is switched off
# or goes out of range, and waits until the kernel reports the new state.
#   controller.sh INDEX off|on
#   controller.sh sdp on|off
# btmgmt returns before the kernel has finished. On a busy machine the emulated
# controller can miss the kernel's 2 s command time-out while it starts (the kernel logs
# "Opcode 0x0c03 failed: -110"); the kernel then leaves it down and the management
# interface no longer offers it, so it is brought up directly and tried again.
set -u
index=$1 state=$2
# The suite's ordinary user may not switch controllers; a service run by root at
# start-up does it for them (init.sh), one request at a time.
control=/run/serialpads-control
if [ "$(id -u)" != 0 ] && [ -p "$control/request" ]; then
  exec 8> "$control/lock"
  flock 8
  echo "$index $state" > "$control/request"
  read -r status < "$control/reply"
  exit "${status:-1}"
fi
# "sdp on|off": the remote offers its Serial Port service on channel 5, or none (the
# record lives in bluetoothd's service database, reached in its compatibility mode).
if [ "$index" = sdp ]; then
  if [ "$state" = on ]; then
    sdptool add --channel=5 SP
  else
    for handle in $(sdptool search --bdaddr local SP | sed -n 's/^Service RecHandle: //p'); do
      sdptool del "$handle"
    done
  fi
  exit $?
fi
settled() {
  for _ in $(seq 30); do
    hciconfig "hci$index" | grep -q "$1" && return 0
    sleep 0.1
  done
  return 1
}
for _ in 1 2 3 4 5; do
  if [ "$state" = on ]; then
    btmgmt --index "$index" power on < /dev/null > /dev/null 2>&1
    btmgmt --index "$index" connectable on < /dev/null > /dev/null 2>&1
    settled 'UP RUNNING' && exit 0
    hciconfig "hci$index" up
    btmgmt --index "$index" connectable on < /dev/null > /dev/null 2>&1
    settled 'UP RUNNING' && exit 0
  else
    btmgmt --index "$index" power off < /dev/null > /dev/null 2>&1
    settled DOWN && exit 0
  fi
done
echo "controller.sh: hci$index did not go $state" >&2
hciconfig "hci$index" >&2
exit 1
