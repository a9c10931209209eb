#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""differential.py - what real mail parsers open must be shown to the anti-virus.

Four real parsers are asked which attachments a client offers (oracles/oracles.py): Python's
`email`, GMime 3, Perl's MIME-tools and Node.js mailparser. tarnwick-unpack writes the files both
of Tarnwick's readings produce for the same message. Every attachment any oracle offers must be
among those files, byte for byte, unless it falls under a named exception or a known gap
(oracles/exceptions.py, the one place both lists are kept, each entry with its why). The report
gives the counts per oracle and per exception.

Messages come from
  - the folders given with --messages (the project's own test messages, and the regression
    cases the search for disagreement saved),
  - generated variants (mail_variants.py: evasion techniques combined at every level,
    --variants N, --seed S),
  - with --packaged, real mail that Debian packages ship as test data: clamav-testfiles, the
    test data of Python's email package (libpython3.11-testsuite) and of the Go MIME library
    enmime (golang-github-jhillyerd-enmime-dev); scripts/install-deps.sh installs them.

Each oracle runs once over a batch of messages (--batch), not once a message. An oracle that is
missing is skipped and named, unless TARNWICK_ALL_ORACLES=1 or CI is set: then it is a failure.

With --findings DIR a generated message about whose attachments the oracles disagree (one
offers content no other oracle has among its leaves, line ends aside) is minimised and saved
there as a regression case, one of each kind (disagreements.py).

Usage: differential.py --unpack PATH [--gmime PATH] [--node-dir DIR] [--messages DIR ...]
                       [--packaged] [--variants N] [--seed S] [--batch N] [--findings DIR]
                       [--keep DIR] [--verbose] [--first-reading-only]
