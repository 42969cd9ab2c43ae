#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice: an optimised build,
# and a debug build under AddressSanitizer and UndefinedBehaviorSanitizer (the transfer re-enters
# the event loop, so memory errors there must fail the run). No display is needed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs="$(nproc)"
status=0
for config in release asan; do
    case "$config" in
    release) flags=(-DCMAKE_BUILD_TYPE=Release) ;;
    asan) flags=(-DCMAKE_BUILD_TYPE=Debug -DVKT_SANITIZE=ON) ;;
    esac
    echo "== $config build"
    cmake -S . -B "build-test-$config" "${flags[@]}" -DVKT_BUILD_BENCH=OFF
    cmake --build "build-test-$config" -j"$jobs"
    echo "== $config tests"
    (cd "build-test-$config" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs") || status=1
done
exit $status
