#!/usr/bin/env bash
# Installs the Debian packages the build, the programs and the tests need, on Debian 12
# or 13, from nothing: a fresh minimal system has no compiler, no git, no Python, often
# no sudo. Safe to run again: only what is missing is installed, and nothing is asked of
# apt when nothing is. Runs apt-get through sudo when not root.
#
#   tools/install-deps.sh          install what is missing
#   tools/install-deps.sh --list   print the packages chosen for this release, one a line
#
# The few package names that differ between releases are chosen by the release in
# /etc/os-release (or $SERIALPADS_OS_RELEASE), so the same command works on both.
set -euo pipefail

# The clang runtime that goes with each release's default clang: libFuzzer and the
# sanitizers for the fuzz targets. A release not listed here uses what apt offers.
clang_runtime_for() {
  case "$1" in
    12) echo libclang-rt-14-dev ;;
    13) echo libclang-rt-19-dev ;;
    *) return 1 ;;
  esac
}

# Reads VERSION_ID from the os-release file without sourcing it.
release=$(sed -n 's/^VERSION_ID="\{0,1\}\([^"]*\)"\{0,1\}$/\1/p' \
  "${SERIALPADS_OS_RELEASE:-/etc/os-release}" 2>/dev/null | head -n1)

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
updated=false
apt_update() {
  $updated && return 0
  "${sudo[@]}" apt-get update -q
  updated=true
}

if ! clang_runtime=$(clang_runtime_for "$release"); then
  # Another release: the runtime matching the clang that apt would install.
  apt-cache show clang > /dev/null 2>&1 || apt_update
  clang_major=$(apt-cache depends clang 2>/dev/null |
    sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n1)
  [ -n "$clang_major" ] || {
    echo "install-deps: cannot tell which clang Debian ${release:-?} offers" >&2
    exit 1
  }
  clang_runtime=libclang-rt-$clang_major-dev
fi

packages=(
  # what the scripts themselves use: git lists the tracked files, Python runs the
  # end-to-end tests and the icon check, and apt needs the certificates for https mirrors
  git python3 ca-certificates
  # build; build-essential is what dpkg-buildpackage insists on
  build-essential cmake g++ make pkg-config qt6-base-dev libsystemd-dev libgtest-dev libbenchmark-dev
  # the style check: one clang-format version that both releases package, since each
  # release's default clang-format (14 and 19) formats some code differently
  clang-format-19
  # the fuzz targets: clang and its libFuzzer and sanitizer runtimes
  clang "$clang_runtime"
  # the virtual serial pair for ./run
  socat
  # packaging and its checks
  dpkg-dev debhelper lintian file man-db desktop-file-utils appstream
  # the programs on Wayland, and the dialog tests there under a headless compositor
  qt6-wayland weston
  # the UI fonts Debian desktops use, for the tests that dialogs fit their text
  fonts-noto-core fonts-cantarell
  # end-to-end tests and screenshots under a real X server
  xvfb xauth xdotool xclip wmctrl openbox x11-utils imagemagick fonts-dejavu-core
  # the GTK look a Debian desktop gives Qt programs, for the light and dark screenshots
  qt6-gtk-platformtheme
  # the Bluetooth suite's VM: qemu, and what builds its disk image; the Debian 13
  # stage's system is made with debootstrap as well
  qemu-system-x86 debootstrap e2fsprogs
)

if [ "${1:-}" = --list ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ ${#sudo[@]} -gt 0 ] && ! command -v sudo > /dev/null; then
  echo "install-deps: these packages are missing and sudo is not installed; run this" \
    "script as root: ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
apt_update
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
