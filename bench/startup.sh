#!/bin/sh
# Start-up time (exec to the dialog being mapped) and resident memory once connected,
# for sendpad and recvpad, on a private Xvfb display with a pseudo-terminal as the port.
#
# Usage: bench/startup.sh [build-or-install-dir] [runs]
#   The directory is a CMake build directory (with sendpad/sendpad and recvpad/recvpad)
#   or an installation prefix (with bin/sendpad and bin/recvpad). Default: build/ of
#   the repository. Runs per program: 10 unless given.
# Needs: Xvfb (xvfb), xdotool, python3.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
dir=${1:-"$here/../build"}
runs=${2:-10}

find_program() {
    for candidate in "$dir/bin/$1" "$dir/$1/$1"; do
        if [ -x "$candidate" ]; then
            echo "$candidate"
            return 0
        fi
    done
    echo "no $1 under $dir (looked for bin/$1 and $1/$1)" >&2
    return 1
}
sendpad=$(find_program sendpad)
recvpad=$(find_program recvpad)

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

# Xvfb picks a free display itself and writes its number to the descriptor given.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
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

echo "display $DISPLAY, $(nproc) processors, load: $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
python3 "$here/startup_probe.py" "$sendpad" --title Sendpad --height-du 158 --runs "$runs" || status=1
python3 "$here/startup_probe.py" "$recvpad" --title Recvpad --height-du 153 --runs "$runs" || status=1
exit $status
