#!/bin/sh
# Builds the Debian package of the two programs alone (no tests, no simulator):
# build-package/ferrolink_<version>_<architecture>.deb, installable with
# `apt install ./build-package/ferrolink_*.deb`, then checks it with lintian and prints
# lintian's findings and their count. Fails when lintian finds an error.
set -e
cd "$(dirname "$0")/.."
tools/setup.sh --package
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DFERROLINK_BUILD_TOOLS=OFF >/dev/null
cmake --build build-package
cd build-package
rm -f ferrolink_*.deb
cpack -G DEB
deb=$(ls ferrolink_*.deb)
# lintian warns when run as root, which a build container often is; that line is not a finding.
lintian "$deb" 2>&1 | grep -v 'running with root privileges' >lintian.txt || true
cat lintian.txt
errors=$(grep -c '^E:' lintian.txt || true)
warnings=$(grep -c '^W:' lintian.txt || true)
echo "lintian: $errors errors, $warnings warnings in $deb"
[ "$errors" = 0 ]
