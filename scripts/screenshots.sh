#!/usr/bin/env bash
# Regenerates the README's screenshots headless into docs/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-docs -DCMAKE_BUILD_TYPE=Release -DVKT_BUILD_BENCH=OFF
cmake --build build-docs --target make_screenshots -j"$(nproc)"
build-docs/make_screenshots docs
