#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The first session an administrator tries, against an installed Tarnwick.

Usage: package_session.py --work DIR --message FILE -- COMMAND...

Copies FILE into the empty folder DIR and starts COMMAND there (`tarnwick 0` from the PATH, or
`wine tarnwick.exe 0` from an unpacked zip); sends INTF, FILE of the message by its name in DIR,
and QUIT. Checks the banner, every answer, that the attachments were unpacked, the exit status 0
once standard input ends, and that ScanMe is left empty. Prints the session, lines sent marked
with "> ". Exit status 0 when every check passed.
"""

import argparse
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "clamav"))
from tarnwick_session import CLEAN_ANSWER, TarnwickSession  # noqa: E402

# Bounds in seconds; a program under Wine starts and answers more slowly.
START_SECONDS = 60
ANSWER_SECONDS = 60

BANNER_END = "* Filter is waiting for initialization command (INTF)."
INITIALISED = "* Filter is initialized and waiting for commands."


def run(command, work, message_name):
    """run - drives one session; returns (transcript lines, list of failed checks)."""
    failures = []
    sent = []  # (number of output lines before the send, line sent)

    def send(session, line):
        sent.append((len(session.lines()), line))
        session.send(line)

    def expect(condition, what):
        if not condition:
            failures.append(what)
        return condition

    with TarnwickSession(command, cwd=work) as session:
        if expect(session.wait_until(lambda ls: BANNER_END in ls, START_SECONDS),
                  "the banner ends with the wait for INTF"):
            send(session, "1 INTF")
            expect(session.wait_until(lambda ls: "1 INTF 1" in ls and INITIALISED in ls,
                                      ANSWER_SECONDS),
                   "INTF is answered 1 INTF 1")
            send(session, "2 FILE " + message_name)
            expect(session.wait_until(lambda ls: any(l.startswith("2 ") for l in ls),
                                      ANSWER_SECONDS),
                   "the message is answered")
            expect(session.answers().get(2) == CLEAN_ANSWER,
                   "the answer is " + CLEAN_ANSWER)
            expect(any(l.startswith("Unpacked ") and l != "Unpacked 0 attachments"
                       for l in session.log_for(2)),
                   "the attachments are unpacked")
            send(session, "3 QUIT")
            expect(session.wait_until(lambda ls: "3 OK" in ls, ANSWER_SECONDS),
                   "QUIT is answered 3 OK")
        session.close()
        expect(session.process.returncode == 0,
               "exit status 0 at the end of input (got %s)" % session.process.returncode)
        output = session.lines()

    transcript = []
    position = 0
    for before, line in sent:
        transcript.extend(output[position:before])
        transcript.append("> " + line)
        position = max(position, before)
    transcript.extend(output[position:])

    scan_me = os.path.join(work, "ScanMe")
    expect(os.path.isdir(scan_me), "ScanMe is made in the working folder")
    if os.path.isdir(scan_me):
        # The lock file of the filter that owned the folder stays; nothing else may.
        left = sorted(name for name in os.listdir(scan_me) if name != "tarnwick.lock")
        expect(not left, "ScanMe is left empty (found %s)" % ", ".join(left))
    return transcript, failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", required=True, help="an empty folder to run in")
    parser.add_argument("--message", required=True, help="a message with an attachment")
    parser.add_argument("command", nargs="+", help="the program and its arguments")
    args = parser.parse_args()

    os.makedirs(args.work, exist_ok=True)
    name = os.path.basename(args.message)
    shutil.copyfile(args.message, os.path.join(args.work, name))
    transcript, failures = run(args.command, args.work, name)
    print("$ " + " ".join(args.command))
    for line in transcript:
        print("    " + line)
    for failure in failures:
        print("package-session: FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
