#!/usr/bin/env bash
# Builds the Debian binary packages from a copy of this tree's tracked files and checks
# them with lintian, failing on any error or warning (info and pedantic notes are shown
# but pass). The clone itself stays clean: the copy, the build and the packages are in
# build/package/.
#
# Usage: tools/build-package.sh [--with-tests]
#   The tests are left out of the package build (DEB_BUILD_OPTIONS=nocheck) unless
#   --with-tests is given, since ./test has run them on the same sources.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/package
options="parallel=$(nproc)"
profiles=()
if [ "${1:-}" != --with-tests ]; then
  options="nocheck $options"
  profiles=(-Pnocheck)
fi

version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
rm -rf "$out"
mkdir -p "$out/src"
tree=$out/src/serialpads-${version%-*}
mkdir "$tree"
(cd "$root" && git ls-files -z | xargs -0 cp --parents -t "$tree")

echo "== dpkg-buildpackage ($options)"
(cd "$tree" && DEB_BUILD_OPTIONS="$options" dpkg-buildpackage -us -uc -b "${profiles[@]}")
find "$out/src" -maxdepth 1 -type f -exec mv -t "$out" {} +

echo "== lintian"
cd "$out"
lintian --fail-on error,warning --display-info --pedantic --tag-display-limit 0 \
  ./*.changes ./*.deb
echo "lintian: no errors or warnings in $(ls ./*.changes ./*.deb | tr '\n' ' ')"
