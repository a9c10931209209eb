#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Configures a MinGW-w64 cross build for 64-bit Windows the one way every
# Windows script uses it (windows-test.sh, windows-lock-test.sh, package.sh),
# so that they can share a build folder and test what is shipped.
# Usage: scripts/windows-configure.sh BUILD_DIR [CMAKE_OPTION...]
# Needs the compiler (scripts/install-deps.sh g++-mingw-w64-x86-64-posix).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: scripts/windows-configure.sh BUILD_DIR [CMAKE_OPTION...]}
shift
# -O2, as the Windows build has always been made and tested.
exec cmake --no-warn-unused-cli -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DTARNWICK_WERROR=ON "$@"
