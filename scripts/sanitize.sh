#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the whole suite under AddressSanitizer + UndefinedBehaviorSanitizer, and
# the concurrency tests (CTest label "concurrency") and the bridge's (label
# "milter", whose filter process serves many milter threads) under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
common=(-G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DTARNWICK_WERROR=ON -DTARNWICK_STATIC_RUNTIME=OFF)
cmake -S . -B build-asan "${common[@]}" \
  -DCMAKE_CXX_FLAGS="-O1 -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" >/dev/null
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j2

cmake -S . -B build-tsan "${common[@]}" \
  -DCMAKE_CXX_FLAGS="-O1 -fsanitize=thread -fno-omit-frame-pointer" >/dev/null
cmake --build build-tsan
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan --output-on-failure -L 'concurrency|milter' -j2
