#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# compare.sh - runs unpack_bench beside `cp` + `rm` of the same files, a plain
# `base64 -d` of the same text and the peer unpacker ripMIME (`ripmime -i MSG -d
# DIR`, Debian package ripmime) on the same messages, on a tmpfs folder, and
# prints the ratios against the speed and memory targets of the two readings
# together (what the scan job does by default) and of the first reading alone.
#
# Usage: bench/compare.sh [ROUNDS]      (default 5 paired rounds; medians are printed)
# Environment: TMPFS_DIR (default /dev/shm/tarnwick-bench; must be a tmpfs),
#              BUILD_DIR (default build-bench), SEED (default the generator's).
# Each round runs every case once in its own process, the benchmark and its
# baseline back to back, so both see the same machine state; the figure of a
# case is the median over the rounds. The large single messages are measured
# twice: unpacking alone ("unpack-only", what a stand-alone unpacker does) and
# with the scan job's copy of the message before it ("scan work"). Cases named
# "first-reading/..." leave the second reading out. The 50 MB base64, 20 MB
# quoted-printable and 20 MB uuencoded messages are also unpacked by whole
# processes, tarnwick-unpack (both readings, and --no-second-reading) and
# ripMIME back to back, into fresh folders that are removed untimed; their
# ratios are the medians of the per-round ratios. ripMIME also unpacks the
# typical messages, one process per message as a mail server would start it.
# Without ripmime installed the peer's columns are left out (the script says
# so). The hostile header cases (one header line of 50 MB and of 200 MB, a
# header block of many long lines, an envelope line of 50 MB) are measured for
# the peak-memory table only.
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS="${1:-5}"
TMPFS_DIR="${TMPFS_DIR:-/dev/shm/tarnwick-bench}"
BUILD_DIR="${BUILD_DIR:-build-bench}"
PEER="$(command -v ripmime || true)"
if [ -z "$PEER" ]; then
    echo "compare.sh: ripmime is not installed (Debian package ripmime); the peer's columns are left out"
fi

mkdir -p "$TMPFS_DIR"
if [ "$(stat -f -c %T "$TMPFS_DIR")" != "tmpfs" ]; then
    echo "compare.sh: $TMPFS_DIR is not on a tmpfs; set TMPFS_DIR (the shared disk is too noisy)" >&2
    exit 1
fi
DATA="$TMPFS_DIR/data"
SCRATCH="$TMPFS_DIR/scratch"
mkdir -p "$SCRATCH"

if [ ! -x "$BUILD_DIR/bench/unpack_bench" ]; then
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BENCH=ON >/dev/null
fi
cmake --build "$BUILD_DIR" --target unpack_bench tarnwick-unpack >/dev/null
BENCH="$BUILD_DIR/bench/unpack_bench"
UNPACK="$BUILD_DIR/app/tarnwick-unpack"

if [ ! -f "$DATA/many_small.eml" ] || [ ! -d "$DATA/typical" ] ||
    [ ! -f "$DATA/envelope_line_50mb.eml" ] || [ ! -f "$DATA/spill_flood_40mb.eml" ]; then
    echo "Generating the inputs into $DATA ..."
    python3 bench/generate.py --out "$DATA" ${SEED:+--seed "$SEED"}
fi

RESULTS="$TMPFS_DIR/results.txt"
: >"$RESULTS"

# now_ns - the monotonic-enough wall clock in nanoseconds.
now_ns() { date +%s%N; }

# bench_case NAME - runs one benchmark in a process of its own; appends
# "bench NAME SECONDS PEAK_MIB EXTRA_FILES".
bench_case() {
    local json
    json="$("$BENCH" --data="$DATA" --scratch="$SCRATCH" --benchmark_filter="^$1/real_time\$" \
        --benchmark_min_time=0 --benchmark_format=json 2>/dev/null)"
    python3 -c '
import json, sys
run = json.loads(sys.argv[2])["benchmarks"][0]
if run.get("error_occurred"):
    sys.exit("unpack_bench: %s: %s" % (sys.argv[1], run.get("error_message")))
scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run["time_unit"]]
print("bench", sys.argv[1], run["real_time"] * scale, run["peak_rss_mib"], run["extra_files"],
      run.get("spills_alive_peak", 0))
' "$1" "$json" >>"$RESULTS"
}

# baseline NAME COMMAND... - times one shell command; appends "base NAME SECONDS".
baseline() {
    local name="$1" start end
    shift
    start=$(now_ns)
    "$@"
    end=$(now_ns)
    echo "base $name $(( end - start ))e-9" >>"$RESULTS"
}

