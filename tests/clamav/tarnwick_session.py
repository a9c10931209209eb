# SPDX-License-Identifier: Apache-2.0
"""A running Tarnwick driven over its standard input and output, as a mail server drives it.

Starts the program (natively, or through a runner such as wine) in a working folder, collects
every output line on a reader thread, sends protocol lines and waits, with a bound, for answers
and log lines. Used by the suites that run Tarnwick beside a real anti-virus. It deliberately does
not interpret verdicts beyond the answer texts below; the suites decide what a case expects.
"""

import re
import subprocess
import threading
import time

VIRUS_ANSWER = "ADDHEADER \"X-Tarnwick: Virus Found\\eX-ExtScanner: Quillmark's Tarnwick\""
CLEAN_ANSWER = "ADDHEADER \"X-Tarnwick: No Virus Reported\\eX-ExtScanner: Quillmark's Tarnwick\""

# How long the program may take to end once its standard input is closed, before it is killed.
EXIT_GRACE_SECONDS = 10

_ANSWER = re.compile(r"^(\d+) (.*)$")


class TarnwickSession:
    """One Tarnwick process; use as a context manager so the process never outlives the test."""

    def __init__(self, command, cwd, env=None, line_end=b"\n"):
        """line_end: what ends each line sent; a Windows mail server sends CR LF."""
        self._line_end = line_end
        self._lines = []
        self._cond = threading.Condition()
        self._ended = False
        self.process = subprocess.Popen(
            command,
            cwd=cwd,
            env=env,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
        )
        self._reader = threading.Thread(target=self._read_output, daemon=True)
        self._reader.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _read_output(self):
        # Windows builds write CR LF; both forms are the same line here.
        for raw in self.process.stdout:
            line = raw.decode("latin-1").rstrip("\r\n")
            with self._cond:
                self._lines.append(line)
                self._cond.notify_all()
        with self._cond:
            self._ended = True
            self._cond.notify_all()

    def send(self, line):
        """send - writes one protocol line and its line end in one write, and flushes it."""
        self.process.stdin.write(line.encode("latin-1") + self._line_end)
        self.process.stdin.flush()

    def lines(self):
        """lines - a copy of every output line so far."""
        with self._cond:
            return list(self._lines)

    def wait_until(self, predicate, timeout):
        """wait_until - waits until predicate(lines) holds; False at the time-out or program end."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while not predicate(self._lines):
                left = deadline - time.monotonic()
                if left <= 0 or self._ended:
                    return predicate(self._lines)
                self._cond.wait(left)
            return True

    def initialise(self, timeout=30):
        """initialise - sends INTF and waits for its answer; True when it came."""
        self.send("0 INTF 3")
        return self.wait_until(lambda ls: "0 INTF 3" in ls, timeout)

    def answers(self):
        """answers - request number -> answer text (after the number) for every answer so far."""
        found = {}
        for line in self.lines():
            match = _ANSWER.match(line)
            if match:
                found[int(match.group(1))] = match.group(2)
        return found

    def log_for(self, request_id):
        """log_for - the texts of the "* (N) " progress lines of one request, in order."""
        prefix = "* (%d) " % request_id
        return [line[len(prefix) :] for line in self.lines() if line.startswith(prefix)]

    def close(self):
        """close - ends standard input, waits a bounded time for the exit, kills it otherwise."""
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(EXIT_GRACE_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self._reader.join(EXIT_GRACE_SECONDS)
