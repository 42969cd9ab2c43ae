#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite in three configurations:
#   release  optimised, every warning an error; also compiles the benchmarks (run by hand) and
#            compiles every program source for Windows with MinGW-w64 (syntax only);
#   asan     debug under AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer (the
#            transfer re-enters the event loop, so memory errors there must fail the run);
#   fuzz     clang with libFuzzer: only the shared rules and the fuzz targets, each run for a few
#            seconds from its committed seeds.
# The first two also check that the program's sources keep POSIX calls behind Unix-only branches,
# and install the program (temporary prefix, desktop entry, Debian package). No display is needed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs="$(nproc)"
status=0
for config in release asan fuzz; do
    case "$config" in
    release) flags=(-DCMAKE_BUILD_TYPE=Release -DVKT_WERROR=ON -DVKT_BUILD_BENCH=ON -DVKT_WINDOWS_CHECK=ON) ;;
    asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DVKT_SANITIZE=ON -DVKT_BUILD_BENCH=OFF) ;;
    fuzz) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVKT_WERROR=ON -DVKT_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++-14) ;;
    esac
    echo "== $config build"
    cmake -S . -B "build-test-$config" "${flags[@]}"
    cmake --build "build-test-$config" -j"$jobs"
    echo "== $config tests"
    (cd "build-test-$config" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs") || status=1
done
exit $status
