#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and fuzzes each for a bounded time, one after the
# other: the unpacker from its test messages, the command loop from its seed
# commands, the second reading from the test messages, and the unpacker again with long inputs (up to 8 MiB, from seeds
# with header lines of megabytes), failing on any single allocation of 9 MiB
# or more: the unpacker's memory must not grow with a header line or block.
# Fails when a fuzzer finds a crash, a sanitizer report, a leak, a broken check
# of its own or an input slower than the per-input limit.
# Usage: scripts/fuzz.sh [SECONDS]       (per run; default 60)
#        scripts/fuzz.sh 3600   (an hour each; run it again to go on from the kept corpora)
# Inputs that grow coverage are kept in build-fuzz/corpus/NAME between runs;
# failing inputs land in build-fuzz/artifacts/NAME- (replay:
# build-fuzz/tests/fuzz/TARGET FILE).
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET="${1:-60}"
BUILD=build-fuzz

scripts/install-deps.sh
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTARNWICK_FUZZ=ON \
    -DTARNWICK_WERROR=ON >/dev/null
cmake --build "$BUILD" --target unpack_fuzz protocol_fuzz reading_fuzz

# Part files go to a tmpfs when there is one: the unpacker's target writes a
# file per part.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
mkdir -p "$BUILD/artifacts"

# fuzz NAME TARGET SEEDS... [-- OPTIONS...] - one target for SECONDS_PER_TARGET
# from its kept corpus NAME, topped up with the seeds; OPTIONS replace the
# default input length limit.
fuzz() {
    local name="$1" target="$2"
    shift 2
    local seeds=() options=(-max_len=65536 -timeout=10)
    while (($#)) && [ "$1" != "--" ]; do
        seeds+=("$1")
        shift
    done
    if (($#)); then
        shift
        options=("$@")
    fi
    local corpus="$BUILD/corpus/$name"
    mkdir -p "$corpus"
    cp "${seeds[@]}" "$corpus/"
    echo "fuzz.sh: $name for $SECONDS_PER_TARGET s"
    "$BUILD/tests/fuzz/$target" "$corpus" \
        -max_total_time="$SECONDS_PER_TARGET" "${options[@]}" \
        -artifact_prefix="$BUILD/artifacts/$name-" -print_final_stats=1
}

# The unpacker's corpus used to lie directly in build-fuzz/corpus.
mkdir -p "$BUILD/corpus/unpack_fuzz"
find "$BUILD/corpus" -maxdepth 1 -type f -exec mv -t "$BUILD/corpus/unpack_fuzz" {} +

fuzz unpack_fuzz unpack_fuzz tests/unpacker/cases/*.eml
fuzz protocol_fuzz protocol_fuzz tests/fuzz/protocol_seeds/*
# reading_seeds: inputs the fuzzer once found, read first on every run.
fuzz reading_fuzz reading_fuzz tests/unpacker/cases/*.eml tests/e2e/messages/*.eml \
  tests/fuzz/reading_seeds/*.eml

# Long inputs. The unpacker keeps at most 1 MiB of a header block; its largest
# allocation (the parameter list of a 1 MiB Content-Type) stays under 8 MiB.
long_seeds="$BUILD/long-seeds"
mkdir -p "$long_seeds"
python3 - "$long_seeds" tests/unpacker/cases/multipart_mixed_text_and_attachments.eml <<'PY'
import sys
folder, sample = sys.argv[1], open(sys.argv[2], "rb").read()
big = 8_300_000
seeds = {
    "long-line.eml": b"X-Long: " + b"a" * big + b"\n" + sample,
    "long-block.eml": (b"X-Filler: " + b"f" * 990 + b"\n") * (big // 1000) + sample,
    "long-type.eml": b"Content-Type: multipart/mixed;" + b" a=1;" * (big // 5) + b"\n\n",
}
for name, data in seeds.items():
    open(folder + "/" + name, "wb").write(data)
PY
fuzz unpack_long unpack_fuzz "$long_seeds"/*.eml -- \
    -max_len=8388608 -len_control=0 -malloc_limit_mb=9 -timeout=30
echo "fuzz.sh: no failure in $SECONDS_PER_TARGET s per run"
