#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""tarnwick-milter and tarnwick under a real Postfix, with mail sent over SMTP to 127.0.0.1.

scripts/milter-test.sh builds the programs, sets up what the phase needs and calls this driver:
  standin --tarnwick P --milter P --stand-in-av P
      first with no anti-virus at all: the bridge tempfails the message; then with the
      project's stand-in anti-virus (it deletes decoded attachments that carry a marker, and
      the filter's test files): clean, infected and forged messages under --on-virus tag,
      infected and clean
      under --on-virus reject, then 200 messages over 10 SMTP connections at once
  clamav --tarnwick P --milter P --work DIR
      with ClamAV's on-access scanner already watching DIR/ScanMe: an attachment carrying the
      standard test file is caught, a clean message is not
Every server the driver starts (Postfix's master, tarnwick-milter and through it tarnwick, the
stand-in anti-virus) it stops again by process id, also when a check fails or it is interrupted.
Prints one line per check and the figures; exits 1 when a check failed.
"""

import argparse
import concurrent.futures
import email.parser
import email.policy
import os
import shutil
import signal
import smtplib
import socket
import subprocess
import sys
import tempfile
import time
from email.message import EmailMessage

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "clamav"))
from private_postfix import DOMAIN, PrivatePostfix  # noqa: E402
import test_messages  # noqa: E402

CLEAN = "No Virus Reported"
VIRUS = "Virus Found"
SCANNER = "Quillmark's Tarnwick"
# The stand-in removes decoded attachments holding this marker (split so no file holds it whole).
STAND_IN_MARKER = "TARNWICK-MILTER-" + "STAND-IN-MARKER"
PART_FILE_PATTERN = r"msg-.*-part-.*\.scanme"
# What the filter logs once its anti-virus check has seen the anti-virus react, or not.
WATCHING = "the anti-virus is watching."
NOT_WATCHING = "the anti-virus is not watching this folder"
START_SECONDS = 30
STOP_SECONDS = 20
DELIVERY_SECONDS = 300
LOAD_MESSAGES = 200
LOAD_CONNECTIONS = 10
LOAD_INFECTED_EVERY = 10  # every tenth message of the load run carries the marker


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """A child process stopped by its process id: SIGTERM, a bounded wait, then SIGKILL."""

    def __init__(self, name, command, log_path, ready):
        self.name = name
        self.log = open(log_path, "w")
        self.process = subprocess.Popen(command, stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + START_SECONDS
        while not ready():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("%s did not start; see %s" % (name, log_path))
            time.sleep(0.1)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(STOP_SECONDS)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


def listening(port):
    def check():
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False
    return check


def file_has(path, text):
    def check():
        try:
            with open(path) as f:
                return text in f.read()
        except FileNotFoundError:
            return False
    return check


class Suite:
    """Counts checks and keeps the servers of one phase, so they are always stopped."""

    def __init__(self, args, top):
        self.args = args
        self.top = top
        self.failed = 0
        self.passed = 0
        self.servers = []
        self.milter = None

    def check(self, ok, what, detail=""):
        print("  %s %s%s" % ("ok  " if ok else "FAIL", what, "" if ok else ": %s" % detail))
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok

    def start(self, name, command, ready):
        server = Server(name, command, os.path.join(self.top, name + ".log"), ready)
        self.servers.append(server)
        return server

    def stop(self, server):
        server.stop()
        self.servers.remove(server)

    def stop_all(self):
        for server in reversed(list(self.servers)):
            self.stop(server)

    def start_milter(self, work, milter_port, *options, ready=WATCHING):
        """start_milter - the bridge, ready once its filter has said ready (by default: that
        the anti-virus watches ScanMe, without which it postpones every message)."""
        spool = os.path.join(self.top, "spool")
        command = [self.args.milter, "-f", "-p", "inet:%d@127.0.0.1" % milter_port,
                   "-t", self.args.tarnwick, "-d", work, "-s", spool, *options]
        log = os.path.join(self.top, "tarnwick-milter.log")
        if os.path.exists(log):
            os.rename(log, log + ".%d" % time.monotonic_ns())
        self.milter = self.start("tarnwick-milter", command, file_has(log, ready))
        self.spool = spool
        self.work = work


def message(subject, attachment=None, headers=()):
    msg = EmailMessage()
    msg["From"] = "Sender <sender@example.org>"
    msg["To"] = "Inbox <inbox@%s>" % DOMAIN
    msg["Subject"] = subject
    msg["Message-ID"] = "<%s@example.org>" % subject.replace(" ", "-")
    for name, value in headers:
        msg[name] = value
    msg.set_content("Test message %s.\n" % subject)
    if attachment is not None:
        msg.add_attachment(attachment, maintype="application", subtype="octet-stream",
                           filename="data.bin")
    return msg


def send(msg, connection=None):
    """send - one message; None when accepted, else the SMTP error code."""
    try:
        if connection is not None:
            connection.send_message(msg)
        else:
            with smtplib.SMTP("127.0.0.1", SMTP_PORT, timeout=DELIVERY_SECONDS) as smtp:
                smtp.send_message(msg)
        return None
    except smtplib.SMTPResponseException as error:
        return error.smtp_code
    except smtplib.SMTPRecipientsRefused as error:
        return list(error.recipients.values())[0][0]


def parse(raw):
    return email.parser.BytesParser(policy=email.policy.compat32).parsebytes(raw)


def wait_for_deliveries(postfix, count):
    deadline = time.monotonic() + DELIVERY_SECONDS
    while time.monotonic() < deadline:
        delivered = postfix.delivered()
        if len(delivered) >= count and postfix.queue_is_empty():
            return delivered
        time.sleep(0.2)
    return postfix.delivered()


def verdicts_by_subject(delivered):
    """verdicts_by_subject - subject -> list of (X-Tarnwick values, X-ExtScanner values)."""
    found = {}
    for raw in delivered:
        msg = parse(raw)
        found.setdefault(msg["Subject"], []).append(
            (msg.get_all("X-Tarnwick", []), msg.get_all("X-ExtScanner", [])))
    return found


def leftovers(suite):
    scan_me = os.path.join(suite.work, "ScanMe")
    names = [n for n in os.listdir(scan_me) if n.endswith(".scanme")] if os.path.isdir(
        scan_me) else []
    return os.listdir(suite.spool) + names


def expect_delivered(suite, postfix, expected, before):
    """expect_delivered - each subject delivered exactly once with exactly its one verdict."""
    delivered = wait_for_deliveries(postfix, before + len(expected))[before:]
    found = verdicts_by_subject(delivered)
    for subject, verdict in expected.items():
        got = found.get(subject, [])
        suite.check(got == [([verdict], [SCANNER])], "%s: delivered once, %s" % (subject, verdict),
                    got)
    suite.check(len(delivered) == len(expected), "nothing else delivered",
                "%d deliveries" % len(delivered))
    return len(delivered)


def phase_stand_in(suite, args):
    global SMTP_PORT
    SMTP_PORT, milter_port = free_port(), free_port()
    work = os.path.join(suite.top, "work")
    os.makedirs(os.path.join(work, "ScanMe"))
    av_command = [args.stand_in_av, os.path.join(work, "ScanMe"), PART_FILE_PATTERN,
                  STAND_IN_MARKER]
    av_log = os.path.join(suite.top, "stand-in-av.log")
    av = None

    def restart(*options):
        # The stand-in acts once per file name and request numbers start again with each
        # bridge, so each bridge gets a fresh stand-in.
        nonlocal av
        for server in (suite.milter, av):
            if server in suite.servers:
                suite.stop(server)
        av = suite.start("stand-in-av", av_command, file_has(av_log, "ready"))
        suite.start_milter(work, milter_port, "-w", "1", *options)

    infected = b"head\n" + STAND_IN_MARKER.encode() + b"\ntail\n"
    with PrivatePostfix(os.path.join(suite.top, "postfix"), SMTP_PORT, milter_port) as postfix:
        print("no anti-virus, the bridge's defaults:")
        suite.start_milter(work, milter_port, "-w", "1", ready=NOT_WATCHING)
        code = send(message("unwatched"))
        suite.check(code == 451, "the message is tempfailed with 451", code)
        suite.check(postfix.delivered() == [], "nothing delivered", len(postfix.delivered()))
        suite.stop(suite.milter)

        print("stand-in anti-virus, --on-virus tag:")
        restart()
        results = {
            "clean": send(message("clean")),
            "infected attachment": send(message("infected attachment", infected)),
            "forged verdict": send(forged_message()),
        }
        suite.check(all(r is None for r in results.values()), "all three accepted", results)
        count = expect_delivered(suite, postfix, {
            "clean": CLEAN, "infected attachment": VIRUS, "forged verdict": CLEAN}, 0)

        print("stand-in anti-virus, --on-virus reject:")
        restart("--on-virus", "reject")
        code = send(message("infected rejected", infected))
        suite.check(code == 550, "infected attachment refused with 550", code)
        suite.check(send(message("clean under reject")) is None, "clean message accepted")
        count += expect_delivered(suite, postfix, {"clean under reject": CLEAN}, count)
        suite.check(leftovers(suite) == [], "no spool or ScanMe file left", leftovers(suite))

        print("load: %d messages over %d connections at once:" % (LOAD_MESSAGES,
                                                                     LOAD_CONNECTIONS))
        expected = {}
        batches = [[] for _ in range(LOAD_CONNECTIONS)]
        for n in range(LOAD_MESSAGES):
            subject = "load %03d" % n
            is_infected = n % LOAD_INFECTED_EVERY == 0
            batches[n % LOAD_CONNECTIONS].append(
                message(subject, infected if is_infected else b"harmless\n" * 20))
            expected[subject] = VIRUS if is_infected else CLEAN
        restart()

        def run_batch(batch):
            codes = []
            with smtplib.SMTP("127.0.0.1", SMTP_PORT, timeout=DELIVERY_SECONDS) as smtp:
                for msg in batch:
                    codes.append(send(msg, smtp))
            return codes

        started = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(LOAD_CONNECTIONS) as pool:
            codes = [c for batch in pool.map(run_batch, batches) for c in batch]
        accepted_after = time.monotonic() - started
        suite.check(codes == [None] * LOAD_MESSAGES, "all %d accepted" % LOAD_MESSAGES,
                    [c for c in codes if c is not None][:5])
        delivered = wait_for_deliveries(postfix, count + LOAD_MESSAGES)[count:]
        elapsed = time.monotonic() - started
        found = verdicts_by_subject(delivered)
        wrong = [s for s, v in expected.items() if found.get(s) != [([v], [SCANNER])]]
        suite.check(not wrong and len(delivered) == LOAD_MESSAGES,
                    "each delivered exactly once with its verdict",
                    "%d deliveries, wrong: %s" % (len(delivered),
                                                  [(w, found.get(w)) for w in wrong[:5]]))
        suite.stop(suite.milter)
        suite.check(leftovers(suite) == [], "no spool or ScanMe file left", leftovers(suite))
        virus = sum(1 for v in expected.values() if v == VIRUS)
        print("  figures: %d messages (%d Virus Found, %d No Virus Reported) accepted in %.1f s, "
              "all delivered in %.1f s, over %d connections, tarnwick wait 1 s"
              % (LOAD_MESSAGES, virus, LOAD_MESSAGES - virus, accepted_after, elapsed,
                 LOAD_CONNECTIONS))


def forged_message():
    msg = message("forged verdict")
    msg["X-Tarnwick"] = CLEAN
    msg["X-ExtScanner"] = "forged"
    msg["X-Tarnwick "] = CLEAN  # written "X-Tarnwick : ..."
    return msg


def phase_clamav(suite, args):
    global SMTP_PORT
    SMTP_PORT, milter_port = free_port(), free_port()
    with PrivatePostfix(os.path.join(suite.top, "postfix"), SMTP_PORT, milter_port) as postfix:
        print("ClamAV on-access scanner:")
        suite.start_milter(os.path.abspath(args.work), milter_port, "-w", str(args.wait))
        standard = test_messages.standard_test_file()
        results = [send(message("standard test file attachment", standard)),
                   send(message("clean beside ClamAV", b"harmless\n" * 20))]
        suite.check(results == [None, None], "both accepted", results)
        expect_delivered(suite, postfix, {"standard test file attachment": VIRUS,
                                          "clean beside ClamAV": CLEAN}, 0)
        suite.stop(suite.milter)
        suite.check(leftovers(suite) == [], "no spool or ScanMe file left", leftovers(suite))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("phase", choices=("standin", "clamav"))
    parser.add_argument("--tarnwick", required=True)
    parser.add_argument("--milter", required=True)
    parser.add_argument("--stand-in-av")
    parser.add_argument("--work")
    parser.add_argument("--wait", type=int, default=2)
    args = parser.parse_args()
    args.tarnwick, args.milter = os.path.abspath(args.tarnwick), os.path.abspath(args.milter)
    # A TERM from the calling script unwinds through the finally below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    top = tempfile.mkdtemp(prefix="tarnwick-postfix-")
    os.chmod(top, 0o755)  # Postfix's own users must reach their folders below it
    suite = Suite(args, top)
    started = time.monotonic()
    try:
        if args.phase == "standin":
            phase_stand_in(suite, args)
        else:
            phase_clamav(suite, args)
    except Exception as error:  # a server that did not start is a failed check, not a crash
        suite.check(False, "phase ran to the end", error)
    finally:
        suite.stop_all()
    if suite.failed:
        for name in ("tarnwick-milter.log", "postfix/postfix.log"):
            path = os.path.join(top, name)
            if os.path.exists(path):
                print("--- last lines of %s" % name)
                with open(path, errors="replace") as f:
                    print("".join(f.readlines()[-25:]))
    shutil.rmtree(top, ignore_errors=True)
    print("%s phase: %d passed, %d failed in %.1f s"
          % (args.phase, suite.passed, suite.failed, time.monotonic() - started))
    return 1 if suite.failed else 0


if __name__ == "__main__":
    sys.exit(main())
