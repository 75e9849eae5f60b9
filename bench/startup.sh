#!/bin/sh
# Start-up time, memory once connected, and idle cost (connected and silent) of the
# pads in the given builds or installations, beside gtkterm, a bare Qt window that opens
# the device and (idle only) the polling loop alone in C, all in one run on one private
# Xvfb display. See README.md, "Start-up and idle beside the peers".
#
# Usage: bench/startup.sh [--runs N] [--idle-windows N] [--idle-seconds S] [--out DIR]
#                         [--no-session-bus] DIR [DIR...]
#   Each DIR is an installation prefix (bin/recvpad) or a CMake build directory
#   (recvpad/recvpad), labelled by its last path component, or LABEL=DIR.
#   Defaults: 7 starts each, 3 idle windows of 30 s, a session bus of the run's own
#   (dbus-daemon), as a desktop has.
# Needs: Xvfb, xdotool, python3, a C and a C++ compiler, pkg-config and Qt 6's
# development files, dbus-daemon, gtkterm (apt-get install gtkterm; left out when
# missing).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
options=
while [ $# -gt 0 ]; do
    case $1 in
    --runs | --idle-windows | --idle-seconds | --out) options="$options $1 $2"; shift 2 ;;
    --no-session-bus) options="$options $1"; shift ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) break ;;
    esac
done
if [ $# -eq 0 ]; then
    set -- "$here/../build/ci"
fi
for tool in Xvfb xdotool python3 cc c++ pkg-config dbus-daemon; do
    command -v "$tool" >/dev/null || { echo "$0 needs $tool" >&2; exit 1; }
done

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

# shellcheck disable=SC2046 # pkg-config's flags are split on purpose
c++ -O2 -fPIC -o "$work/bare_window" "$here/bare_window.cpp" $(pkg-config --cflags --libs Qt6Widgets)
cc -O2 -o "$work/plain_loop" "$here/plain_loop.c"
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

# shellcheck disable=SC2086 # the option lists are split on purpose
python3 "$here/startup_probe.py" --bare "$work/bare_window" --plain "$work/plain_loop" \
    --gtkterm-shim "$work/gtkterm_pty.so" $options $installations
