#!/bin/sh
# Installs what is missing, builds everything and runs every test.
# Tests that send multicast DNS need a private network namespace (tools/netns-run) so that
# nothing reaches a real network; where one cannot be made they skip and say why.
set -e
cd "$(dirname "$0")/.."
tools/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
if tools/netns-run true >/dev/null 2>&1; then
    exec tools/netns-run ctest --test-dir build --output-on-failure -j2
fi
echo "No private network namespace could be made here: tests that send multicast will skip."
exec ctest --test-dir build --output-on-failure -j2
