#!/usr/bin/env python3
"""Tarnwick's Windows build against really locked files, under Wine.

scripts/windows-lock-test.sh prepares the Wine prefix and the two programs and calls this driver:
  lock_suite.py --tarnwick EXE --holder EXE --work DIR [--wait S]
The driver starts `wine EXE S` in DIR and plays the anti-virus with lock_holder.exe, which runs in
the same Wine prefix (a Linux process holding a file would not lock it for Wine). Cases, one
request each, in one Tarnwick run:
  1 the message copy is held through the first-level removal, then quarantined
  2 both part files are held through the second-level removal, then released
  3 a part file is held through the second-level removal, then quarantined
  4 a part file's name is blocked (share mode 0) and the next part file is held: unpacking fails,
    the immediate clean-up cannot remove the held file, it is retried at the end of the job and
    again in the next job (request 5), which clears it
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


def verdict_of(answer):
    """verdict_of - a short name for an answer text."""
    return {VIRUS_ANSWER: "Virus Found", CLEAN_ANSWER: "No Virus Reported"}.get(answer, answer)


class Holder:
    """One lock_holder.exe process and the lines it has printed."""

    def __init__(self, exe, mode, path, seconds, cwd):
        self.lines = []
        self._cond = threading.Condition()
        self.process = subprocess.Popen(
            ["wine", exe, mode, path, str(seconds)],
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

    def holder(self, mode, name):
        return Holder(self.args.holder, mode, "ScanMe\\" + name, HOLD_SECONDS, self.work)

    def submit(self, session, request_id, message):
        with open(os.path.join(self.work, "mail", "%d.eml" % request_id), "wb") as f:
            f.write(message)
        session.send("%d FILE mail\\%d.eml" % (request_id, request_id))

    def answer(self, session, request_id):
        session.wait_until(lambda ls: request_id in session.answers(), EVENT_TIMEOUT_SECONDS)
        return session.answers().get(request_id)

    def run_held_case(self, session, case, request_id, message, holds, expected):
        holders = [self.holder(mode, name) for mode, name in holds]
        for h in holders:
            self.check(case, h.wait_for("waiting"), "the holder did not start")
        self.submit(session, request_id, message)
        answer = self.answer(session, request_id)
        for h in holders:
            self.check(case, h.wait_for("holding"), "the holder never took its file")
            h.finish()
        log = session.log_for(request_id)
        self.check(case, answer == expected, "answered %r" % answer)
        self.check(case, LOCKED_LINE in log, "no waiting line for the locked file")
        self.report(case, "%d waiting lines, %s" % (log.count(LOCKED_LINE), verdict_of(answer)))
        return log

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
        command = ["wine", self.args.tarnwick, str(self.args.wait)]
        # CR LF, as a Windows mail server sends: under Wine a Unix pipe cannot be peeked, so a
        # bare LF would leave the program waiting for the next input to end the line.
        with TarnwickSession(command, cwd=self.work, line_end=b"\r\n") as session:
            if not session.initialise(EVENT_TIMEOUT_SECONDS):
                print("FAIL: no INTF answer; output: %s" % session.lines()[-5:])
                return 1
            log = self.run_held_case(
                session, "copy held", 1, msgs.plain_message("Nothing attached.\n"),
                [("hold-delete", "mail-1-msg.scanme")], VIRUS_ANSWER)
            self.check("copy held", "First-Level verification passed" in log,
                       "the first level did not pass before the wait for the copy")

            log = self.run_held_case(
                session, "parts held", 2, two_parts,
                [("hold", "msg-2-part-0.scanme"), ("hold", "msg-2-part-1.scanme")], CLEAN_ANSWER)
            self.check("parts held", "Second-Level verification" in log, "no second level")

            log = self.run_held_case(
                session, "part quarantined", 3, two_parts,
                [("hold-delete", "msg-3-part-0.scanme")], VIRUS_ANSWER)
            self.check("part quarantined", "Second-Level verification" in log, "no second level")

            self.run_blocked_case(session, two_parts)
        elapsed = time.monotonic() - started

        left = [n for n in os.listdir(os.path.join(self.work, "ScanMe")) if n.endswith(".scanme")]
        self.check("after the run", not left, "files left in ScanMe: %s" % left)
        for failure in self.failures:
            print("  FAIL %s" % failure)
        print("windows-lock-test: %d failures, %.1f s" % (len(self.failures), elapsed))
        return 1 if self.failures else 0

    def run_blocked_case(self, session, two_parts):
        case = "part not created"
        blocker = self.holder("block", "msg-4-part-0.scanme")
        self.check(case, blocker.wait_for("holding"), "the blocker did not take the name")
        held = self.holder("hold", "msg-4-part-1.scanme")
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
