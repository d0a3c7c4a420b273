#!/bin/sh
# Builds the Debian package of the program alone (no tests, no simulator):
# build-package/ferrolink_<version>_<architecture>.deb, installable with
# `apt install ./build-package/ferrolink_*.deb`.
set -e
cd "$(dirname "$0")/.."
tools/setup.sh
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DFERROLINK_BUILD_TOOLS=OFF >/dev/null
cmake --build build-package
cd build-package
cpack -G DEB
