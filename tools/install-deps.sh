#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the programs and the tests need. Safe to
# run again: apt-get skips what is already there. Runs apt-get through sudo when not
# root.
set -euo pipefail

packages=(
  # build
  cmake g++ make pkg-config qt6-base-dev libsystemd-dev libgtest-dev libbenchmark-dev clang-format
  # the fuzz targets: clang and its libFuzzer and sanitizer runtimes
  clang libclang-rt-14-dev
  # the virtual serial pair for ./run
  socat
  # packaging and its checks
  dpkg-dev debhelper lintian file desktop-file-utils appstream python3
  # the programs on Wayland, and the dialog tests there under a headless compositor
  qt6-wayland weston
  # the UI fonts Debian desktops use, for the tests that dialogs fit their text
  fonts-noto-core fonts-cantarell
  # end-to-end tests and screenshots under a real X server
  xvfb xauth xdotool xclip wmctrl openbox x11-utils imagemagick fonts-dejavu-core
  # the Bluetooth suite's VM: qemu, and what builds its disk image
  qemu-system-x86 debootstrap e2fsprogs
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
