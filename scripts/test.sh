#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice: an optimised build
# with every warning an error (which also compiles the benchmarks, so they never rot; they are
# run by hand), and a debug build under AddressSanitizer and UndefinedBehaviorSanitizer (the
# transfer re-enters the event loop, so memory errors there must fail the run). Both runs include
# the check that the program's sources keep POSIX calls behind Unix-only branches, and the
# install test (temporary prefix, desktop entry, Debian package). No display is needed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs="$(nproc)"
status=0
for config in release asan; do
    case "$config" in
    release) flags=(-DCMAKE_BUILD_TYPE=Release -DVKT_WERROR=ON -DVKT_BUILD_BENCH=ON -DVKT_WINDOWS_CHECK=ON) ;;
    asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DVKT_SANITIZE=ON -DVKT_BUILD_BENCH=OFF) ;;
    esac
    echo "== $config build"
    cmake -S . -B "build-test-$config" "${flags[@]}"
    cmake --build "build-test-$config" -j"$jobs"
    echo "== $config tests"
    (cd "build-test-$config" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs") || status=1
done
exit $status
