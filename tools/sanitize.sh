#!/bin/sh
# sanitize.sh [ctest options...]
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in build-asan and
# runs the whole test suite under them inside a private network namespace. The first
# finding ends the test that made it, so the test fails. Leaks that belong to the system
# libraries, not to us, are listed with their reasons in tools/lsan.supp.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-asan"
sanitizers="-fsanitize=address,undefined"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS=$sanitizers -fno-omit-frame-pointer -fno-sanitize-recover=undefined" \
    "-DCMAKE_EXE_LINKER_FLAGS=$sanitizers" >/dev/null
cmake --build "$build"
export ASAN_OPTIONS="detect_leaks=1"
# The slow unwinder sees through Qt, which is built without frame pointers, so that a
# suppression can name the library a leak comes from.
export LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0:fast_unwind_on_malloc=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
exec "$root/tools/netns-run" ctest --test-dir "$build" --output-on-failure -j2 "$@"
