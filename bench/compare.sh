#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# compare.sh - runs unpack_bench beside `cp` + `rm` of the same files, a plain
# `base64 -d` of the same text and the peer unpacker ripMIME (`ripmime -i MSG -d
# DIR`, Debian package ripmime) on the same messages, on a tmpfs folder, and
# prints the ratios against the speed and memory targets of the two readings
# together (what the scan job does by default) and of the first reading alone.
#
# Usage: bench/compare.sh [ROUNDS]      (default 5 paired rounds; medians are printed)
#        bench/compare.sh --quick       (CI: inputs divided by 100, one round, seconds;
#                                       the figures mean nothing, the run proves the
#                                       benchmark still works; exit status 0 unless a
#                                       step fails, whatever the targets say)
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
# typical messages, one process per message as a mail server would start it,
# and so does tarnwick-unpack (what a script or a per-message caller feels,
# start-up included); `tarnwick-unpack --version` and `ripmime -V` are timed
# 100 times each, start-up alone. 10,000 and 50,000 small attachments in one
# message give the time and peak memory per attachment; a quoted-printable
# text/html part is measured as the other large messages. The filter end to
# end is bench/soak.py: the tarnwick process at wait 0 with 50 requests in
# flight over five times the typical messages, against cp + rm of the same
# files five times; its peak is the process's VmHWM.
# Without ripmime installed the peer's columns are left out (the script says
# so). The hostile header cases (one header line of 50 MB and of 200 MB, a
# header block of many long lines, an envelope line of 50 MB) are measured for
# the peak-memory table only.
set -euo pipefail
cd "$(dirname "$0")/.."

QUICK=0
if [ "${1:-}" = "--quick" ]; then
    QUICK=1
    shift
    # The peer's columns are part of what must keep working.
    scripts/install-deps.sh ripmime >/dev/null
fi
ROUNDS="${1:-5}"
[ "$QUICK" = 0 ] || ROUNDS=1
TMPFS_DIR="${TMPFS_DIR:-/dev/shm/tarnwick-bench}"
BUILD_DIR="${BUILD_DIR:-build-bench}"
PEER="$(command -v ripmime || true)"
# Start-up runs per round, and filter passes over the typical messages.
VERSION_RUNS=100
SOAK_PASSES=5
[ "$QUICK" = 0 ] || VERSION_RUNS=10
if [ -z "$PEER" ]; then
    echo "compare.sh: ripmime is not installed (Debian package ripmime); the peer's columns are left out"
fi

mkdir -p "$TMPFS_DIR"
if [ "$(stat -f -c %T "$TMPFS_DIR")" != "tmpfs" ]; then
    echo "compare.sh: $TMPFS_DIR is not on a tmpfs; set TMPFS_DIR (the shared disk is too noisy)" >&2
    exit 1
fi
DATA="$TMPFS_DIR/data"
[ "$QUICK" = 0 ] || DATA="$TMPFS_DIR/data-small"
SCRATCH="$TMPFS_DIR/scratch"
mkdir -p "$SCRATCH"

if [ ! -x "$BUILD_DIR/bench/unpack_bench" ]; then
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWICK_BENCH=ON >/dev/null
fi
cmake --build "$BUILD_DIR" --target unpack_bench tarnwick-unpack tarnwick >/dev/null
BENCH="$BUILD_DIR/bench/unpack_bench"
UNPACK="$BUILD_DIR/app/tarnwick-unpack"
FILTER="$BUILD_DIR/app/tarnwick"

if [ ! -f "$DATA/many_small.eml" ] || [ ! -d "$DATA/typical" ] ||
    [ ! -f "$DATA/envelope_line_50mb.eml" ] || [ ! -f "$DATA/spill_flood_40mb.eml" ] ||
    [ ! -f "$DATA/qp_html_20mb.eml" ]; then
    echo "Generating the inputs into $DATA ..."
    python3 bench/generate.py --out "$DATA" ${SEED:+--seed "$SEED"} $([ "$QUICK" = 0 ] || echo --small)