--first-reading-only runs tarnwick-unpack with --no-second-reading, to measure what the first
reading alone misses.
Exit status 0 when every attachment was found, 1 otherwise (the misses are listed).
"""

import argparse
import concurrent.futures
import glob
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "oracles"))
import disagreements  # noqa: E402
import exceptions  # noqa: E402
import mail_variants  # noqa: E402
import oracles  # noqa: E402

# Where the Debian packages put their mail, and which files of theirs are messages.
PACKAGED = [
    ("clamav-testfiles", "/usr/share/clamav-testfiles",
     ["clam.mail", "clam.exe.mbox.base64", "clam.exe.mbox.uu"]),
    ("libpython3.11-testsuite", "/usr/lib/python3.11/test/test_email/data", ["msg_*.txt"]),
    ("golang-github-jhillyerd-enmime-dev",
     "/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata",
     ["mail/*.raw", "low-quality/*.raw", "parts/*.raw", "encode/*.golden"]),
]

LISTING = re.compile(
    rb"^(?P<path>.*?): (?:(?P<size>\d+) bytes|missing), (?P<reading>first|second) reading, ")


class Message:
    """One message of the run: where it comes from, its label and bytes."""

    def __init__(self, source, label, data, techniques=()):
        self.source = source
        self.label = label
        self.data = data
        self.techniques = list(techniques)


def tool_files(unpack, data, folder, first_only):
    """(reading, bytes) of every file tarnwick-unpack writes for the message."""
    os.makedirs(folder)
    message_path = os.path.join(folder, "message")
    with open(message_path, "wb") as handle:
        handle.write(data)
    command = [unpack, message_path, folder] + (["--no-second-reading"] if first_only else [])
    run = subprocess.run(command, capture_output=True, timeout=120)
    if run.returncode != 0:
        raise RuntimeError("tarnwick-unpack failed (%d): %s" % (run.returncode,
                                                                run.stderr.decode(errors="replace")))
    files = []
    for line in run.stdout.splitlines():
        listed = LISTING.match(line)
        if listed:
            if listed.group("size") is None:
                raise RuntimeError("tarnwick-unpack lists a missing file: %r" % line)
            with open(listed.group("path"), "rb") as handle:
                files.append((listed.group("reading").decode(), handle.read()))
    return files


class Tally:
    """The counts of the report, per oracle."""

    def __init__(self, names, first_only):
        self.names = names
        self.first_only = first_only
        self.messages = {}
        self.with_second_reading = {}
        self.counts = {name: {} for name in names}
        self.gaps = {name: [] for name in names}
        self.misses = {name: [] for name in names}
        self.errors = []
        self.oracle_errors = {name: [] for name in names}
        self.unused = set()

    def add(self, name, what):
        self.counts[name][what] = self.counts[name].get(what, 0) + 1

    def check(self, message, files, answers, verbose):
        """Counts one message: every attachment each oracle offers against our files; gives back
        what classify needs to know of our files."""
        self.messages[message.source] = self.messages.get(message.source, 0) + 1
        if any(reading == "second" for reading, _ in files):
            self.with_second_reading[message.source] = (
                self.with_second_reading.get(message.source, 0) + 1)
        contents = {content for _, content in files}
        first_lf = {exceptions.without_cr(content) for reading, content in files
                    if reading == "first"}
        offered = {name: {exceptions.without_cr(leaf.payload) for leaf in answers[name][0]
                          if leaf.offered}
                   for name in self.names if answers[name][1] is None}
        for name in self.names:
            for attachment in answers[name][0]:
                content = exceptions.without_cr(attachment.payload)
                attachment.not_offered_by = [other for other in offered
                                             if other != name and content not in offered[other]]
        for name in self.names:
            attachments, error = answers[name]
            if error:
                self.oracle_errors[name].append("%s: %s" % (message.label, error))
            for attachment in attachments:
                if not attachment.offered:
                    continue
                self.add(name, "offered")
                kind, rule = exceptions.classify(attachment, contents, first_lf, message)
                self.add(name, rule or kind)
                line = "%s: %s %s (%s, %d bytes) not among %d files" % (
                    message.label, attachment.type, attachment.name,
                    attachment.encoding or "no encoding", len(attachment.payload), len(files))
                if kind == "known gap":
                    self.gaps[name].append("%s: %s" % (rule, line))
                elif kind == "missing":
                    self.misses[name].append(line)
        if verbose:
            print("%-60s %d files" % (message.label, len(files)))
        return contents, first_lf, message

    def report(self, absent):
        total = sum(self.messages.values())
        print("messages: %d (%s)" % (total, ", ".join("%s %d" % item
                                                       for item in self.messages.items())))
        if self.first_only:
            print("the first reading alone (--no-second-reading)")
        print("messages with extra files of the second reading: %d (%s)" % (
            sum(self.with_second_reading.values()),
            ", ".join("%s %d" % item for item in self.with_second_reading.items())))
        for name, why in sorted(absent.items()):
            print("oracle %s SKIPPED: %s" % (name, why))
        offered = 0
        for name in self.names:
            counts = self.counts[name]
            offered += counts.get("offered", 0)
            print("oracle %s: %d attachments offered, %d matched byte for byte, %d empty, "
                  "%d missing" % (name, counts.get("offered", 0), counts.get("matched", 0),
                                  counts.get("empty", 0), len(self.misses[name])))
            for rule in exceptions.EXCEPTIONS:
                if counts.get(rule.name):
                    print("  exception %r: %d" % (rule.name, counts[rule.name]))
            for rule in exceptions.KNOWN_GAPS:
                if counts.get(rule.name):
                    print("  known gap %r: %d" % (rule.name, counts[rule.name]))
                elif name in rule.oracles and self.first_only is False:
                    self.unused.add((name, rule.name))
            for gap in self.gaps[name]:
                print("    KNOWN GAP %s %s" % (name, gap))
            for miss in self.misses[name]:
                print("    MISSING %s %s" % (name, miss))
            for error in self.oracle_errors[name]:
                print("    ORACLE ERROR %s" % error)
        for error in self.errors:
            print("    ERROR " + error)
        for name, rule in sorted(self.unused):
            print("known gap %r of %s matched nothing in this run" % (rule, name))
        return (total > 0 and offered > 0 and not self.errors
                and not any(self.misses.values()))


def packaged_messages():
    """The Debian packages' mail; exits when a package is missing."""
    found = []
    for package, folder, patterns in PACKAGED:
        paths = sorted(path for pattern in patterns
                       for path in glob.glob(os.path.join(folder, pattern)))
        if not paths:
            sys.exit("differential.py: no mail of %s in %s; run scripts/install-deps.sh"
                     % (package, folder))
        for path in paths:
            with open(path, "rb") as handle:
                found.append(Message(package, os.path.relpath(path, folder), handle.read()))
    return found


