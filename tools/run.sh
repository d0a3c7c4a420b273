#!/bin/sh
# Installs what is missing, builds Ferrolink and starts it.
set -e
cd "$(dirname "$0")/.."
tools/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target ferrolink
exec build/app/ferrolink "$@"
