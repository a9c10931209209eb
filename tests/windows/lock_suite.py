#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Tarnwick's Windows build against really locked files, under Wine.

scripts/windows-lock-test.sh prepares the Wine prefix and the two programs and calls this driver:
  lock_suite.py --tarnwick EXE --holder EXE --work DIR [--wait S]
The driver starts `wine EXE S` in DIR and plays the anti-virus with lock_holder.exe, which runs in
the same Wine prefix (a Linux process holding a file would not lock it for Wine). Cases, one
request each, in one Tarnwick run:
  1 the message copy is held through the first-level removal, then quarantined before the first
    waiting round: a virus
  2 both part files are held through the second-level removal, then released
  3 a part file is held through the second-level removal, then quarantined
  4 a part file's name is blocked (share mode 0) and the next part file is held: unpacking fails,
    the immediate clean-up cannot remove the held file, it is retried at the end of the job and
    again in the next job (request 5), which clears it
  6 the message copy is held through the first-level removal for a moment, then released intact:
    a waiting round removes it and the message is clean
  7 the original message file is held (share mode 0) after the copy, so the second level cannot
    reopen it, then released: it is reopened and its attachments are checked
  8 the same, but the original is deleted when released: a virus
Before that run, `tarnwick --check 0` meets an anti-virus that locks its test file (held without
sharing, then released): it reports the file locked, exits 0 and leaves ScanMe empty.
"""

import argparse
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "clamav"))
import test_messages as msgs  # noqa: E402
from tarnwick_session import CLEAN_ANSWER, VIRUS_ANSWER, TarnwickSession  # noqa: E402

# Bound on any single expected event (a holder's line, an answer); Wine starts slowly.
EVENT_TIMEOUT_SECONDS = 90
# How long the holders keep their files, from the moment they took them.
HOLD_SECONDS = 6
# Beyond Tarnwick's wait: a short hold lasts a second past the first-level check, so it is over
# before the first waiting round of a message with attachments (after both waits); the hold on
# an original message file lasts two seconds past the reopening after the first wait, so that
# at least one reopening is refused.
SHORT_HOLD_EXTRA_SECONDS = 1
ORIGINAL_HOLD_EXTRA_SECONDS = 2

LOCKED_LINE = "Temp files are locked by the AV, waiting 1 sec"
UNPACK_ERROR = (
    "Error while unpacking attachments, the AV probably prevented disk write because of virus "
    "in data."
)
UNPACK_SKIP = (
    "Virus found, skipping second-level verification but waiting a few seconds for the files to "
    "be unlocked."
)
CLEAN_FAILED = (
    "Unable to clean temp files, files may remain in ScanMe folder. Will try to clean them later."
)
RETRYING = "* Retrying to clear temp files left by previous scans"
STILL_LOCKED = "* Unable to clean all temp files, will try again later"
ALL_CLEARED = "* All temp files cleared"
COPY_GIVEN_UP = (
    "The AV kept the temp file locked, giving up waiting; the file may remain in ScanMe folder."
)
REOPEN_LINE = "Unable to reopen the message, waiting 1 sec"
MESSAGE_GONE = (
    "The message file is gone, the AV probably removed it because of virus in data. Virus found, "
    "skipping second-level verification"
)


def verdict_of(answer):
    """verdict_of - a short name for an answer text."""
    return {VIRUS_ANSWER: "Virus Found", CLEAN_ANSWER: "No Virus Reported"}.get(answer, answer)


class Holder:
    """One lock_holder.exe process and the lines it has printed."""

    def __init__(self, exe, mode, path, seconds, cwd, after=None):
        self.lines = []
        self._cond = threading.Condition()
        self.process = subprocess.Popen(
            ["wine", exe, mode, path, str(seconds)] + ([after] if after else []),
            cwd=cwd,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
        )
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.process.stdout:
            with self._cond:
                self.lines.append(raw.decode("latin-1").split(" ", 1)[0])
                self._cond.notify_all()

    def wait_for(self, word):
        """wait_for - True once the holder printed a line starting with word."""
        with self._cond:
            return self._cond.wait_for(lambda: word in self.lines, EVENT_TIMEOUT_SECONDS)

    def finish(self):
        try:
            self.process.wait(EVENT_TIMEOUT_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Suite:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.failures = []

    def check(self, case, condition, what):
        if not condition:
            self.failures.append("%s: %s" % (case, what))

    def holder(self, mode, path, seconds=HOLD_SECONDS, after=None):
        """holder - a lock_holder on path (relative to the work folder), taken once after exists."""
        return Holder(self.args.holder, mode, path, seconds, self.work, after)

    def submit(self, session, request_id, message):
        with open(os.path.join(self.work, "mail", "%d.eml" % request_id), "wb") as f:
            f.write(message)
        session.send("%d FILE mail\\%d.eml" % (request_id, request_id))

    def answer(self, session, request_id):
        session.wait_until(lambda ls: request_id in session.answers(), EVENT_TIMEOUT_SECONDS)
        return session.answers().get(request_id)

    def run_held_case(self, session, case, request_id, message, holders, expected,
                      waiting_line=LOCKED_LINE):
        """run_held_case - one request while the holders (already started) play the anti-virus."""
        for h in holders:
            self.check(case, h.wait_for("waiting"), "the holder did not start")
        self.submit(session, request_id, message)
        answer = self.answer(session, request_id)
        for h in holders:
            self.check(case, h.wait_for("holding"), "the holder never took its file")
            h.finish()
        log = session.log_for(request_id)
        self.check(case, answer == expected, "answered %r" % answer)
        self.check(case, waiting_line in log, "no waiting line %r" % waiting_line)
        self.report(case, "%d waiting lines, %s" % (log.count(waiting_line), verdict_of(answer)))
        return log

    def copy_holder(self, mode, request_id, seconds):
        """copy_holder - a holder on the message copy of a request."""
        return self.holder(mode, "ScanMe\\mail-%d-msg.scanme" % request_id, seconds)

    def short_hold(self):
        """short_hold - seconds of a hold that ends a second after the first-level check."""
        return self.args.wait + SHORT_HOLD_EXTRA_SECONDS

    def part_holder(self, mode, request_id, part):
        """part_holder - a holder on one part file of a request."""
        return self.holder(mode, "ScanMe\\msg-%d-part-%d.scanme" % (request_id, part))

    def original_holder(self, mode, request_id):
        """original_holder - a holder on a request's message file, taken once its copy exists."""
        seconds = self.args.wait + ORIGINAL_HOLD_EXTRA_SECONDS
        return self.holder(mode, "mail\\%d.eml" % request_id, seconds,
                           "ScanMe\\mail-%d-msg.scanme" % request_id)

    def report(self, case, what):
        mine = [f for f in self.failures if f.startswith(case + ":")]
        print("  %s %-18s %s" % ("FAIL" if mine else "ok  ", case, what))

    def run(self):
        os.makedirs(os.path.join(self.work, "mail"), exist_ok=True)
        two_parts = msgs.base64_attachment_message(b"first part\n", "a.bin")
        two_parts = two_parts.replace(
            b"--=_tarnwick_suite_boundary--",
            b"--=_tarnwick_suite_boundary\nContent-Type: application/octet-stream\n"
            b"Content-Transfer-Encoding: base64\nContent-Disposition: attachment; "
            b'filename="b.bin"\n\nc2Vjb25kIHBhcnQK\n--=_tarnwick_suite_boundary--',
        )
        started = time.monotonic()
        self.run_probe_case()
        command = ["wine", self.args.tarnwick, str(self.args.wait)]
        # CR LF, as a Windows mail server sends: under Wine a Unix pipe cannot be peeked, so a
        # bare LF would leave the program waiting for the next input to end the line.
        with TarnwickSession(command, cwd=self.work, line_end=b"\r\n") as session:
            if not session.initialise(EVENT_TIMEOUT_SECONDS):
                print("FAIL: no INTF answer; output: %s" % session.lines()[-5:])
                return 1
            log = self.run_held_case(
                session, "copy quarantined", 1, two_parts,
                [self.copy_holder("hold-delete", 1, self.short_hold())], VIRUS_ANSWER)
            self.check("copy quarantined", "First-Level verification passed" in log,
                       "the first level did not pass before the wait for the copy")

            log = self.run_held_case(
                session, "parts held", 2, two_parts,
                [self.part_holder("hold", 2, 0), self.part_holder("hold", 2, 1)], CLEAN_ANSWER)
            self.check("parts held", "Second-Level verification" in log, "no second level")

            log = self.run_held_case(
                session, "part quarantined", 3, two_parts,
                [self.part_holder("hold-delete", 3, 0)], VIRUS_ANSWER)
            self.check("part quarantined", "Second-Level verification" in log, "no second level")

            self.run_blocked_case(session, two_parts)

            log = self.run_held_case(
                session, "copy released", 6, msgs.plain_message("Nothing attached.\n"),
                [self.copy_holder("hold", 6, self.short_hold())], CLEAN_ANSWER)
            self.check("copy released", COPY_GIVEN_UP not in log, "the wait for the copy gave up")

            log = self.run_held_case(
                session, "message held", 7, two_parts, [self.original_holder("refuse", 7)],
                CLEAN_ANSWER, REOPEN_LINE)
            self.check("message held", "Second-Level verification" in log, "no second level")

            log = self.run_held_case(
                session, "message quarantined", 8, two_parts,
                [self.original_holder("refuse-delete", 8)], VIRUS_ANSWER, REOPEN_LINE)
            self.check("message quarantined", MESSAGE_GONE in log, "no line saying it is gone")
        elapsed = time.monotonic() - started

        left = [n for n in os.listdir(os.path.join(self.work, "ScanMe")) if n.endswith(".scanme")]
        self.check("after the run", not left, "files left in ScanMe: %s" % left)
        for failure in self.failures:
            print("  FAIL %s" % failure)
        print("windows-lock-test: %d failures, %.1f s" % (len(self.failures), elapsed))
        return 1 if self.failures else 0

    def run_probe_case(self):
        case = "test file locked"
        holder = self.holder("refuse", "ScanMe\\probe-*.scanme")
        self.check(case, holder.wait_for("waiting"), "the holder did not start")
        result = subprocess.run(["wine", self.args.tarnwick, "--check", "0"], cwd=self.work,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                timeout=2 * EVENT_TIMEOUT_SECONDS)
        report = result.stdout.decode("latin-1").splitlines()
        self.check(case, holder.wait_for("holding"), "the holder never took the test file")
        holder.finish()
        self.check(case, result.returncode == 0, "--check exited with %d" % result.returncode)
        found = [line for line in report if line.startswith("* Anti-virus check: ")]
        self.check(case, found and " was locked after " in found[0], "reported %s" % report)
        left = [n for n in os.listdir(os.path.join(self.work, "ScanMe")) if n != "tarnwick.lock"]
        self.check(case, not left, "files left in ScanMe: %s" % left)
        self.report(case, found[0] if found else "no check line")

    def run_blocked_case(self, session, two_parts):
        case = "part not created"
        blocker = self.part_holder("block", 4, 0)
        self.check(case, blocker.wait_for("holding"), "the blocker did not take the name")
        held = self.part_holder("hold", 4, 1)
        self.check(case, held.wait_for("waiting"), "the holder did not start")
        self.submit(session, 4, two_parts)
        answer = self.answer(session, 4)
        log = session.log_for(4)
        self.check(case, answer == VIRUS_ANSWER, "answered %r" % answer)
        verdict = verdict_of(answer)
        expected = [UNPACK_ERROR, UNPACK_SKIP, "Trying to clean", CLEAN_FAILED]
        self.check(case, [line for line in log if line in expected] == expected,
                   "unpacking error lines missing or out of order: %s" % log)
        self.check(case, "Second-Level verification" not in log, "a second wait ran")
        tail = session.lines()
        self.check(case, RETRYING in tail and STILL_LOCKED in tail,
                   "the same job did not retry the held file")

        # Once the file is released, the next job's clean-up removes it.
        self.check(case, held.wait_for("released"), "the holder did not release its file")
        blocker.finish()
        held.finish()
        before = len(session.lines())
        self.submit(session, 5, msgs.plain_message("Later message.\n"))
        later_answer = self.answer(session, 5)
        later = session.lines()[before:]
        self.check(
            case, later_answer == CLEAN_ANSWER, "the later message answered %r" % later_answer
        )
        self.check(case, RETRYING in later and ALL_CLEARED in later,
                   "the later job did not clear the left files: %s" % later)
        self.report(case, "unpacking error, deferred, cleared by request 5; %s" % verdict)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tarnwick", required=True)
    parser.add_argument("--holder", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--wait", type=int, default=2)
    return Suite(parser.parse_args()).run()


if __name__ == "__main__":
    sys.exit(main())
