#!/usr/bin/env bash
# Makes the Debian 13 ("trixie") system the Debian 13 stage builds and tests in, or finds
# it already made, and prints its root directory.
#
# The system is a minimal Debian 13 made with debootstrap from the mirror apt is
# configured with on this machine (read from the apt sources now, never written down
# here), with what tools/install-deps.sh installs on it, run there as a user would run it
# on a fresh machine, and ccache for the stage's builds. It is cached outside the repository, under
# ${SERIALPADS_DEBIAN13_CACHE:-${XDG_CACHE_HOME:-~/.cache}/serialpads-debian13}, in a
# folder named after a digest of the install script and this recipe, so a change to
# either makes a new system and an unchanged recipe reuses the old one. Older systems
# are removed once a new one is complete. Needs root (debootstrap, chroot).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)

suite=trixie
# Bump when the steps below change in a way that makes older systems wrong.
recipe=1
# What the stage itself uses on top of the project's dependencies: a compiler cache, so
# that a run after the first compiles only what changed.
packages=(ccache)

cache=${SERIALPADS_DEBIAN13_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/serialpads-debian13}
key=$({ printf '%s\n' "$recipe" "$suite" "${packages[@]}"; cat "$repo/tools/install-deps.sh"; } |
  sha256sum | cut -c1-16)
system=$cache/system-$key

log() { echo "debian13 system: $*" >&2; }

build() {
  local started mirror root
  started=$(date +%s)
  # The mirror that serves this machine's own release serves Debian 13 as well.
  mirror=$("$repo/tools/apt-mirror.sh" "$suite" \
    "$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")") || return 1
  # debootstrap fetches with wget, which reads the proxy from the environment only.
  local proxy=""
  eval "$(apt-config shell proxy Acquire::http::Proxy)"
  [ -z "$proxy" ] || export http_proxy=$proxy

  rm -rf "$system.tmp"
  mkdir -p "$system.tmp"
  root=$system.tmp/root
  log "making $key with debootstrap ($suite), then installing the project's dependencies"
  if ! nice -n 19 debootstrap --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" \
      "$suite" "$root" "$mirror" \
      > "$system.tmp/debootstrap.log" 2>&1 ||
      grep -q '^W: Failure' "$system.tmp/debootstrap.log"; then
    log "debootstrap failed; the end of $system.tmp/debootstrap.log:"
    tail -n 20 "$system.tmp/debootstrap.log" >&2
    return 1
  fi
  log "debootstrap took $(($(date +%s) - started)) s"

  # The install script, run from nothing, is itself under test here.
  cp "$repo/tools/install-deps.sh" "$root/root/install-deps.sh"
  if ! nice -n 19 "$here/enter.sh" "$root" bash /root/install-deps.sh \
      > "$system.tmp/install-deps.log" 2>&1; then
    log "tools/install-deps.sh failed on a fresh Debian 13; the end of its log:"
    tail -n 20 "$system.tmp/install-deps.log" >&2
    return 1
  fi
  rm -f "$root/root/install-deps.sh"
  "$here/enter.sh" "$root" apt-get clean

  echo $(($(date +%s) - started)) > "$system.tmp/build-seconds"
  mv "$system.tmp" "$system"
  log "made in $(cat "$system/build-seconds") s: $system"
}

# shellcheck source=../stage.sh
. "$here/../stage.sh"
build_once "$cache" system "$key" "$system/root" build
echo "$system/root"
