#!/bin/sh
# fuzz.sh --brief
# fuzz.sh NAME [libFuzzer options...]
# Builds the libFuzzer targets with clang (address and undefined-behaviour sanitizers) in
# their own build directory. --brief, for CI: each target replays its seeds, then fuzzes
# for a short while. With a NAME (dnsmessage, nmosclient, bracketipv6host, apiversion),
# runs that target until stopped, or as the options say (e.g. -runs=10000000). New inputs
# go to build-fuzz/corpus/NAME, never to the seeds in fuzz/.
# FUZZ_SANITIZERS=undefined builds without AddressSanitizer (in build-fuzz-undefined), several
# times faster, for runs that count executions; CI and everyday runs keep address,undefined.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
sanitizers=${FUZZ_SANITIZERS:-address,undefined}
build="$root/build-fuzz"
[ "$sanitizers" = address,undefined ] || build="$root/build-fuzz-$(echo "$sanitizers" | tr , -)"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DFERROLINK_BUILD_FUZZ=ON -DBUILD_TESTING=OFF -DFERROLINK_BUILD_TOOLS=OFF \
    "-DFERROLINK_FUZZ_SANITIZERS=$sanitizers" >/dev/null
names="dnsmessage nmosclient bracketipv6host apiversion"
# The slow unwinder sees through Qt, so that the leak list in tools/lsan.supp can name Qt's own.
export LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0:fast_unwind_on_malloc=0"
cmake --build "$build" --target $(for name in $names; do printf 'fuzz_%s ' "$name"; done)

seeds() {
    if [ "$1" = dnsmessage ]; then echo "$root/fuzz/corpus"; else echo "$root/fuzz/corpus-$1"; fi
}
run() {
    name=$1
    shift
    mkdir -p "$build/corpus/$name"
    "$build/fuzz/fuzz_$name" -max_len=9000 "$@" "$build/corpus/$name" "$(seeds "$name")"
}

if [ "${1:-}" = "--brief" ]; then
    for name in $names; do
        # The parser of every packet on the link gets the most time.
        seconds=30
        [ "$name" = dnsmessage ] && seconds=60
        "$build/fuzz/fuzz_$name" "$(seeds "$name")"/*
        run "$name" -max_total_time=$seconds
    done
    exit 0
fi
[ $# -ge 1 ] || { echo "usage: $0 --brief | NAME [libFuzzer options...]" >&2; exit 2; }
run "$@"