copy_and_remove() {
    mkdir -p "$SCRATCH/cp"
    cp "$DATA"/typical/* "$SCRATCH/cp/"
    rm -f "$SCRATCH"/cp/*
}

decode_base64() {
    base64 -d "$DATA/base64_50mb.b64" >"$SCRATCH/decoded.bin"
    rm -f "$SCRATCH/decoded.bin"
}

# whole_process NAME MESSAGE COMMAND... - times COMMAND MESSAGE DIR into a
# fresh DIR, then removes DIR untimed; appends "base NAME SECONDS".
whole_process() {
    local name="$1" message="$2"
    shift 2
    rm -rf "$SCRATCH/out"
    mkdir -p "$SCRATCH/out"
    baseline "$name" "$@" "$message" "$SCRATCH/out"
    rm -rf "$SCRATCH/out"
}

# quietly COMMAND... - runs COMMAND with its listing thrown away.
quietly() { "$@" >/dev/null; }

# peer_unpack MESSAGE DIR - ripMIME's own command line.
peer_unpack() { "$PEER" -i "$1" -d "$2" >/dev/null 2>&1; }

# peer_typical - ripMIME over every typical message, one process each.
peer_typical() {
    local message
    mkdir -p "$SCRATCH/peer"
    for message in "$DATA"/typical/*; do
        peer_unpack "$message" "$SCRATCH/peer"
    done
    rm -rf "$SCRATCH/peer"
}

# The machine's load, printed with the figures: other work on it widens the spread.
LOAD_BEFORE="$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
for round in $(seq 1 "$ROUNDS"); do
    echo "Round $round of $ROUNDS ..."
    bench_case unpack-only/base64_50mb.eml
    bench_case first-reading/unpack-only/base64_50mb.eml
    baseline base64-d decode_base64
    bench_case single/base64_50mb.eml
    bench_case unpack-only/qp_20mb.eml
    bench_case single/qp_20mb.eml
    bench_case unpack-only/uu_20mb.eml
    bench_case single/uu_20mb.eml
    for message in base64_50mb qp_20mb uu_20mb; do
        whole_process "unpack/$message" "$DATA/$message.eml" quietly "$UNPACK"
        whole_process "first-reading/unpack/$message" "$DATA/$message.eml" \
            quietly "$UNPACK" --no-second-reading
        [ -z "$PEER" ] || whole_process "peer/$message" "$DATA/$message.eml" peer_unpack
    done
    bench_case single/many_small.eml
    bench_case folder/typical
    bench_case first-reading/folder/typical
    baseline cp+rm copy_and_remove
    [ -z "$PEER" ] || baseline peer/typical peer_typical
    bench_case single/header_line_50mb.eml
    bench_case single/header_line_200mb.eml
    bench_case single/header_block_long_lines.eml
    bench_case single/envelope_line_50mb.eml
    bench_case single/spill_flood_40mb.eml
    bench_case first-reading/single/spill_flood_40mb.eml
done

echo "Load average before: $LOAD_BEFORE; after: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
python3 - "$RESULTS" "$DATA" <<'PY'
import os, statistics, sys
results, data = sys.argv[1], sys.argv[2]
times, peaks, extras, alive = {}, {}, {}, {}
for line in open(results):
    kind, name, seconds, *rest = line.split()
    times.setdefault((kind, name), []).append(float(seconds))
    if rest:
        peaks.setdefault(name, []).append(float(rest[0]))
        extras[name] = max(extras.get(name, 0), int(float(rest[1])))
        alive[name] = max(alive.get(name, 0), int(float(rest[2])))

def size_mb(*paths):
    total = 0
    for path in paths:
        if os.path.isdir(path):
            total += sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path))
        else:
            total += os.path.getsize(path)
    return total / 1e6

def paired_ratio(a, b):
    return statistics.median(x / y for x, y in zip(times[a], times[b]))

def verdict(ok):
    return "met" if ok else "MISSED"

med = {key: statistics.median(value) for key, value in times.items()}
def mbs(kind, name):
    return size_mb(os.path.join(data, name)) / med[("bench", kind + "/" + name)]
peer = ("base", "peer/typical") in times

b64, b64scan = mbs("unpack-only", "base64_50mb.eml"), mbs("single", "base64_50mb.eml")
b64first = mbs("first-reading/unpack-only", "base64_50mb.eml")
b64d = size_mb(os.path.join(data, "base64_50mb.b64")) / med[("base", "base64-d")]
qp, qpscan = mbs("unpack-only", "qp_20mb.eml"), mbs("single", "qp_20mb.eml")
uu, uuscan = mbs("unpack-only", "uu_20mb.eml"), mbs("single", "uu_20mb.eml")
typical = paired_ratio(("bench", "folder/typical"), ("base", "cp+rm"))
typical_first = paired_ratio(("bench", "first-reading/folder/typical"), ("base", "cp+rm"))
typical_extras = extras["folder/typical"]
small = med[("bench", "single/many_small.eml")]
peak = max(max(v) for v in peaks.values())

print()
print("Medians over %d paired rounds (MB = 10^6 bytes of input); both readings unless told"
      % len(times[("base", "cp+rm")]))
print("%-34s %10s   %-40s %s" % ("case", "figure", "target", ""))
print("%-34s %7.0f MB/s  >= 600 MB/s (unpack-only)  %s"
      % ("50 MB base64 attachment", b64, verdict(b64 >= 600)))
print("%-34s %7.0f MB/s  (unpack-only)" % ("  first reading alone", b64first))
print("%-34s %7.0f MB/s  aim: base64 -d; ratio to it %.2f"
      % ("  base64 -d of the same text", b64d, b64 / b64d))
print("%-34s %7.0f MB/s  (copy + unpack + removal)" % ("  scan work on it", b64scan))
print("%-34s %7.0f MB/s  (unpack-only)" % ("20 MB quoted-printable part", qp))
print("%-34s %7.0f MB/s  (copy + unpack + removal)" % ("  scan work on it", qpscan))
print("%-34s %7.0f MB/s  (unpack-only)" % ("20 MB uuencoded body", uu))
print("%-34s %7.0f MB/s  (copy + unpack + removal)" % ("  scan work on it", uuscan))
print()
print("Whole processes, paired run by run: tarnwick-unpack (both readings; first alone) "
      "against ripmime -i MSG -d DIR")
targets = {"base64_50mb": 2.5, "qp_20mb": 1.5, "uu_20mb": 1.5}
for name, target in targets.items():
    both = med[("base", "unpack/" + name)]
    first = med[("base", "first-reading/unpack/" + name)]
    if not peer:
        print("%-22s %6.3f s; first alone %6.3f s  (no peer)" % (name + ".eml", both, first))
        continue
    ripmime = med[("base", "peer/" + name)]
    ratio = paired_ratio(("base", "peer/" + name), ("base", "unpack/" + name))
    ratio_first = paired_ratio(("base", "peer/" + name), ("base", "first-reading/unpack/" + name))
    print("%-22s %6.3f s; first alone %6.3f s; ripMIME %6.3f s: %.2fx its speed "
          "(first alone %.2fx)  >= %.1fx  %s"
          % (name + ".eml", both, first, ripmime, ratio, ratio_first, target,
             verdict(ratio >= target)))
print()
print("%-34s %7.2fx cp+rm  <= 2.8x (scan work, paired)  %s"
      % ("2,000 typical messages", typical, verdict(typical <= 2.8)))
print("%-34s %7d        0 (ordinary mail)  %s"
      % ("  extra files written", typical_extras, verdict(typical_extras == 0)))
print("%-34s %7.2fx cp+rm  <= 3x (scan work, paired)  %s"
      % ("  first reading alone", typical_first, verdict(typical_first <= 3)))
if peer:
    print("%-34s %7.2fx cp+rm  (one process per message)"
          % ("  ripMIME on them", paired_ratio(("base", "peer/typical"), ("base", "cp+rm"))))
print("%-34s %7.3f s   < 0.35 s (scan work)  %s" % ("5,000 small attachments", small, verdict(small < 0.35)))
flood = med[("bench", "single/spill_flood_40mb.eml")]
flood_first = med[("bench", "first-reading/single/spill_flood_40mb.eml")]
flood_alive = alive["single/spill_flood_40mb.eml"]
print("%-34s %7.2f s   linear; first reading alone %.2f s" % ("40 MB of empty encoded containers",
                                                              flood, flood_first))
print("%-34s %7d        dozens at most  %s" % ("  spill files alive at once", flood_alive,
                                               verdict(flood_alive <= 64)))
print("%-34s %7.1f MiB  < 16 MiB on every input  %s" % ("peak memory (largest)", peak, verdict(peak < 16)))
for name in sorted(peaks):
    print("    %-30s %5.1f MiB" % (name, max(peaks[name])))
PY
