#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""A stand-in for tarnwick that speaks the helper protocol with scripted answers.

The bridge tests start it in place of the real filter. It answers INTF, and for every FILE
request reads the message file, keeps a copy of it in $STAND_IN_RECORD (when set), and answers
as the message's "X-Script:" header field asks:

  clean      ADDHEADER with "No Virus Reported"     virus     ADDHEADER with "Virus Found"
  unscanned  OK                                     error     ERROR "Refused by the filter"
  discard    DISCARD                                busy      REJECTED, every time
  busy-once  REJECTED the first time, then clean    crash     the process ends at once
  silent     no answer at all                       slow      clean, after two seconds
  held       clean, half a second after fifty requests are held unanswered at the same time
             (at the latest five seconds after the last one came); after that, as slow
  escaped    ADDHEADER with a tab, quotes and a backslash in a third field

Each start appends a line to $STAND_IN_RECORD/starts (its process id and arguments); the most requests it ever held unanswered
at once is written to $STAND_IN_RECORD/most-in-flight.
"""

import os
import re
import sys
import threading
import time

CLEAN = "ADDHEADER \"X-Tarnwick: No Virus Reported\\eX-ExtScanner: Quillmark's Tarnwick\""
VIRUS = "ADDHEADER \"X-Tarnwick: Virus Found\\eX-ExtScanner: Quillmark's Tarnwick\""
ESCAPED = (
    "ADDHEADER \"X-Tarnwick: No Virus Reported\\eX-ExtScanner: Quillmark's Tarnwick"
    "\\eX-Note: a \\\"quoted\\\" \\\\ value\\tend\""
)
SLOW_SECONDS = 2.0
HELD_RELEASE_AT = 50
HELD_IDLE_SECONDS = 5.0
HELD_GRACE_SECONDS = 0.5

record = os.environ.get("STAND_IN_RECORD", "")
lock = threading.Lock()
in_flight = set()
most_in_flight = 0
busy_seen = set()
held = []
held_released = False
held_fallback = None


def write_line(line):
    with lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def remember(name, text, mode="w"):
    if record:
        with open(os.path.join(record, name), mode) as f:
            f.write(text)


def answer(number, text):
    # As the real filter does, the number is free before its answer can be
    # read: the bridge may send the next request the moment it reads it.
    with lock:
        in_flight.discard(number)
    write_line("* (%s) answering" % number)
    write_line("%s %s" % (number, text))


def release_held():
    global held_released
    with lock:
        batch = held[:]
        held.clear()
        held_released = True
        if held_fallback is not None:
            held_fallback.cancel()
    for number in batch:
        answer(number, CLEAN)


def hold(number):
    """hold - keeps the answer back until HELD_RELEASE_AT requests are in flight at once, so
    that the most in flight does not depend on how fast the machine is. Requests that stop
    coming short of that are answered once none has come for HELD_IDLE_SECONDS: the milter
    library may leave sessions without a thread until a busy one finishes."""
    global held_fallback
    with lock:
        if held_released:
            threading.Timer(SLOW_SECONDS, answer, (number, CLEAN)).start()
            return
        held.append(number)
        # Once full, a moment more: a bridge that sends more than it may has
        # them here by then, and the most in flight shows it.
        wait = HELD_GRACE_SECONDS if len(in_flight) >= HELD_RELEASE_AT else HELD_IDLE_SECONDS
        if held_fallback is not None:
            held_fallback.cancel()
        held_fallback = threading.Timer(wait, release_held)
        held_fallback.daemon = True  # never keeps the stand-in alive once its input ends
        held_fallback.start()


def handle_file(number, path):
    global most_in_flight
    try:
        with open(path, "rb") as f:
            content = f.read()
    except OSError:
        write_line("* File Not Found " + path)
        write_line("%s OK" % number)
        return
    if record:
        with open(os.path.join(record, "request-%s.eml" % number), "wb") as f:
            f.write(content)
    found = re.search(rb"^X-Script: *(\S+)", content, re.M)
    script = found.group(1).decode() if found else "clean"
    with lock:
        in_flight.add(number)
        if len(in_flight) > most_in_flight:
            most_in_flight = len(in_flight)
            remember("most-in-flight", str(most_in_flight))
    if script == "crash":
        os._exit(3)
    if script == "silent":
        return
    if script == "slow":
        threading.Timer(SLOW_SECONDS, answer, (number, CLEAN)).start()
        return
    if script == "held":
        hold(number)
        return
    if script == "busy-once":
        key = re.search(rb"^Message-ID: *(\S+)", content, re.M | re.I)
        key = key.group(1) if key else content
        if key not in busy_seen:
            busy_seen.add(key)
            script = "busy"
        else:
            script = "clean"
    if script == "virus":
        # As the real filter says which file showed it, before its answer.
        write_line("* (%s) The anti-virus removed attachment 1: invoice.exe (application/x-msdownload, "
                   "68 bytes, first reading, msg-%s-part-0.scanme)" % (number, number))
    texts = {
        "clean": CLEAN,
        "virus": VIRUS,
        "unscanned": "OK",
        "error": "ERROR \"Refused by the filter\"",
        "discard": "DISCARD",
        "busy": "REJECTED \"Too much files in queue (50), try again in a few seconds.\"",
        "escaped": ESCAPED,
    }
    answer(number, texts.get(script, CLEAN))


def main():
    remember("starts", " ".join([str(os.getpid())] + sys.argv[1:]) + "\n", "a")
    write_line("* Stand-in filter running")
    for raw in sys.stdin:
        fields = raw.rstrip("\r\n").split(" ", 2)
        if len(fields) >= 2 and fields[1].lower() == "intf":
            write_line("%s INTF 3" % fields[0])
            write_line("* Filter is initialized and waiting for commands.")
        elif len(fields) == 3 and fields[1].lower() == "file":
            handle_file(fields[0], fields[2])
        else:
            write_line("%s FAILURE" % (fields[0] if fields[0] else "(null)"))
    time.sleep(0.1)


if __name__ == "__main__":
    main()
