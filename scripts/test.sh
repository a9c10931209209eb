#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds Tarnwick and runs the whole test suite (installs what is missing),
# with warnings as errors.
# Usage: scripts/test.sh            (RelWithDebInfo with the benchmarks, in ./build)
#        scripts/test.sh Release    (what users build, in ./build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
type=${1:-RelWithDebInfo}
options=(-DCMAKE_BUILD_TYPE="$type" -DTARNWICK_TESTS=ON -DTARNWICK_WERROR=ON)
if [ "$type" = RelWithDebInfo ]; then
  build=build
  options+=(-DTARNWICK_BENCH=ON)
else
  build=build-${type,,}
fi
scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja "${options[@]}" >/dev/null
# As many jobs as the machine has cores, not more.
jobs=$(nproc)
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
