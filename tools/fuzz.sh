#!/bin/sh
# fuzz.sh [--brief] [libFuzzer options...]
# Builds the DNS message fuzzer with clang (address and undefined-behaviour sanitizers) in
# its own build directory and runs it on the seed corpus. --brief, for CI: replay every
# seed once, then fuzz for about 60 seconds. Without it, runs until stopped (or as the
# options say, e.g. -runs=10000000). New inputs go to build-fuzz/corpus, not to the seeds.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DFERROLINK_BUILD_FUZZ=ON -DBUILD_TESTING=OFF -DFERROLINK_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --target fuzz_dnsmessage
fuzzer="$build/fuzz/fuzz_dnsmessage"
mkdir -p "$build/corpus"
if [ "${1:-}" = "--brief" ]; then
    shift
    "$fuzzer" "$root"/fuzz/corpus/*
    exec "$fuzzer" -max_total_time=60 -max_len=9000 "$@" "$build/corpus" "$root/fuzz/corpus"
fi
exec "$fuzzer" -max_len=9000 "$@" "$build/corpus" "$root/fuzz/corpus"
