#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""soak.py - a long run of one tarnwick process: throughput and memory over time.

Drives MESSAGES requests (default 100,000) through one tarnwick process at
wait 0, keeping WINDOW (default 50, the filter's limit) in flight: a new FILE
goes out for every answer read. The messages are a mix of the end-to-end test
messages and the unpacker's golden cases, copied to a work folder on a tmpfs.

Reports messages per second and the process's resident memory (VmRSS from
/proc) after start-up, after 10,000 answers and at the end, and the growth
between the last two against the target (under 2 MiB), and its peak (VmHWM).
--folder DIR takes the messages from DIR instead (bench/compare.sh gives it the
typical messages), and --result FILE appends one line "SECONDS PEAK_KIB" there:
the time from the first FILE to the last answer, and the peak. The filter runs
with --no-av-check: its start-up check of the anti-virus is no part of the
throughput, and its lines are none of the forms expected here. Fails (exit status 1)
when a request is not answered exactly once, a line is not of a known form,
the filter stops answering, or ScanMe is not empty at the end. A benchmark,
not a test: the figures depend on the machine.

Usage: bench/soak.py [--messages N] [--window N] [--tarnwick PATH] [--folder DIR]
                     [--result FILE]
Environment: TMPFS_DIR (default /dev/shm/tarnwick-soak), BUILD_DIR (default
build-bench; tarnwick is built there in Release when --tarnwick is not given).
"""
import argparse
import glob
import os
import re
import select
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# RSS is sampled after this many answers and at the end; the growth between
# the two samples is what the target bounds.
CHECKPOINT = 10_000
TARGET_GROWTH_KIB = 2048
# Longest silence before the run counts as hung.
SILENCE_SECONDS = 30

ANSWER = re.compile(r'^(\d+) ADDHEADER "X-Tarnwick: (No Virus Reported|Virus Found)'
                    r'\\eX-ExtScanner: Quillmark\'s Tarnwick"$')
REFUSAL = re.compile(r'^(\d+) REJECTED "(Too much files in queue|This request ID is already in use)')
PROGRESS = re.compile(r'^\* \((\d+)\) (.*)$')
OTHER_LOG = re.compile(r'^\* (Adding Header\(s\) to message|Retrying to clear temp files left by '
                       r'previous scans|All temp files cleared)$')


def build_tarnwick():
    build = os.environ.get("BUILD_DIR", os.path.join(ROOT, "build-bench"))
    if not os.path.exists(os.path.join(build, "build.ninja")):
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DTARNWICK_TESTS=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "tarnwick"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build, "app", "tarnwick")


def resident_kib(pid, field="VmRSS:"):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1])
    return -1


class Lines:
    """Whole lines from the child's standard output, with a silence limit."""

    def __init__(self, descriptor):
        self.descriptor = descriptor
        self.pending = b""
        self.ready = []

    def next(self):
        while not self.ready:
            if not select.select([self.descriptor], [], [], SILENCE_SECONDS)[0]:
                raise RuntimeError("no output for %d s" % SILENCE_SECONDS)
            chunk = os.read(self.descriptor, 1 << 16)
            if not chunk:
                raise RuntimeError("standard output ended")
            parts = (self.pending + chunk).split(b"\n")
            self.pending = parts.pop()
            self.ready.extend(part.decode("latin-1") for part in parts)
            self.ready.reverse()
        return self.ready.pop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=100_000)
    parser.add_argument("--window", type=int, default=50)
    parser.add_argument("--tarnwick")
    parser.add_argument("--folder")
    parser.add_argument("--result")
    args = parser.parse_args()
    tarnwick = os.path.abspath(args.tarnwick) if args.tarnwick else build_tarnwick()

    work = os.path.join(os.environ.get("TMPFS_DIR", "/dev/shm/tarnwick-soak"), "work")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    samples = []
    if args.folder:
        sources = sorted(glob.glob(os.path.join(args.folder, "*")))
    else:
        sources = sorted(glob.glob(os.path.join(ROOT, "tests/e2e/messages/*.eml")) +
                         glob.glob(os.path.join(ROOT, "tests/unpacker/cases/*.eml")))
    for source in sources:
        samples.append(os.path.join(work, "%04d-%s" % (len(samples), os.path.basename(source))))
        shutil.copyfile(source, samples[-1])

    child = subprocess.Popen([tarnwick, "--no-av-check", "0"], cwd=work, stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, bufsize=0)
    lines = Lines(child.stdout.fileno())
    started = {}
    answered = {}
    verdicts = {}
    malformed = []
    refusals = 0
    sent = 0

    def send(number):
        child.stdin.write(("%d FILE %s\n" % (number, samples[number % len(samples)])).encode())

    child.stdin.write(b"1 INTF\n")
    while lines.next() != "* Filter is initialized and waiting for commands.":
        pass
    rss_start = resident_kib(child.pid)
    began = time.monotonic()
    while sent < min(args.window, args.messages):
        sent += 1
        send(sent)
    rss_checkpoint = None
    checkpoint_time = None
    while len(answered) < args.messages:
        line = lines.next()
        match = ANSWER.match(line)
        if match:
            number = int(match.group(1))
            answered[number] = answered.get(number, 0) + 1
            verdicts[match.group(2)] = verdicts.get(match.group(2), 0) + 1
            if started.get(number) != 1 or answered[number] != 1:
                malformed.append("answer without one start: " + line)
            if len(answered) == CHECKPOINT:
                rss_checkpoint = resident_kib(child.pid)
                checkpoint_time = time.monotonic()
            if sent < args.messages:
                sent += 1
                send(sent)
            continue
        match = REFUSAL.match(line)
        if match:
            # Should not happen with a window within the limit; sent again.
            refusals += 1
            send(int(match.group(1)))
            continue
        match = PROGRESS.match(line)
        if match:
            if match.group(2) == "Thread processing started":
                number = int(match.group(1))
                started[number] = started.get(number, 0) + 1
            continue
        if not OTHER_LOG.match(line):
            malformed.append(line)
    elapsed = time.monotonic() - began
    rss_end = resident_kib(child.pid)
    rss_peak = resident_kib(child.pid, "VmHWM:")
    child.stdin.close()
    child.wait(10)
    leftovers = [name for name in os.listdir(os.path.join(work, "ScanMe"))
                 if name.endswith(".scanme")]

    print("soak: %d messages, %d in flight, wait 0, %d sample messages" %
          (args.messages, args.window, len(samples)))
    print("  throughput: %.0f messages/s overall (%.1f s)" % (args.messages / elapsed, elapsed))
    if checkpoint_time is not None:
        rest = args.messages - CHECKPOINT
        print("  throughput after %d: %.0f messages/s" %
              (CHECKPOINT, rest / max(time.monotonic() - checkpoint_time, 1e-9)))
    print("  verdicts: %s; refusals: %d" %
          (", ".join("%s %d" % item for item in sorted(verdicts.items())), refusals))
    print("  VmRSS: start %d KiB, after %d answers %s KiB, end %d KiB; peak (VmHWM) %d KiB" %
          (rss_start, CHECKPOINT, rss_checkpoint if rss_checkpoint is not None else "-", rss_end,
           rss_peak))
    if args.result:
        with open(args.result, "a") as result:
            result.write("%.6f %d\n" % (elapsed, rss_peak))
    failed = False
    if rss_checkpoint is not None:
        growth = rss_end - rss_checkpoint
        verdict = "within" if growth < TARGET_GROWTH_KIB else "OVER"
        print("  growth %d -> end: %+d KiB (%s the target of < %d KiB)" %
              (CHECKPOINT, growth, verdict, TARGET_GROWTH_KIB))
    unanswered = [n for n in range(1, args.messages + 1) if answered.get(n) != 1]
    if unanswered or len(answered) != args.messages:
        print("  FAIL %d requests not answered exactly once (first: %s)" %
              (len(unanswered), unanswered[:5]))
        failed = True
    if malformed:
        print("  FAIL %d unexpected lines (first: %r)" % (len(malformed), malformed[:3]))
        failed = True
    if leftovers:
        print("  FAIL ScanMe not empty: %s" % ", ".join(sorted(leftovers)[:10]))
        failed = True
    if not failed:
        print("  every request answered exactly once; ScanMe empty")
    shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
