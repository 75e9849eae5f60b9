#!/usr/bin/env bash
# Starts sendpad and recvpad from a build directory.
#
# With a serial device set up (a port directory with entries, or a Bluetooth port
# /dev/rfcommN), both programs start on it as they are. Without one, or with --virtual,
# they start on a virtual serial pair: socat joins two pseudo-terminals, linked as com1
# and com2 in a private port directory, so what sendpad sends on port 1 appears in
# recvpad on port 2. The pair and the directory go away when both programs have ended.
set -euo pipefail

build=${1:?usage: run-programs.sh BUILD_DIR [--virtual|--device]}
mode=${2:-auto}
sendpad=$build/sendpad/sendpad
recvpad=$build/recvpad/recvpad

ports_dir=${SERIALPADS_PORTS:-${XDG_CONFIG_HOME:-$HOME/.config}/serialpads/ports}
has_device() {
  compgen -G "$ports_dir/com[1-9]" >/dev/null || compgen -G "/dev/rfcomm[0-8]" >/dev/null
}

if [ "$mode" = --device ] || { [ "$mode" = auto ] && has_device; }; then
  echo "Using the ports in $ports_dir (or /dev/rfcommN where it has no entry)."
  "$sendpad" & "$recvpad" &
  wait
  exit 0
fi

command -v socat >/dev/null || { echo "socat is needed for the virtual pair: tools/install-deps.sh" >&2; exit 1; }
pair=$(mktemp -d "${TMPDIR:-/tmp}/serialpads-pair.XXXXXX")
socat_pid=
cleanup() {
  set +e
  exec 3>&- 4>&-
  if [ -n "$socat_pid" ]; then
    kill "$socat_pid" 2>/dev/null
    wait "$socat_pid" 2>/dev/null
  fi
  rm -rf "$pair"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

socat pty,raw,echo=0,link="$pair/com1" pty,raw,echo=0,link="$pair/com2" &
socat_pid=$!
for _ in $(seq 100); do
  [ -e "$pair/com1" ] && [ -e "$pair/com2" ] && break
  sleep 0.05
done
[ -e "$pair/com1" ] && [ -e "$pair/com2" ] || { echo "socat did not make the pair" >&2; exit 1; }

# Holding both ends open keeps the pair alive when a program disconnects: otherwise
# socat sees the pseudo-terminal hang up and ends.
exec 3<>"$pair/com1" 4<>"$pair/com2"

echo "Virtual serial pair: port 1 ($(readlink "$pair/com1")) <-> port 2 ($(readlink "$pair/com2"))."
echo "Connect sendpad on port 1 and recvpad on port 2."
export SERIALPADS_PORTS=$pair
"$sendpad" & send_pid=$!
"$recvpad" & recv_pid=$!
wait "$send_pid" "$recv_pid" || true
