#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite in two configurations:
#   release   GCC, optimised, every warning an error; also compiles the benchmarks (run by hand) and
#             compiles every program source for Windows with MinGW-w64 (syntax only);
#   sanitize  clang, unoptimised, under AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
#             (the transfer re-enters the event loop, so memory errors there must fail the run), every
#             warning an error; the libFuzzer targets are built there too and each runs for a few seconds
#             from its committed seeds.
# Both also check that the program's sources keep POSIX calls behind Unix-only branches, and install
# the program (temporary prefix, desktop entry, Debian package). No display is needed, and two compilers
# see every source.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs="$(nproc)"
status=0
for config in release sanitize; do
    case "$config" in
    release) flags=(-DCMAKE_BUILD_TYPE=Release -DVKT_WERROR=ON -DVKT_BUILD_BENCH=ON -DVKT_WINDOWS_CHECK=ON) ;;
    sanitize) flags=(-DCMAKE_BUILD_TYPE=Debug -DVKT_WERROR=ON -DVKT_FUZZ=ON -DVKT_BUILD_BENCH=OFF
                     -DCMAKE_CXX_COMPILER=clang++-14) ;;
    esac
    echo "== $config build"
    dir="build-test-$config"
    # A folder left by an older run with another generator is only derived files.
    if [ -f "$dir/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$dir/CMakeCache.txt"; then
        rm -rf "$dir"
    fi
    # lld links the thirty-odd test programs several times faster than the default linker.
    cmake -S . -B "$dir" -G Ninja -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld "${flags[@]}"
    cmake --build "$dir" -j"$jobs"
    echo "== $config tests"
    (cd "$dir" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs") || status=1
done
exit $status
