#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds tarnwick if needed and starts it in the current folder.
#
# Usage: scripts/run.sh [WAIT]      (from any folder; WAIT in seconds, default 5)
#
# The filter creates its ScanMe folder in the folder it is started from, reads
# commands on standard input and answers on standard output, as a mail server
# would drive it. Everything the build prints goes to standard error, so that
# standard output carries only the filter's own lines. The arguments are
# passed on unchanged.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="$repo/build"
{
  # Only the compiler, CMake and Ninja: no test, benchmark or fuzzing tools.
  "$repo/scripts/install-deps.sh" --build-only
  if [ ! -f "$build/CMakeCache.txt" ]; then
    # The build type scripts/test.sh uses, so the two share one build; that
    # script turns the tests on when it runs.
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_TESTS=OFF
  fi
  # As many jobs as the machine has cores, not more.
  cmake --build "$build" -j "$(nproc)" --target tarnwick
} >&2
exec "$build/app/tarnwick" "$@"
