#!/usr/bin/env bash
# Builds the unpacker's libFuzzer target with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and fuzzes it for a bounded time, starting from
# the unpacker's test messages. Fails when the fuzzer finds a crash, a
# sanitizer report, a leak or an input slower than the per-input limit.
# Usage: scripts/fuzz.sh [SECONDS]       (default 60)
#        scripts/fuzz.sh 3600   (an hour; run it again to go on from the kept corpus)
# Inputs that grow coverage are kept in build-fuzz/corpus between runs;
# failing inputs land in build-fuzz/artifacts/ (replay: build-fuzz/tests/fuzz/unpack_fuzz FILE).
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_TO_RUN="${1:-60}"
BUILD=build-fuzz

scripts/install-deps.sh
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTARNWICK_FUZZ=ON \
    -DTARNWICK_WERROR=ON >/dev/null
cmake --build "$BUILD" --target unpack_fuzz

mkdir -p "$BUILD/corpus" "$BUILD/artifacts"
cp tests/mime/cases/*.eml "$BUILD/corpus/"
# Part files go to a tmpfs when there is one: the target writes a file per part.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi

"$BUILD/tests/fuzz/unpack_fuzz" "$BUILD/corpus" \
    -max_total_time="$SECONDS_TO_RUN" -max_len=65536 -timeout=10 \
    -artifact_prefix="$BUILD/artifacts/" -print_final_stats=1
echo "fuzz.sh: no failure in $SECONDS_TO_RUN s"