fi
TYPICAL_COUNT=$(find "$DATA/typical" -type f | wc -l)

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

# each_typical COMMAND... - runs COMMAND MESSAGE DIR over every typical
# message, each into an empty folder of its own made beforehand; appends
# "base NAME SECONDS" with NAME from the first argument. The folders are made
# and removed untimed, so both tools start each message alike.
each_typical() {
    local name="$1" message number=0 start end
    shift
    rm -rf "$SCRATCH/each"
    mkdir -p "$SCRATCH/each"
    for message in "$DATA"/typical/*; do
        number=$((number + 1))
        mkdir "$SCRATCH/each/$number"
    done
    number=0
    start=$(now_ns)
    for message in "$DATA"/typical/*; do
        number=$((number + 1))
        "$@" "$message" "$SCRATCH/each/$number"
    done
    end=$(now_ns)
    echo "base $name $(( end - start ))e-9" >>"$RESULTS"
    rm -rf "$SCRATCH/each"
}

# started_often COMMAND... - runs COMMAND VERSION_RUNS times, output and exit
# status thrown away (ripmime -V ends with status 1).
started_often() {
    local run
    for run in $(seq 1 "$VERSION_RUNS"); do
        "$@" >/dev/null 2>&1 || true
    done
}

# copy_and_remove_passes - cp + rm of the typical messages, SOAK_PASSES times:
# the file work of the filter's soak run without the filter.
copy_and_remove_passes() {
    local pass
    for pass in $(seq 1 "$SOAK_PASSES"); do
        copy_and_remove
    done
}

# filter_soak - the filter end to end over the typical messages; appends
# "base filter SECONDS" and "memory filter PEAK_KIB".
filter_soak() {
    local result="$TMPFS_DIR/soak-result.txt" seconds peak
    : >"$result"
    TMPFS_DIR="$TMPFS_DIR/soak" python3 bench/soak.py --tarnwick "$FILTER" --folder "$DATA/typical" \
        --messages $((TYPICAL_COUNT * SOAK_PASSES)) --result "$result" >"$TMPFS_DIR/soak-log.txt" || {
        cat "$TMPFS_DIR/soak-log.txt" >&2
        return 1
    }
    read -r seconds peak <"$result"
    echo "base filter $seconds" >>"$RESULTS"
    echo "memory filter $peak" >>"$RESULTS"
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
    bench_case unpack-only/qp_html_20mb.eml
    bench_case single/qp_html_20mb.eml
    for message in base64_50mb qp_20mb qp_html_20mb uu_20mb; do
        whole_process "unpack/$message" "$DATA/$message.eml" quietly "$UNPACK"
        whole_process "first-reading/unpack/$message" "$DATA/$message.eml" \
            quietly "$UNPACK" --no-second-reading
        [ -z "$PEER" ] || whole_process "peer/$message" "$DATA/$message.eml" peer_unpack
    done
    bench_case single/many_small.eml
    bench_case single/many_small_10k.eml
    bench_case single/many_small_50k.eml
    bench_case first-reading/single/many_small_10k.eml
    bench_case first-reading/single/many_small_50k.eml
    bench_case folder/typical
    bench_case first-reading/folder/typical
    baseline cp+rm copy_and_remove
    [ -z "$PEER" ] || each_typical peer/typical peer_unpack
    each_typical unpack/typical quietly "$UNPACK"
    baseline version started_often "$UNPACK" --version
    [ -z "$PEER" ] || baseline peer/version started_often "$PEER" -V
    filter_soak
    baseline cp+rm/passes copy_and_remove_passes
    bench_case single/header_line_50mb.eml
    bench_case single/header_line_200mb.eml
    bench_case single/header_block_long_lines.eml
    bench_case single/envelope_line_50mb.eml
    bench_case single/spill_flood_40mb.eml
    bench_case first-reading/single/spill_flood_40mb.eml
done

echo "Load average before: $LOAD_BEFORE; after: $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)"
python3 - "$RESULTS" "$DATA" "$QUICK" "$VERSION_RUNS" <<'PY'
import os, statistics, sys
results, data, quick = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
version_runs = int(sys.argv[4])
times, peaks, extras, alive, memory = {}, {}, {}, {}, {}
for line in open(results):
    kind, name, seconds, *rest = line.split()
    if kind == "memory":
        memory.setdefault(name, []).append(float(seconds))
        continue
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
if quick:
    print("Quick mode: inputs divided by 100, one round; the figures and verdicts mean nothing")

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
targets = {"base64_50mb": 4, "qp_20mb": 2, "qp_html_20mb": 2, "uu_20mb": 2}
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
print("%-34s %7.2fx cp+rm  <= 2.5x (scan work, paired)  %s"
      % ("%d typical messages" % len(os.listdir(os.path.join(data, "typical"))), typical,
         verdict(typical <= 2.5)))
print("%-34s %7d        0 (ordinary mail)  %s"
      % ("  extra files written", typical_extras, verdict(typical_extras == 0)))
print("%-34s %7.2fx cp+rm  <= 3x (scan work, paired)  %s"
      % ("  first reading alone", typical_first, verdict(typical_first <= 3)))
if peer:
    print("%-34s %7.2fx cp+rm  (one process per message)"
          % ("  ripMIME on them", paired_ratio(("base", "peer/typical"), ("base", "cp+rm"))))
print("%-34s %7.2fx cp+rm  (one process per message, both readings)"
      % ("  tarnwick-unpack on them", paired_ratio(("base", "unpack/typical"), ("base", "cp+rm"))))
if peer:
    per_message = paired_ratio(("base", "peer/typical"), ("base", "unpack/typical"))
    print("%-34s %7.2fx ripMIME's speed  >= 1.3x  %s"
          % ("  one process per message", per_message, verdict(per_message >= 1.3)))
    version = paired_ratio(("base", "peer/version"), ("base", "version"))
    print("%-34s %7.2fx ripmime -V's speed  >= 1x  %s  (%.2f ms against %.2f ms a run)"
          % ("  tarnwick-unpack --version", version, verdict(version >= 1),
             med[("base", "version")] * 1e3 / version_runs,
             med[("base", "peer/version")] * 1e3 / version_runs))
filter_ratio = paired_ratio(("base", "filter"), ("base", "cp+rm/passes"))
filter_peak = max(memory["filter"]) / 1024
print("%-34s %7.2fx cp+rm  <= 3x (50 in flight, wait 0, paired)  %s"
      % ("the filter end to end", filter_ratio, verdict(filter_ratio <= 3)))
print("%-34s %7.1f MiB  < 16 MiB (VmHWM)  %s"
      % ("  its peak memory", filter_peak, verdict(filter_peak < 16)))
print("%-34s %7.3f s   < 0.35 s (scan work)  %s" % ("5,000 small attachments", small, verdict(small < 0.35)))
scale = 100 if quick else 1
for reading, words in (("", "both readings"), ("first-reading/", "first reading alone")):
    figures = {}
    for count, name in ((10_000, "many_small_10k.eml"), (50_000, "many_small_50k.eml")):
        figures[count] = (med[("bench", reading + "single/" + name)],
                          max(peaks[reading + "single/" + name]))
        target = "  < 16 MiB  %s" % verdict(figures[count][1] < 16) if count == 50_000 and not reading else ""
        print("%-34s %7.3f s   %5.1f MiB peak%s"
              % ("%s small attachments, %s" % (format(count // scale, ","), words),
                 figures[count][0], figures[count][1], target))
    kept = (figures[50_000][1] - figures[10_000][1]) * 1024 / ((50_000 - 10_000) // scale)
    linear = figures[50_000][0] / (5 * figures[10_000][0])
    print("%-34s %7.2f KiB per attachment; time per attachment 50k / 10k %.2f (linear: 1)"
          % ("  memory kept", kept, linear))
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
