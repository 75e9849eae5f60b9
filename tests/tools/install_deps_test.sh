#!/usr/bin/env bash
# Checks which packages tools/install-deps.sh chooses for each release, without asking
# apt to install anything: each row names a release's VERSION_ID and a package that must
# be in the list for it, or (after !) one that must not be. A release the script does not
# know takes the clang runtime matching the clang that apt offers, here a stand-in
# apt-cache offering clang 21.
#
#   install_deps_test.sh PATH_TO_INSTALL_DEPS
set -euo pipefail
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/bin"
cat > "$work/bin/apt-cache" << 'FAKE'
#!/bin/sh
[ "$1" = depends ] && printf 'clang\n  Depends: clang-21\n  Breaks: <clang-3.2>\n'
exit 0
FAKE
chmod +x "$work/bin/apt-cache"

rows=(
  # Debian 12's clang 14, and what a fresh minimal system lacks
  '12 libclang-rt-14-dev' '12 !libclang-rt-19-dev' '12 build-essential' '12 git'
  '12 python3' '12 ca-certificates'
  # one clang-format for the style check on both
  '12 clang-format-19' '13 clang-format-19'
  # Debian 13's clang 19: Debian 13 has no libclang-rt-14-dev
  '13 libclang-rt-19-dev' '13 !libclang-rt-14-dev' '13 build-essential'
  # a release not listed: whatever clang apt offers
  '14 libclang-rt-21-dev'
)
failures=0
for row in "${rows[@]}"; do
  read -r release package <<< "$row"
  printf 'NAME="Debian GNU/Linux"\nVERSION_ID="%s"\n' "$release" > "$work/os-release"
  list=$(PATH="$work/bin:$PATH" SERIALPADS_OS_RELEASE="$work/os-release" "$script" --list)
  if [ "${package#!}" != "$package" ]; then
    ! grep -qx "${package#!}" <<< "$list" && continue
    echo "Debian $release: ${package#!} is chosen, but that release does not have it"
  else
    grep -qx "$package" <<< "$list" && continue
    echo "Debian $release: $package is not chosen"
  fi
  failures=$((failures + 1))
done
[ "$failures" -eq 0 ] && echo "all ${#rows[@]} choices as expected"
exit "$failures"
