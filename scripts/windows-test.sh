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

# shellcheck source=scripts/wine-prefix.sh
. scripts/wine-prefix.sh
top="$(mktemp -d /tmp/tarnwick-wine.XXXXXX)"
logs="$top/logs"
mkdir -p "$logs"
finish() {
  wine_prefix_stop
  rm -rf "$top"
}
trap finish EXIT

# The prefix and its one persistent server are ready before building, so that
# neither the first test discovery nor the first test pays for them or meets a
# server that is still starting.
start=$SECONDS
wine_prefix_start "$top/prefix"
prefixDone=$SECONDS

# A test (or a test discovery while building) that still meets a Wine
# start-up failure is tried once more, and the log says so; any other failure
# stands.
if ! scripts/windows-configure.sh "$build" >"$logs/configure" 2>&1 </dev/null; then
  cat "$logs/configure"; exit 1
fi
if ! cmake --build "$build" >"$logs/build" 2>&1 </dev/null; then
  if ! wine_start_up_failed "$logs/build"; then
    grep -v '^\[[0-9]*/[0-9]*\] ' "$logs/build" | tail -n 100; exit 1
  fi
  echo "windows: a test discovery met a Wine start-up failure; building once more"
  if ! cmake --build "$build" >"$logs/build" 2>&1 </dev/null; then
    grep -v '^\[[0-9]*/[0-9]*\] ' "$logs/build" | tail -n 100; exit 1
  fi
fi
buildDone=$SECONDS
if ! ctest --test-dir "$build" --output-on-failure -j2 --output-junit "$logs/junit.xml" \
      >"$logs/test" 2>&1 </dev/null; then
  if ! python3 scripts/wine-failures.py "$logs/junit.xml" >"$logs/failures"; then
    grep -v ' Passed \| Test *#' "$logs/test" | tail -n 150; cat "$logs/failures"; exit 1
  fi
  echo "windows: $(wc -l <"$logs/failures") tests met a Wine start-up failure; trying them once more:"
  sed 's/^/  /' "$logs/failures"
  if ! ctest --test-dir "$build" --output-on-failure --rerun-failed >"$logs/retry" 2>&1 </dev/null; then
    grep -v ' Passed \| Test *#' "$logs/retry" | tail -n 150; exit 1
  fi
  total=$(grep -o 'out of [0-9]*' "$logs/test" | grep -o '[0-9]*')
  echo "windows: all $total tests passed, $(wc -l <"$logs/failures") of them on their second try" \
    "(prefix $((prefixDone - start)) s, build $((buildDone - prefixDone)) s, tests $((SECONDS - buildDone)) s)"
  exit 0
fi
echo "windows: $(grep 'tests passed' "$logs/test")" \
  "(prefix $((prefixDone - start)) s, build $((buildDone - prefixDone)) s, tests $((SECONDS - buildDone)) s)"
