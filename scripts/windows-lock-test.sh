#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs Tarnwick's Windows build against really locked files, under Wine.
# Usage: scripts/windows-lock-test.sh
# Environment: WIN_BUILD_DIR (the MinGW-w64 build directory, default build-win, the one that
# scripts/windows-test.sh uses; configured as there and built here),
# LOCK_WAIT (Tarnwick's wait argument, default 2).
#
# A file is locked for a Windows program only by another Windows process, so the anti-virus is
# played by tests/windows/lock_holder.exe, started in the same fresh Wine prefix as Tarnwick.
# The prefix, its wineserver and every Wine process in it are this script's own and are ended on
# exit, also on failure; nothing else is touched.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${WIN_BUILD_DIR:-build-win}
wait_seconds=${LOCK_WAIT:-2}
export PYTHONDONTWRITEBYTECODE=1

scripts/install-deps.sh g++-mingw-w64-x86-64-posix wine wine64

# The configuration windows-test.sh uses, so the two share build-win; building
# is quick when that script has built it already.
build_log=$(mktemp /tmp/tarnwick-winelock-build.XXXXXX)
if ! { scripts/windows-configure.sh "$build" &&
       cmake --build "$build" --target tarnwick lock_holder; } >"$build_log" 2>&1 </dev/null; then
  grep -v '^\[[0-9]*/[0-9]*\] ' "$build_log" | tail -n 60; rm -f "$build_log"; exit 1
fi
rm -f "$build_log"

# shellcheck source=scripts/wine-prefix.sh
. scripts/wine-prefix.sh
top=$(mktemp -d /tmp/tarnwick-winelock.XXXXXX)
cleanup() {
  wine_prefix_stop
  rm -rf "$top"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The helper comes from the build when tests/windows is part of it, else it is compiled here.
holder=$build/tests/windows/lock_holder.exe
if [ ! -f "$holder" ]; then
  holder=$top/lock_holder.exe
  x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -Wall -Wextra -Wpedantic -Werror \
    -static -static-libgcc -static-libstdc++ -o "$holder" tests/windows/lock_holder.cpp
fi

started=$SECONDS
wine_prefix_start "$top/prefix"
echo "windows-lock-test: Wine prefix ready after $((SECONDS - started)) s"

# lock_suite - one run of the suite in a fresh work folder, its output also kept in $top/suite.log.
lock_suite() {
  rm -rf "$top/work" && mkdir -p "$top/work"
  python3 tests/windows/lock_suite.py --tarnwick "$(cd "$build/app" && pwd)/tarnwick.exe" \
    --holder "$(cd "$(dirname "$holder")" && pwd)/$(basename "$holder")" \
    --work "$top/work" --wait "$wait_seconds" 2>&1 | tee "$top/suite.log"
}
status=0
if ! lock_suite; then
  # Wine itself failing to start a program is not the suite's failure: one more try.
  if wine_start_up_failed "$top/suite.log"; then
    echo "windows-lock-test: the suite met a Wine start-up failure; running it once more"
    lock_suite || status=1
  else
    status=1
  fi
fi
echo "windows-lock-test: $([ $status -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - started)) s"
exit $status
