#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""tarnwick-milter against a stand-in filter with scripted answers.

Each test starts the bridge in the foreground on a free local port with stand_in_filter.py as its
filter, drives it with MilterClient as a mail server would, and looks at the milter answers, the
spool folder and what the stand-in recorded; WatchedFilter runs the real filter beside the stand-in
anti-virus instead. Usage: bridge_test.py --milter PATH --tarnwick PATH --stand-in-av PATH
[unittest args]
"""

import argparse
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from milter_client import MilterClient, MilterError  # noqa: E402

STAND_IN = os.path.join(HERE, "stand_in_filter.py")
MILTER = None  # set from the command line, as are the two below
TARNWICK = None
STAND_IN_AV = None
START_SECONDS = 20
STOP_SECONDS = 20

CLEAN_FIELDS = [("X-Tarnwick", "No Virus Reported"), ("X-ExtScanner", "Quillmark's Tarnwick")]
VIRUS_FIELDS = [("X-Tarnwick", "Virus Found"), ("X-ExtScanner", "Quillmark's Tarnwick")]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


class Bridge:
    """A running tarnwick-milter with the stand-in filter; stopped by process id on close."""

    def __init__(self, *options, prepare=None):
        self.top = tempfile.mkdtemp(prefix="tarnwick-bridge-")
        self.work = os.path.join(self.top, "work")
        self.spool = os.path.join(self.top, "spool")
        self.record = os.path.join(self.top, "record")
        os.makedirs(self.record)
        if prepare:
            prepare(self)
        self.port = free_port()
        env = dict(os.environ, STAND_IN_RECORD=self.record)
        if "TSAN_OPTIONS" in env:  # reports from inside the milter library are not ours
            env["TSAN_OPTIONS"] += " suppressions=" + os.path.join(HERE, "tsan.supp")
        self.log = open(os.path.join(self.top, "bridge.log"), "w")
        command = [MILTER, "-f", "-p", "inet:%d@127.0.0.1" % self.port, "-t", STAND_IN,
                   "-d", self.work, "-s", self.spool, *options]
        self.process = subprocess.Popen(command, env=env, stdout=self.log, stderr=self.log)
        if not wait_for(self._started, START_SECONDS):
            self.close()
            raise RuntimeError("tarnwick-milter did not listen: %s" % self.log_text())

    def _started(self):
        # The socket accepts connections before the bridge has finished
        # starting: it has once it says so and a connection is served.
        if " listening on " not in self.log_text():
            return False
        try:
            MilterClient(self.port, timeout=5).close()
            return True
        except (OSError, MilterError):
            return False

    def send(self, script, headers=(), body=b"Hello.\r\n", recipients=("<to@example.org>",),
             sender="<from@example.org>"):
        fields = [("Subject", "test"), ("X-Script", script), *headers]
        with MilterClient(self.port) as client:
            return client.send_message(sender, list(recipients), fields, body)

    def spool_files(self):
        return sorted(os.listdir(self.spool))

    def recorded(self, name):
        with open(os.path.join(self.record, name), "rb") as f:
            return f.read()

    def starts(self):
        try:
            return len(self.recorded("starts").splitlines())
        except FileNotFoundError:
            return 0

    def log_text(self):
        self.log.flush()
        with open(os.path.join(self.top, "bridge.log")) as f:
            return f.read()

    def close(self):
        """close - stops the bridge; it must end by itself, with status 0, on SIGTERM."""
        problem = None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(STOP_SECONDS)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                problem = "did not stop within %d s" % STOP_SECONDS
        if problem is None and self.process.returncode != 0:
            problem = "exited with %d" % self.process.returncode
        log = self.log_text()
        self.log.close()
        shutil.rmtree(self.top, ignore_errors=True)
        if problem:
            raise AssertionError("tarnwick-milter %s; its log ends:\n%s" % (problem, log[-3000:]))


class BridgeCase(unittest.TestCase):
    options = ()

    def setUp(self):
        self.bridge = Bridge(*self.options)
        self.addCleanup(self.bridge.close)

    def assertAccepted(self, outcome, fields):
        self.assertEqual(outcome.action, "continue", outcome)
        self.assertEqual(outcome.added, fields, outcome)


class TagPolicy(BridgeCase):
    options = ("--on-unscanned", "accept")

    def test_each_answer_kind_becomes_its_milter_action(self):
        b = self.bridge
        self.assertAccepted(b.send("clean"), CLEAN_FIELDS)
        self.assertAccepted(b.send("virus"), VIRUS_FIELDS)
        self.assertAccepted(b.send("unscanned"), [])
        error = b.send("error")
        self.assertEqual((error.action, error.reply), ("reply", "550 5.7.1 Refused by the filter"))
        self.assertEqual(b.send("discard").action, "discard")
        self.assertAccepted(b.send("busy-once"), CLEAN_FIELDS)
        self.assertEqual(b.spool_files(), [])

    def test_escaped_answer_text_is_unescaped_into_fields(self):
        outcome = self.bridge.send("escaped")
        self.assertAccepted(outcome, CLEAN_FIELDS + [("X-Note", 'a "quoted" \\ value\tend')])

    def test_spool_file_holds_envelope_headers_and_body_with_lf_line_ends(self):
        body = b"line one\r\nline two\r\n\r\n.dot line\r\nend without line break"
        outcome = self.bridge.send("clean", headers=[("X-Folded", "first\r\n\tsecond")], body=body,
                                   recipients=("<a@example.org>", "b@example.org"))
        self.assertAccepted(outcome, CLEAN_FIELDS)
        spooled = self.bridge.recorded("request-1.eml")
        self.assertEqual(
            spooled,
            b"F from@example.org\nR a@example.org\nR b@example.org\n\n"
            b"Subject: test\nX-Script: clean\nX-Folded: first\n\tsecond\n\n"
            b"line one\nline two\n\n.dot line\nend without line break")
        self.assertEqual(self.bridge.spool_files(), [])

    def test_bounce_sender_still_gives_an_envelope_block(self):
        self.assertAccepted(self.bridge.send("clean", sender="<>"), CLEAN_FIELDS)
        self.assertTrue(self.bridge.recorded("request-1.eml").startswith(b"F MAILER-DAEMON\nR "))

    def test_forged_verdict_fields_are_removed_before_the_true_ones_are_added(self):
        forged = [("X-Tarnwick", "No Virus Reported"), ("x-extscanner", "forged"),
                  ("X-TARNWICK", "again")]
        for script, fields in (("virus", VIRUS_FIELDS), ("unscanned", [])):
            outcome = self.bridge.send(script, headers=forged)
            self.assertAccepted(outcome, fields)
            self.assertEqual(sorted(outcome.changed), [
                (1, "X-ExtScanner", ""), (1, "X-Tarnwick", ""), (2, "X-Tarnwick", "")])
        # Blanks around the name: removed by the name as received, before the plain ones.
        outcome = self.bridge.send("virus", headers=[("X-Tarnwick", "a"), ("X-Tarnwick ", "b"),
                                                     (" x-tarnwick", "c"), ("X-TARNWICK ", "d")])
        self.assertAccepted(outcome, VIRUS_FIELDS)
        self.assertEqual(outcome.changed, [(2, "X-Tarnwick ", ""), (1, "X-Tarnwick ", ""),
                                           (1, " x-tarnwick", ""), (1, "X-Tarnwick", "")])

    def test_aborted_message_leaves_no_spool_file(self):
        with MilterClient(self.bridge.port) as client:
            client._step(b"M", b"<a@example.org>\0")
            client._step(b"R", b"<b@example.org>\0")
            client._step(b"L", b"Subject\0aborted\0")
            client._step(b"N")
            client._step(b"B", b"half a body\r\n")
            self.assertEqual(len(self.bridge.spool_files()), 1)
            client.abort()
            self.assertTrue(wait_for(lambda: self.bridge.spool_files() == [], 5))

    def test_filter_that_keeps_refusing_is_tempfailed(self):
        outcome = self.bridge.send("busy")
        self.assertEqual(outcome.reply, "451 4.7.1 Virus scanner busy, try again later")


class OtherPolicies(unittest.TestCase):
    def run_policy(self, options, script):
        bridge = Bridge(*options)
        self.addCleanup(bridge.close)
        return bridge.send(script)

    def test_virus_reject_refuses_with_550(self):
        outcome = self.run_policy(["--on-virus", "reject"], "virus")
        self.assertEqual(outcome.reply, "550 5.7.1 Message refused: a virus was found")

    def test_virus_quarantine_tags_and_holds(self):
        outcome = self.run_policy(["--on-virus=quarantine"], "virus")
        self.assertEqual((outcome.action, outcome.added), ("continue", VIRUS_FIELDS))
        self.assertEqual(outcome.quarantine, "Tarnwick: virus found")

    def test_virus_discard_drops(self):
        self.assertEqual(self.run_policy(["--on-virus", "discard"], "virus").action, "discard")

    def test_clean_message_is_tagged_under_every_virus_policy(self):
        outcome = self.run_policy(["--on-virus", "reject"], "clean")
        self.assertEqual((outcome.action, outcome.added), ("continue", CLEAN_FIELDS))

    def test_unscanned_tempfail_answers_451(self):
        outcome = self.run_policy(["--on-unscanned", "tempfail"], "unscanned")
        self.assertEqual(outcome.reply, "451 4.7.1 Message could not be scanned, try again later")

    def test_by_default_unscanned_is_tempfailed_and_the_filter_requires_the_antivirus(self):
        for options, reply, argument in (
                ([], "451 4.7.1 Message could not be scanned, try again later",
                 ["--require-av", "--av-check-every", "60s"]),
                (["--allow-unwatched", "--on-unscanned=accept", "--av-check-every=5m"], None,
                 ["--av-check-every", "5m"])):
            bridge = Bridge(*options)
            self.addCleanup(bridge.close)
            self.assertEqual(bridge.send("unscanned").reply, reply, options)
            self.assertEqual(bridge.recorded("starts").decode().split()[1:], argument, options)


class WatchedFilter(unittest.TestCase):
    def test_antivirus_stopped_mid_run_tempfails_within_two_intervals(self):
        """The real filter probes every 2 s; once the stand-in anti-virus stops, messages are
        tempfailed within two intervals, a virus among them is not delivered, and the summary
        says how long ago the anti-virus was seen."""
        av = []

        def start_av(bridge):
            folder = os.path.join(bridge.work, "ScanMe")
            os.makedirs(folder)
            av.append(subprocess.Popen([STAND_IN_AV, folder, ".*", "VIRUS-MARK"],
                                       stdout=subprocess.PIPE, text=True))
            self.assertEqual(av[0].stdout.readline(), "ready\n")
        bridge = Bridge("-t", TARNWICK, "-w", "1", "--av-check-every", "2s", prepare=start_av)
        self.addCleanup(bridge.close)
        self.addCleanup(lambda: av[0].stdout.close())
        self.addCleanup(lambda: av[0].poll() is None and av[0].kill())
        self.assertTrue(wait_for(lambda: bridge.send("").added == CLEAN_FIELDS, 20))
        time.sleep(5)  # past two intervals: the repeated probes keep the verdicts coming
        self.assertEqual(bridge.send("", body=b"VIRUS-MARK\r\n").added, VIRUS_FIELDS)
        seen = re.compile(r"action=tag, elapsed=\S+ s, av_seen=[0-3]s\n")
        self.assertTrue(wait_for(lambda: seen.search(bridge.log_text()), 5), bridge.log_text())
        av[0].terminate()
        av[0].wait()
        stopped = time.monotonic()
        while bridge.send("").reply is None:
            self.assertLess(time.monotonic() - stopped, 2 * 2 + 1)  # two intervals, one wait
        outcome = bridge.send("", body=b"VIRUS-MARK\r\n")
        self.assertEqual((outcome.reply[:4], outcome.added), ("451 ", []))


class FailingFilter(unittest.TestCase):
    def check_restart(self, bridge, script):
        self.assertTrue(wait_for(lambda: bridge.starts() == 1, 10))
        outcome = bridge.send(script)
        self.assertEqual(outcome.reply, "451 4.7.1 Virus scanner unavailable, try again later")
        self.assertEqual(bridge.spool_files(), [])
        # The new filter is given the time it needs to start on a loaded
        # machine: the next message is sent once it has answered INTF.
        self.assertTrue(wait_for(
            lambda: bridge.log_text().count("Filter is initialized and waiting") == 2, 30))
        outcome = bridge.send("clean")
        self.assertEqual((outcome.action, outcome.added), ("continue", CLEAN_FIELDS))
        self.assertEqual(bridge.starts(), 2)

    def test_crashed_filter_tempfails_the_message_in_flight_and_is_restarted(self):
        bridge = Bridge("--log-level", "info")
        self.addCleanup(bridge.close)
        self.check_restart(bridge, "crash")

    def test_silent_filter_is_restarted_after_the_answer_timeout(self):
        bridge = Bridge("-T=2", "--log-level=info")
        self.addCleanup(bridge.close)
        started = time.monotonic()
        self.check_restart(bridge, "silent")
        self.assertGreaterEqual(time.monotonic() - started, 2)

    def test_missing_filter_program_tempfails_without_hanging(self):
        bridge = Bridge("-t", "/nonexistent/tarnwick")
        self.addCleanup(bridge.close)
        outcome = bridge.send("clean")
        self.assertEqual(outcome.reply, "451 4.7.1 Virus scanner unavailable, try again later")


def parse_exposition(text):
    """The samples of the text format by name and labels; fails on a line that is neither a
    sample of a family declared before it (# TYPE) nor a comment."""
    samples, families = {}, set()
    for line in text.splitlines():
        declared = re.fullmatch(r"# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram)", line)
        if declared:
            families.add(declared.group(1))
        elif not line.startswith("# HELP "):
            sample = re.fullmatch(r'([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(?:[a-z_]+="[^"]*",?)*\})? (\S+)', line)
            assert sample, "not a sample: %r" % line
            name = sample.group(1)
            assert {name, re.sub(r"_(bucket|sum|count)$", "", name)} & families, line
            samples[name + (sample.group(2) or "")] = float(sample.group(3))
    return samples


class Counters(unittest.TestCase):
    def test_counters_file_and_summary_lines_after_a_clean_a_virus_and_a_busy_message(self):
        folder = tempfile.mkdtemp(prefix="tarnwick-stats-")
        self.addCleanup(shutil.rmtree, folder, True)
        path = os.path.join(folder, "milter.prom")
        bridge = Bridge("--stats-file", path)
        try:
            outcomes = [bridge.send(script) for script in ("clean", "virus", "busy")]
            log = bridge.log_text()
            started = bridge.recorded("starts").decode()
        finally:
            bridge.close()
        self.assertEqual([o.added for o in outcomes[:2]], [CLEAN_FIELDS, VIRUS_FIELDS])
        self.assertIn("--stats-file %s-filter.prom" % path[:-len(".prom")], started)
        # At the default level the summary lines, and no line of the filter's own.
        self.assertNotIn("filter: ", log)
        self.assertRegex(log, r'verdict="Virus Found", detail="invoice.exe removed by the '
                              r'anti-virus", file="msg-\d+-part-0.scanme", found_in=first_reading')
        with open(path) as f:
            samples = parse_exposition(f.read())
        expected = {
            'tarnwick_milter_messages_total{verdict="clean"}': 1,
            'tarnwick_milter_messages_total{verdict="virus"}': 1,
            'tarnwick_milter_messages_total{verdict="postponed"}': 1,
            'tarnwick_milter_messages_total{verdict="not_scanned"}': 0,
            'tarnwick_milter_viruses_total{found_in="first_reading",reason="removed"}': 1,
            'tarnwick_milter_postponed_total{cause="filter_busy"}': 1,
            "tarnwick_milter_messages_in_flight": 0,
            'tarnwick_milter_message_duration_seconds_bucket{le="+Inf"}': 3,
        }
        self.assertEqual({key: samples.get(key) for key in expected}, expected)
        self.assertFalse(os.path.exists(path + ".tmp"))


class Concurrency(BridgeCase):
    def test_never_more_than_fifty_requests_in_flight(self):
        results = []
        lock = threading.Lock()

        def one():
            outcome = self.bridge.send("held")
            with lock:
                results.append(outcome)

        threads = [threading.Thread(target=one) for _ in range(70)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(300)
        self.assertEqual(len(results), 70)
        for outcome in results:
            self.assertAccepted(outcome, CLEAN_FIELDS)
        # How many sessions reach the bridge at once is the milter library's
        # choice: its pool of threads may leave some waiting until a busy one
        # finishes, and every busy one waits here for a held answer. That the
        # bridge fills all fifty slots is checked without the library, by
        # FilterProcess.FillsEveryOneOfTheFiftySlotsAndNeverMore.
        self.assertLessEqual(int(self.bridge.recorded("most-in-flight")), 50)
        self.assertEqual(self.bridge.spool_files(), [])


class StartUp(unittest.TestCase):
    def test_spool_folder_is_created_private(self):
        bridge = Bridge()
        self.addCleanup(bridge.close)
        self.assertEqual(stat.S_IMODE(os.stat(bridge.spool).st_mode), 0o700)

    def test_leftover_spool_files_are_removed(self):
        def leave_files(bridge):
            os.makedirs(bridge.spool, mode=0o700)
            for name in ("msg-abc123.eml", "other.txt"):
                open(os.path.join(bridge.spool, name), "w").close()

        bridge = Bridge(prepare=leave_files)
        self.addCleanup(bridge.close)
        self.assertEqual(bridge.spool_files(), ["other.txt"])

    def test_spool_folder_others_can_write_to_or_a_link_is_refused(self):
        top = tempfile.mkdtemp(prefix="tarnwick-bridge-")
        self.addCleanup(shutil.rmtree, top, True)
        os.mkdir(os.path.join(top, "shared"))
        os.chmod(os.path.join(top, "shared"), 0o1777)
        os.mkdir(os.path.join(top, "private"), 0o700)
        os.symlink(os.path.join(top, "private"), os.path.join(top, "link"))
        for name, said in (("shared", "writable by others"), ("link", "is a symbolic link")):
            with self.subTest(name):
                result = subprocess.run(
                    [MILTER, "-f", "-p", "inet:%d@127.0.0.1" % free_port(), "-t", STAND_IN,
                     "-d", os.path.join(top, "work"), "-s", os.path.join(top, name)],
                    capture_output=True, text=True, timeout=STOP_SECONDS)
                self.assertEqual(result.returncode, 1)
                self.assertIn(said, result.stderr)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(top, "shared")).st_mode), 0o1777)
        # A pid file that is a second name of another file is neither emptied nor used.
        with open(os.path.join(top, "victim"), "w") as victim:
            victim.write("keep\n")
        os.link(os.path.join(top, "victim"), os.path.join(top, "bridge.pid"))
        result = subprocess.run(
            [MILTER, "-f", "-p", "inet:%d@127.0.0.1" % free_port(), "-t", STAND_IN,
             "-d", os.path.join(top, "work"), "--pidfile", os.path.join(top, "bridge.pid")],
            capture_output=True, text=True, timeout=STOP_SECONDS)
        self.assertEqual((result.returncode, "one name" in result.stderr), (1, True))
        with open(os.path.join(top, "victim")) as victim:
            self.assertEqual(victim.read(), "keep\n")

    def test_command_line(self):
        run = lambda *words: subprocess.run([MILTER, *words], capture_output=True, text=True)
        self.assertRegex(run("--version").stdout,
                         r"^tarnwick-milter \S+\nLicensed under the Apache License, Version 2.0.\n$")
        self.assertIn("--on-virus", run("--help").stdout)
        inside = ["-d", "/tmp/w", "-s", "/tmp/w/ScanMe/spool"]
        for bad in (["--on-virus", "ignore"], ["-T", "0"], ["-p"], ["--nonsense"], inside):
            result = run(*bad)
            self.assertEqual(result.returncode, 2, bad)
            self.assertIn("tarnwick-milter:", result.stderr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--milter", required=True)
    parser.add_argument("--tarnwick", required=True)
    parser.add_argument("--stand-in-av", required=True)
    args, rest = parser.parse_known_args()
    MILTER = os.path.abspath(args.milter)
    TARNWICK = os.path.abspath(args.tarnwick)
    STAND_IN_AV = os.path.abspath(args.stand_in_av)
    unittest.main(argv=[sys.argv[0], *rest])
