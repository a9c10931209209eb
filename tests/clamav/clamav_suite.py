#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Tarnwick beside ClamAV's on-access scanner: the cases and their catch figures.

scripts/clamav-test.sh sets up clamd and clamonacc and calls this driver; the driver never starts
or stops the scanner itself. Subcommands:
  signatures FILE            write the private signature database
  fanotify-check DIR         tell whether this kernel lets a scanner watch DIR (exit 0 when it does)
  probe DIR SECONDS          prove the scanner is live: an infected probe file in DIR must vanish
  run --tarnwick P --work D --scan-mail yes|no [--runs N] [--wait S]
                             run every case of that scanner setting N times against a fresh
                             Tarnwick in D (whose ScanMe folder the scanner watches)
  stopped --tarnwick P --work D --scanner-pid N [--every S] [--wait S]
                             Tarnwick under --require-av --av-check-every Ss in D: a clean message
                             gets its verdict, then the on-access scanner N is stopped (SIGTERM)
                             and clean messages follow one by one until one is postponed, which
                             must happen within two intervals; prints the time it took
A case passes only when every one of its runs gets the expected verdict at the expected level.
"""

import argparse
import ctypes
import ctypes.util
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_messages as msgs  # noqa: E402
from tarnwick_session import CLEAN_ANSWER, VIRUS_ANSWER, TarnwickSession  # noqa: E402

# At most this many requests are in flight at once (the program refuses more than 50).
MAX_IN_FLIGHT = 40

# Extra seconds a message may take beyond its two waits before the run counts as hung.
ANSWER_SLACK_SECONDS = 60

ONE_MIB = 1024 * 1024

# The filter's anti-virus check at start-up: its lines, and a bound on the wait for the first.
CHECK_PREFIX = "* Anti-virus check: "
WATCHING = "; the anti-virus is watching."
PROBE_SECONDS = 40

FIRST_LEVEL_FAILED = (
    "First-Level verification failed, virus found, skipping second-level verification"
)
FIRST_LEVEL_PASSED = "First-Level verification passed"
SECOND_LEVEL = "Second-Level verification"


def cases_for(scan_mail):
    """cases_for - (name, message bytes, expected level) for one scanner setting.

    Expected level: "clean" (No Virus Reported), "first" (the copy was caught) or "second"
    (the copy passed, a decoded attachment was caught)."""
    marker, standard = msgs.marker_payload(), msgs.standard_test_file()
    large_plain = msgs.plain_message(b"\n" + msgs.MARKER + b"\n", ONE_MIB)
    if scan_mail:
        # The scanner decodes mail itself, so encoded attachments are caught in the copy.
        return [
            ("clean plain text", msgs.plain_message("Nothing to see here.\n"), "clean"),
            ("base64 marker attachment", msgs.base64_attachment_message(marker), "first"),
            ("base64 test file attachment", msgs.base64_attachment_message(standard), "first"),
            ("uuencoded marker body", msgs.uuencoded_message(marker), "first"),
            ("1 MiB plain text with marker", large_plain, "first"),
        ]
    return [
        ("clean base64 attachment", msgs.base64_attachment_message(b"harmless\n" * 50), "clean"),
        ("base64 marker attachment", msgs.base64_attachment_message(marker), "second"),
        ("base64 test file attachment", msgs.base64_attachment_message(standard), "second"),
        ("uuencoded marker body", msgs.uuencoded_message(marker), "second"),
        ("uuencoded test file body", msgs.uuencoded_message(standard), "second"),
        ("1 MiB plain text with marker", large_plain, "first"),
        (
            "base64 marker attachment in 1 MiB",
            msgs.base64_attachment_message(marker + b"\0" * ONE_MIB),
            "second",
        ),
    ]


def judge(answer, log, expected):
    """judge - None when one run met its expectation, else what went wrong."""
    if answer is None:
        return "no answer"
    if expected == "clean":
        return None if answer == CLEAN_ANSWER else "answered %r" % answer
    if answer != VIRUS_ANSWER:
        return "missed (answered %r)" % answer
    if expected == "first" and FIRST_LEVEL_FAILED not in log:
        return "caught, but not at the first level"
    if expected == "second" and (FIRST_LEVEL_PASSED not in log or SECOND_LEVEL not in log):
        return "caught, but not at the second level"
    return None


def run_cases(args):
    work = os.path.abspath(args.work)
    mail = os.path.join(work, "mail")
    os.makedirs(mail, exist_ok=True)
    jobs = []  # (request id, case index)
    cases = cases_for(args.scan_mail == "yes")
    for index, (_, message, _) in enumerate(cases):
        for _ in range(args.runs):
            request_id = len(jobs) + 1
            with open(os.path.join(mail, "%d.eml" % request_id), "wb") as f:
                f.write(message)
            jobs.append((request_id, index))

    started = time.monotonic()
    per_message_bound = 2 * max(args.wait, 22) + ANSWER_SLACK_SECONDS
    with TarnwickSession([args.tarnwick, str(args.wait)], cwd=work) as session:
        if not session.initialise():
            print("FAIL: Tarnwick did not answer INTF; output: %s" % session.lines()[-5:])
            return 1
        # The filter's own probe must see the scanner; it is waited for before the messages
        # come, so that the reaction time it measures is the scanner's alone.
        session.wait_until(lambda ls: any(l.startswith(CHECK_PREFIX) for l in ls),
                           PROBE_SECONDS)
        checks = [line for line in session.lines() if line.startswith(CHECK_PREFIX)]
        ids = [request_id for request_id, _ in jobs]

        def answered():
            found = session.answers()
            return sum(1 for request_id in ids if request_id in found)

        sent = 0
        while answered() < len(jobs):
            # Keep the queue full without exceeding the program's limit.
            while sent < len(jobs) and sent - answered() < MAX_IN_FLIGHT:
                request_id = jobs[sent][0]
                session.send("%d FILE %s" % (request_id, os.path.join(mail, "%d.eml" % request_id)))
                sent += 1
            done = answered()
            if not session.wait_until(lambda _: answered() > done, per_message_bound):
                break
        answers = session.answers()
        logs = {request_id: session.log_for(request_id) for request_id, _ in jobs}
    elapsed = time.monotonic() - started

    failed = 0
    totals = {"clean": [0, 0], "infected": [0, 0]}  # kind -> [as expected, runs]
    print("ScanMail %s, %d runs per case, wait %d s:" % (args.scan_mail, args.runs, args.wait))
    for index, (name, message, expected) in enumerate(cases):
        problems = []
        for request_id, case in jobs:
            if case == index:
                problem = judge(answers.get(request_id), logs[request_id], expected)
                if problem:
                    problems.append("#%d %s" % (request_id, problem))
        good = args.runs - len(problems)
        total = totals["clean" if expected == "clean" else "infected"]
        total[0] += good
        total[1] += args.runs
        verdict = "ok  " if not problems else "FAIL"
        what = "clean" if expected == "clean" else "caught at %s level" % expected
        size = len(message)
        print("  %s %-36s %7d bytes  %s %d/%d" % (verdict, name, size, what, good, args.runs))
        for problem in problems[:5]:
            print("         %s" % problem)
        failed += bool(problems)

    watching = bool(checks) and checks[0].endswith(WATCHING)
    print("  %s anti-virus check at start-up: %s" % ("ok  " if watching else "FAIL",
                                                      checks[0] if checks else "no line"))
    failed += not watching
    leftovers = [n for n in os.listdir(os.path.join(work, "ScanMe")) if n.endswith(".scanme")]
    if leftovers:
        print("  FAIL files left in ScanMe: %s" % ", ".join(sorted(leftovers)[:10]))
        failed += 1
    print(
        "  %d messages in %.1f s: infected caught as expected %d/%d, clean passed %d/%d"
        % (len(jobs), elapsed, *totals["infected"], *totals["clean"])
    )
    return 1 if failed else 0


def fanotify_check(directory):
    """fanotify_check - the two kernel calls an on-access scanner depends on, with their errors."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
    fan_class_content, fan_cloexec = 0x04, 0x01
    fan_mark_add, fan_open, fan_open_perm, fan_on_child = 0x01, 0x20, 0x10000, 0x08000000
    fd = libc.fanotify_init(fan_class_content | fan_cloexec, os.O_RDONLY)
    if fd < 0:
        print("fanotify_init(FAN_CLASS_CONTENT): %s" % os.strerror(ctypes.get_errno()))
        return 1
    try:
        mask = ctypes.c_uint64(fan_open | fan_open_perm | fan_on_child)
        if libc.fanotify_mark(fd, fan_mark_add, mask, -100, directory.encode()) < 0:
            print("fanotify_mark(%s): %s" % (directory, os.strerror(ctypes.get_errno())))
            return 1
    finally:
        os.close(fd)
    return 0


