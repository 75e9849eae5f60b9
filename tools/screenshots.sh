#!/usr/bin/env bash
# Makes docs/screenshots/sendpad.png and docs/screenshots/recvpad.png: both programs,
# installed from a build directory into a temporary prefix, run in a private X session
# (Xvfb and Openbox) on a virtual serial pair, with two lines sent from sendpad showing
# in recvpad. Nothing outside the temporary directories and docs/screenshots changes.
#
# Usage: tools/screenshots.sh [BUILD_DIR]   (default: build/release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build/release}")

for program in sendpad recvpad; do
  if [ ! -x "$build/$program/$program" ]; then
    echo "$build has no $program; build it first:" \
      "cmake --preset release && cmake --build --preset release" >&2
    exit 1
  fi
done

exec python3 "$root/tests/e2e/take_screenshots.py" --build-dir "$build" \
  --out "$root/docs/screenshots"
