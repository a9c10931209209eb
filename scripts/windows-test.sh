#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Cross-compiles Tarnwick for 64-bit Windows with MinGW-w64 and runs every
# test that ctest lists under Wine, in a fresh Wine prefix that is removed
# afterwards. Installs what is missing (apt-get). Output is kept short: the
# build and test logs are shown only when something fails.
# Usage: scripts/windows-test.sh     (build in ./build-win)
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-win

scripts/install-deps.sh g++-mingw-w64-x86-64-posix wine wine64

export WINEPREFIX
WINEPREFIX="$(mktemp -d /tmp/tarnwick-wine.XXXXXX)"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY
logs="$WINEPREFIX.logs"
mkdir -p "$logs"
finish() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX" "$logs"
}
trap finish EXIT

# The prefix is made before building, so that the first test discovery does
# not pay for it. Every Wine output goes to /dev/null: its background
# helpers would otherwise keep the CI log's pipe open.
start=$SECONDS
wineserver -p </dev/null >/dev/null 2>&1
wine wineboot -i </dev/null >/dev/null 2>&1

prefixDone=$SECONDS

# The configuration every Windows script shares.
if ! scripts/windows-configure.sh "$build" >"$logs/configure" 2>&1 </dev/null; then
  cat "$logs/configure"; exit 1
fi
if ! cmake --build "$build" >"$logs/build" 2>&1 </dev/null; then
  grep -v '^\[[0-9]*/[0-9]*\] ' "$logs/build" | tail -n 100; exit 1
fi
buildDone=$SECONDS
if ! ctest --test-dir "$build" --output-on-failure -j2 >"$logs/test" 2>&1 </dev/null; then
  grep -v ' Passed \| Test *#' "$logs/test" | tail -n 150; exit 1
fi
echo "windows: $(grep 'tests passed' "$logs/test")" \
  "(prefix $((prefixDone - start)) s, build $((buildDone - prefixDone)) s, tests $((SECONDS - buildDone)) s)"
