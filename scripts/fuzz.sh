#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and fuzzes each for a bounded time, one after the
# other: the unpacker from its test messages, and the command loop from its
# seed commands. Fails when a fuzzer finds a crash, a sanitizer report, a
# leak, a broken check of its own or an input slower than the per-input limit.
# Usage: scripts/fuzz.sh [SECONDS]       (per target; default 60)
#        scripts/fuzz.sh 3600   (an hour each; run it again to go on from the kept corpora)
# Inputs that grow coverage are kept in build-fuzz/corpus/TARGET between runs;
# failing inputs land in build-fuzz/artifacts/TARGET- (replay:
# build-fuzz/tests/fuzz/TARGET FILE).
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET="${1:-60}"
BUILD=build-fuzz

scripts/install-deps.sh
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTARNWICK_FUZZ=ON >/dev/null
cmake --build "$BUILD" --target unpack_fuzz protocol_fuzz

# Part files go to a tmpfs when there is one: the unpacker's target writes a
# file per part.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
mkdir -p "$BUILD/artifacts"

# fuzz TARGET SEEDS... - one target for SECONDS_PER_TARGET from its kept
# corpus, topped up with the seeds.
fuzz() {
    local target="$1"
    shift
    local corpus="$BUILD/corpus/$target"
    mkdir -p "$corpus"
    cp "$@" "$corpus/"
    echo "fuzz.sh: $target for $SECONDS_PER_TARGET s"
    "$BUILD/tests/fuzz/$target" "$corpus" \
        -max_total_time="$SECONDS_PER_TARGET" -max_len=65536 -timeout=10 \
        -artifact_prefix="$BUILD/artifacts/$target-" -print_final_stats=1
}

# The unpacker's corpus used to lie directly in build-fuzz/corpus.
mkdir -p "$BUILD/corpus/unpack_fuzz"
find "$BUILD/corpus" -maxdepth 1 -type f -exec mv -t "$BUILD/corpus/unpack_fuzz" {} +

fuzz unpack_fuzz tests/mime/cases/*.eml
fuzz protocol_fuzz tests/fuzz/protocol_seeds/*
echo "fuzz.sh: no failure in $SECONDS_PER_TARGET s per target"
