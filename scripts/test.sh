#!/usr/bin/env bash
# Builds Tarnwick and runs the whole test suite (installs what is missing).
# Usage: scripts/test.sh            (build in ./build, run every test)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_BENCH=ON >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j2
