#!/usr/bin/env bash
# The Debian 13 stage: the project built and tested on Debian 13 ("trixie") as on
# Debian 12, in a Debian 13 system made with debootstrap (see image.sh).
#
#   tests/debian13/run.sh
#
# The tracked files of this tree, as they stand in the working tree, are copied into a
# throw-away overlay on the cached system, and there, as root: tools/install-deps.sh,
# the `ci` preset's build and all its tests (unit, end-to-end under Xvfb, Wayland under
# Weston), the clang-format check with Debian 13's clang-format, and the Debian package
# built and checked with Debian 13's lintian, then installed and removed. The host's
# tree and build directories are not touched.
#
# When the system cannot be had (not root, no debootstrap, no mirror) the stage fails
# under CI (CI=true) and is skipped, saying so, elsewhere. Any failure inside fails it.
# SERIALPADS_DEBIAN13_KEEP=1 keeps the overlay (the build tree and logs) for a look.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)

stage_name=debian13
# shellcheck source=../stage.sh
. "$here/../stage.sh"

[ "$(id -u)" -eq 0 ] || unavailable "making and entering the system needs root"
for tool in debootstrap unshare chroot git; do
  command -v "$tool" > /dev/null || unavailable "$tool is missing (tools/install-deps.sh installs it)"
done

started=$(date +%s)
system=$("$here/image.sh") || unavailable "the Debian 13 system could not be made"
made=$(date +%s)

# On disk rather than in memory: the build tree is a few hundred megabytes.
job=$(mktemp -d "${TMPDIR:-/var/tmp}/serialpads-debian13.XXXXXX")
finish() {
  if [ "${SERIALPADS_DEBIAN13_KEEP:-}" = 1 ]; then say "overlay kept: $job"; else rm -rf "$job"; fi
}
trap finish EXIT

# The source, as the overlay's first change: the tracked files only, so nothing built
# or left over in this tree reaches the system.
mkdir -p "$job/upper/src/serialpads"
(cd "$repo" && git ls-files -z | tar --null -T - -cf -) | tar -C "$job/upper/src/serialpads" -xf -

# The compiler cache outlives the overlay, beside the system it was filled on; its paths
# are relative to /src, so the ci build and the package build hit it run after run, the
# files built with a precompiled header included (the sloppiness lets ccache hash them).
ccache=$(dirname "$system")/ccache
mkdir -p "$ccache"
set +e
CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR=/var/cache/ccache CCACHE_BASEDIR=/src \
  CCACHE_MAXSIZE=2G CCACHE_SLOPPINESS=pch_defines,time_macros \
  SERIALPADS_PASS="CMAKE_CXX_COMPILER_LAUNCHER CCACHE_DIR CCACHE_BASEDIR CCACHE_MAXSIZE CCACHE_SLOPPINESS" \
  "$here/enter.sh" --overlay "$job" --bind "$ccache" /var/cache/ccache "$system" \
  env -C /src/serialpads bash tests/debian13/inside.sh
status=$?
set -e
ended=$(date +%s)
say "system $((made - started)) s, build and tests $((ended - made)) s, whole stage $((ended - started)) s"
if [ "$status" != 0 ]; then
  say "FAILED (status $status)"
  exit 1
fi
say "passed"
