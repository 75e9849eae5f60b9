#!/bin/sh
# Window responsiveness (the window manager's ping) and the cost of a text stream, for
# the given builds or installations and for Debian's gtkterm, all in one run on one
# private Xvfb display. See README.md, "Live window and streaming cost".
#
# Usage: bench/live_probe.sh [--trace] [--out DIR] [--stream-seconds N] DIR [DIR...]
#   Each DIR is an installation prefix (bin/sendpad) or a CMake build directory
#   (sendpad/sendpad); it is labelled by its last path component, or LABEL=DIR.
#   --trace also runs strace and perf on each recvpad while it streams.
# Needs: Xvfb, xdotool, xclip, python3, a C compiler, gtkterm (installed with apt-get
# when missing and run as root), strace and perf for --trace.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out=
trace=
seconds=30
while [ $# -gt 0 ]; do
    case $1 in
    --trace) trace=--trace; shift ;;
    --out) out=$2; shift 2 ;;
    --stream-seconds) seconds=$2; shift 2 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) break ;;
    esac
done
if [ $# -eq 0 ]; then
    echo "usage: $0 [--trace] [--out DIR] [--stream-seconds N] DIR [DIR...]" >&2
    exit 2
fi

for tool in Xvfb xdotool xclip python3 cc; do
    command -v "$tool" >/dev/null || { echo "$0 needs $tool" >&2; exit 1; }
done
if ! command -v gtkterm >/dev/null; then
    if [ "$(id -u)" -eq 0 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q \
            --no-install-recommends gtkterm >/dev/null
    else
        echo "$0 needs gtkterm (apt-get install gtkterm)" >&2
        exit 1
    fi
fi

out=${out:-$(mktemp -d /tmp/serialpads-live-XXXXXX)}
mkdir -p "$out"
work=$(mktemp -d)
xvfb_pid=
cleanup() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The port whose link never comes up (see no_carrier.c).
cc -shared -fPIC -O2 -o "$work/no_carrier.so" "$here/no_carrier.c" -ldl
# What lets gtkterm keep a pseudo-terminal open (see gtkterm_pty.c).
cc -shared -fPIC -O2 -o "$work/gtkterm_pty.so" "$here/gtkterm_pty.c" -ldl

installations=
for dir in "$@"; do
    case $dir in
    *=*) label=${dir%%=*}; path=${dir#*=} ;;
    *) label=$(basename "$dir"); path=$dir ;;
    esac
    installations="$installations --installation $label=$(cd "$path" && pwd)"
done

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" \
    2>"$work/xvfb.log" &
xvfb_pid=$!
tries=0
while [ ! -s "$work/display" ]; do
    tries=$((tries + 1))
    if [ $tries -gt 500 ] || ! kill -0 "$xvfb_pid" 2>/dev/null; then
        echo "Xvfb did not start:" >&2
        cat "$work/xvfb.log" >&2
        exit 1
    fi
    sleep 0.01
done
DISPLAY=:$(head -n 1 "$work/display")
export DISPLAY

# shellcheck disable=SC2086 # the list of --installation arguments is split on purpose
python3 "$here/live_probe.py" --shim "$work/no_carrier.so" \
    --gtkterm-shim "$work/gtkterm_pty.so" --out "$out" \
    --stream-seconds "$seconds" $trace $installations
