#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DVKT_BUILD_TESTS=OFF
cmake --build build-release --target vkt_update_tool -j"$(nproc)"
exec build-release/vkt_update_tool