def inputs(options):
    """Every message of the run, the generated ones made as they are needed."""
    for folder in options.messages:
        techniques = disagreements.techniques_of(folder)
        for path in sorted(glob.glob(os.path.join(folder, "*.eml"))):
            name = os.path.basename(path)
            with open(path, "rb") as handle:
                yield Message("project", name, handle.read(), techniques.get(name, ()))
    if options.packaged:
        yield from packaged_messages()
    for variant in mail_variants.generate(options.variants, options.seed):
        if options.keep:
            os.makedirs(options.keep, exist_ok=True)
            with open(os.path.join(options.keep, variant.name + ".eml"), "wb") as handle:
                handle.write(variant.data)
        yield Message("generated", "%s [%s]" % (variant.name, "; ".join(variant.techniques)),
                      variant.data, variant.techniques)


def batches(messages, size):
    batch = []
    for message in messages:
        batch.append(message)
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--unpack", required=True, help="the tarnwick-unpack executable")
    parser.add_argument("--gmime", help="the gmime_leaves executable")
    parser.add_argument("--node-dir", help="a folder to install the pinned mailparser into")
    parser.add_argument("--messages", action="append", default=[],
                        help="a folder of .eml messages (repeatable)")
    parser.add_argument("--packaged", action="store_true",
                        help="also the mail Debian packages ship as test data")
    parser.add_argument("--variants", type=int, default=300, help="generated variants")
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--batch", type=int, default=500, help="messages an oracle reads at once")
    parser.add_argument("--findings", help="save minimised disagreements of the oracles here")
    parser.add_argument("--keep", help="write the generated variants into this folder")
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("--first-reading-only", action="store_true",
                        help="run tarnwick-unpack with --no-second-reading")
    options = parser.parse_args()

    require_all = os.environ.get("TARNWICK_ALL_ORACLES") == "1" or bool(os.environ.get("CI"))
    asked = oracles.Oracles(options.gmime, options.node_dir, require_all)
    tally = Tally(asked.names, options.first_reading_only)
    finder = disagreements.Finder(asked, options.findings) if options.findings else None

    def unpacked(pool, data, folder):
        return pool.submit(tool_files, options.unpack, data, folder, options.first_reading_only)

    with tempfile.TemporaryDirectory(prefix="tarnwick-differential-") as scratch, \
            concurrent.futures.ThreadPoolExecutor(max(1, os.cpu_count() or 1)) as pool:
        for number, batch in enumerate(batches(inputs(options), options.batch)):
            folder = os.path.join(scratch, "batch-%d" % number)
            running = [unpacked(pool, message.data, os.path.join(folder, "files-%d" % index))
                       for index, message in enumerate(batch)]
            answers = asked.run([message.data for message in batch],
                                os.path.join(folder, "oracles"))
            for index, message in enumerate(batch):
                try:
                    files = running[index].result()
                except (RuntimeError, subprocess.TimeoutExpired) as error:
                    tally.errors.append("%s: %s" % (message.label, error))
                    continue
                mine = {name: answers[name][index] for name in asked.names}
                ours = tally.check(message, files, mine, options.verbose)
                if finder and message.source == "generated":
                    finder.look(message, mine, ours)
            if finder:
                finder.save(os.path.join(folder, "minimise"), pool, unpacked)
            subprocess.run(["rm", "-rf", folder])
    passed = tally.report(asked.absent)
    if finder:
        finder.report()
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
