#!/usr/bin/env bash
# The Debian 13 stage's steps, run as root inside the Debian 13 system (tests/debian13/
# run.sh starts it there, in a copy of the tracked files): the steps ./test and .ci/run
# take on Debian 12, minus the sanitizer build, the fuzzing and the Bluetooth VM, which
# prove nothing more about the release.
set -euo pipefail
jobs=$(nproc)

# The copy is not a clone; the scripts that list the tracked files need a repository.
git init -q
git add -A
git -c user.name=ci -c user.email=ci@localhost commit -q -m "the tree under test"

echo "== debian13: $(. /etc/os-release && echo "$PRETTY_NAME")"
tools/install-deps.sh
echo "== debian13: ci build"
cmake --preset ci > /dev/null
cmake --build --preset ci -j"$jobs"
echo "== debian13: ci tests"
ctest --preset ci -j"$jobs"
echo "== debian13: clang-format $(clang-format-19 --version | grep -o '[0-9][0-9.]*' | head -n1)"
git ls-files '*.cpp' '*.h' | xargs clang-format-19 --dry-run --Werror
echo "== debian13: package"
tools/build-package.sh
echo "== debian13: the package installs and removes"
apt-get install -y -q --no-install-recommends ./build/package/serialpads_*.deb
for program in sendpad recvpad; do
  command -v "$program" > /dev/null || { echo "$program is not installed" >&2; exit 1; }
done
apt-get remove -y -q serialpads
! command -v sendpad > /dev/null