def probe(directory, seconds):
    """probe - writes an infected probe file, opens it again, waits for the scanner to take it."""
    path = os.path.join(directory, "tarnwick-probe.txt")
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        # Write it, or open it again: the scanner may have started watching only now.
        try:
            if os.path.exists(path):
                open(path, "rb").close()
            else:
                with open(path, "wb") as f:
                    f.write(msgs.marker_payload())
        except FileNotFoundError:
            return 0
        time.sleep(0.5)
        if not os.path.exists(path):
            return 0
    try:
        os.remove(path)
    except FileNotFoundError:
        pass
    print("the scanner did not remove an infected probe file within %d s" % seconds)
    return 1


def stopped(args):
    """stopped - the time from stopping the on-access scanner to the first postponement."""
    work = os.path.abspath(args.work)
    message = os.path.join(work, "stopped.eml")
    with open(message, "wb") as f:
        f.write(b"From: a@example.org\r\nSubject: clean\r\n\r\nNothing here.\r\n")
    command = [args.tarnwick, "--require-av", "--av-check-every", "%ds" % args.every, str(args.wait)]
    bound = 2 * args.every + 2 * args.wait + 5  # two intervals, one message's waits, slack
    with TarnwickSession(command, cwd=work) as session:
        if not session.initialise():
            print("FAIL: Tarnwick did not answer INTF")
            return 1
        session.wait_until(lambda ls: any(l.endswith(WATCHING) for l in ls), PROBE_SECONDS)
        request_id = 1

        def answer_of(number):
            session.send("%d FILE %s" % (number, message))
            session.wait_until(lambda _: number in session.answers(), 2 * args.wait + 60)
            return session.answers().get(number)

        first = answer_of(request_id)
        if first != CLEAN_ANSWER:
            print("FAIL: before the stop, a clean message was answered %r" % first)
            return 1
        os.kill(args.scanner_pid, signal.SIGTERM)
        stopped_at = time.monotonic()
        verdicts = 0
        while time.monotonic() - stopped_at < bound + 30:
            request_id += 1
            answer = answer_of(request_id)
            if answer is not None and "not watching" in answer:
                took = time.monotonic() - stopped_at
                print("  %s scanner stopped -> first postponement: %.1f s (interval %d s, wait %d s, "
                      "%d verdicts meanwhile)" % ("ok  " if took <= bound else "FAIL", took,
                                                  args.every, args.wait, verdicts))
                return 0 if took <= bound else 1
            verdicts += answer == CLEAN_ANSWER
        print("FAIL: no message postponed within %d s of stopping the scanner" % (bound + 30))
        return 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("signatures").add_argument("file")
    sub.add_parser("fanotify-check").add_argument("directory")
    probe_args = sub.add_parser("probe")
    probe_args.add_argument("directory")
    probe_args.add_argument("seconds", type=int)
    run_args = sub.add_parser("run")
    run_args.add_argument("--tarnwick", required=True)
    run_args.add_argument("--work", required=True)
    run_args.add_argument("--scan-mail", choices=("yes", "no"), required=True)
    run_args.add_argument("--runs", type=int, default=10)
    run_args.add_argument("--wait", type=int, default=2)
    stopped_args = sub.add_parser("stopped")
    stopped_args.add_argument("--tarnwick", required=True)
    stopped_args.add_argument("--work", required=True)
    stopped_args.add_argument("--scanner-pid", type=int, required=True)
    stopped_args.add_argument("--every", type=int, default=10)
    stopped_args.add_argument("--wait", type=int, default=2)
    args = parser.parse_args()
    if args.command == "stopped":
        return stopped(args)
    if args.command == "signatures":
        with open(args.file, "w") as f:
            f.write(msgs.signature_lines())
        return 0
    if args.command == "fanotify-check":
        return fanotify_check(args.directory)
    if args.command == "probe":
        return probe(args.directory, args.seconds)
    return run_cases(args)


if __name__ == "__main__":
    sys.exit(main())
