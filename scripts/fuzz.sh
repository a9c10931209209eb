#!/usr/bin/env bash
# Builds the unpacker's libFuzzer target with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and fuzzes it for a bounded time, starting from
# the unpacker's test messages. Fails when the fuzzer finds a crash, a
# sanitizer report, a leak or an input slower than the per-input limit.
# A second run feeds long inputs (up to 8 MiB, from seeds with header lines of
# megabytes) and fails on any single allocation of 9 MiB or more: the
# unpacker's memory must not grow with a header line or block.
# Usage: scripts/fuzz.sh [SECONDS]       (default 60, for each of the two runs)
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

# Long inputs. The unpacker keeps at most 1 MiB of a header block; its largest
# allocation (the parameter list of a 1 MiB Content-Type) stays under 8 MiB.
mkdir -p "$BUILD/corpus-long"
python3 - "$BUILD/corpus-long" tests/mime/cases/multipart_mixed_text_and_attachments.eml <<'PY'
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
"$BUILD/tests/fuzz/unpack_fuzz" "$BUILD/corpus-long" \
    -max_total_time="$SECONDS_TO_RUN" -max_len=8388608 -len_control=0 -malloc_limit_mb=9 \
    -timeout=30 -artifact_prefix="$BUILD/artifacts/long-" -print_final_stats=1
echo "fuzz.sh: no failure in $SECONDS_TO_RUN s, twice"
