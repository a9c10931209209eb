# SPDX-License-Identifier: Apache-2.0
"""oracles.py - the real mail parsers the differential test asks which attachments a client offers.

Four oracles, each run once over a whole batch of messages (one process per oracle per batch):
  - python:     Python's `email` package, in this process, with compat32 and with the default
                policy (an attachment both yield alike counts once);
  - gmime:      GMime 3 through gmime_leaves.c, built by CMake when pkg-config finds gmime-3.0;
  - mime-tools: Perl's MIME::Parser through mime_tools_leaves.pl (package libmime-tools-perl);
  - mailparser: Node.js mailparser's simpleParser through mailparser_attachments.js, the version
                pinned in package.json here, installed with `npm ci` into a folder of the build.
For python, gmime and mime-tools an attachment is a leaf with a file name or of a type other than
text/* and multipart/*; mailparser's attachments are the ones it lists itself. Empty attachments
and a payload an oracle yields twice for one message count once.
"""

import email
import email.errors
import email.policy
import os
import re
import shutil
import subprocess

ORACLES = ["python", "gmime", "mime-tools", "mailparser"]
HERE = os.path.dirname(os.path.abspath(__file__))
LINE = re.compile(rb"([^\r\n]*)(\r\n|\n\r|\n|\r|$)")
ENVELOPE_SPACE = b"\t\n\v\f\r "


class Attachment:
    """One attachment an oracle offers: its declared type, file name, encoding and content; for
    python also its defects and encoded text, which some exceptions look at."""

    def __init__(self, oracle, type_, name, encoding, payload, defects=(), raw=None, offered=True):
        self.oracle = oracle
        self.offered = offered
        self.type = (type_ or "").lower()
        self.name = name or None
        self.encoding = (encoding or "").strip().lower()
        self.payload = payload
        self.defects = list(defects)
        self.raw = raw


def is_envelope_letter(byte):
    """The letters the mail server's envelope rule knows (ASCII and Windows-1252)."""
    return (65 <= byte <= 90 or 97 <= byte <= 122 or byte in (0x8A, 0x8C, 0x8E, 0x9A, 0x9C, 0x9E,
                                                              0x9F)
            or 0xC0 <= byte <= 0xD6 or 0xD8 <= byte <= 0xDE)


def after_envelope(data):
    """The message as a mail client gets it: without the mail server's envelope block."""
    first = LINE.match(data).group(1)
    if not (len(first) >= 3 and is_envelope_letter(first[0]) and first[1] in ENVELOPE_SPACE
            and is_envelope_letter(first[2])):
        return data
    position = 0
    while position < len(data):
        line = LINE.match(data, position)
        position = line.end()
        if line.group(1) == b"" or line.end() == line.start():
            break
    return data[position:]


def python_attachments(data):
    """Python's leaves of the message bytes (those it offers as attachments marked), and whether a
    closing delimiter was missing."""
    found = {}
    unclosed = False
    for policy in (email.policy.compat32, email.policy.default):
        message = email.message_from_bytes(data, policy=policy)
        for part in message.walk():
            unclosed = unclosed or any(
                isinstance(defect, email.errors.CloseBoundaryNotFoundDefect)
                for defect in part.defects)
            if part.is_multipart():
                continue
            maintype = part.get_content_maintype()
            offered = part.get_filename() is not None or maintype not in ("text", "multipart")
            payload = part.get_payload(decode=True)
            if payload is not None:
                keep(found, Attachment(
                    "python", part.get_content_type(), part.get_filename(),
                    str(part.get("content-transfer-encoding", "")), payload,
                    [type(defect).__name__ for defect in part.defects],
                    part.get_payload(decode=False), offered))
    return list(found.values()), unclosed


def keep(found, attachment):
    """Adds a leaf to found (payload: leaf) unless its content is there already; a leaf offered
    as an attachment takes the place of one that was not."""
    there = found.get(attachment.payload)
    if there is None or (attachment.offered and not there.offered):
        found[attachment.payload] = attachment


class Oracles:
    """Which oracles are present, and how to run each over a batch of messages."""

    def __init__(self, gmime=None, node_dir=None, require_all=False):
        self.commands = {}
        self.absent = {}
        if gmime and os.access(gmime, os.X_OK):
            self.commands["gmime"] = [gmime]
        else:
            self.absent["gmime"] = "gmime_leaves was not built (libgmime-3.0-dev missing?)"
        perl = subprocess.run(["perl", "-MMIME::Parser", "-e", "1"], capture_output=True)
        if perl.returncode == 0:
            self.commands["mime-tools"] = ["perl", os.path.join(HERE, "mime_tools_leaves.pl")]
        else:
            self.absent["mime-tools"] = "perl cannot load MIME::Parser (libmime-tools-perl)"
        why = install_mailparser(node_dir)
        if why is None:
            self.commands["mailparser"] = ["node", os.path.join(node_dir, "run.js")]
        else:
            self.absent["mailparser"] = why
        self.names = ["python"] + [name for name in ORACLES if name in self.commands]
        if require_all and self.absent:
            raise SystemExit("differential: every oracle must run here, but: " + "; ".join(
                "%s: %s" % item for item in sorted(self.absent.items())))

    def run(self, batch, scratch):
        """{oracle: [(attachments, error) per message]} for the messages (bytes) of the batch;
        the external oracles run side by side, each once over the batch."""
        paths = []
        os.makedirs(os.path.join(scratch, "in"), exist_ok=True)
        for index, data in enumerate(batch):
            path = os.path.join(scratch, "in", "%05d.eml" % index)
            with open(path, "wb") as handle:
                handle.write(after_envelope(data))
            paths.append(path)
        running = {}
        for name, command in self.commands.items():
            out = os.path.join(scratch, name)
            shutil.rmtree(out, ignore_errors=True)
            os.makedirs(out)
            running[name] = Batch(name, command, paths, out)
        results = {"python": [python_result(data) for data in batch]}
        for name, run in running.items():
            results[name] = run.finish()
        return results


def python_result(data):
    """Python's attachments of one message, or the error that stopped it."""
    try:
        found, unclosed = python_attachments(after_envelope(data))
        for attachment in found:
            attachment.unclosed = unclosed
        return found, None
    except Exception as error:  # noqa: BLE001 - a parser's failure is a finding, not a crash
        return [], "python: %s" % error


class Batch:
    """One external oracle's run over a batch; a message that kills the process is recorded as
    that oracle's error and the run goes on with the messages after it."""

    def __init__(self, name, command, paths, out):
        self.name = name
        self.command = command
        self.paths = paths
        self.out = out
        self.errors = {}
        self.start(0)

    def folder(self, index):
        return os.path.join(self.out, "%05d" % index)

    def start(self, first):
        self.first = first
        listing = os.path.join(self.out, "list-%d.tsv" % first)
        with open(listing, "w") as handle:
            for index in range(first, len(self.paths)):
                handle.write("%s\t%s\n" % (self.paths[index], self.folder(index)))
        self.process = subprocess.Popen(self.command + [listing], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE)

    def finish(self):
        idle = 0
        while True:
            _, stderr = self.process.communicate(timeout=3600)
            missing = [index for index in range(self.first, len(self.paths))
                       if not os.path.exists(os.path.join(self.folder(index), "done"))]
            if not missing:
                break
            # Three runs in a row that read no message: the oracle itself is broken.
            idle = idle + 1 if missing[0] == self.first else 0
            if idle == 3:
                raise SystemExit("differential: oracle %s fails: %s" % (
                    self.name, stderr.decode(errors="replace")[-500:]))
            self.errors[missing[0]] = "%s stopped (%d): %s" % (
                self.name, self.process.returncode, stderr.decode(errors="replace")[-300:])
            if missing[0] + 1 >= len(self.paths):
                break
            self.start(missing[0] + 1)
        return [self.read(index) for index in range(len(self.paths))]

    def read(self, index):
        """The attachments the oracle wrote for one message."""
        if index in self.errors:
            return [], self.errors[index]
        folder = self.folder(index)
        found = {}
        with open(os.path.join(folder, "parts.tsv"), "rb") as listing:
            for line in listing.read().decode("utf-8", "replace").splitlines():
                number, type_, name, encoding = (line.split("\t") + ["", "", ""])[:4]
                with open(os.path.join(folder, number), "rb") as handle:
                    payload = handle.read()
                maintype = type_.split("/")[0].lower()
                offered = (self.name == "mailparser" or bool(name)
                           or maintype not in ("text", "multipart"))
                keep(found, Attachment(self.name, type_, name, encoding, payload, offered=offered))
        return list(found.values()), None


def install_mailparser(node_dir):
    """Installs the pinned mailparser into node_dir with `npm ci`, once; None when it is ready,
    else why not."""
    if not node_dir:
        return "no folder for the Node.js oracle given (--node-dir)"
    if shutil.which("node") is None or shutil.which("npm") is None:
        return "node or npm is missing"
    os.makedirs(node_dir, exist_ok=True)
    shutil.copyfile(os.path.join(HERE, "mailparser_attachments.js"),
                    os.path.join(node_dir, "run.js"))
    with open(os.path.join(HERE, "package-lock.json"), "rb") as handle:
        lock = handle.read()
    installed = os.path.join(node_dir, "installed-lock.json")
    if os.path.exists(installed):
        with open(installed, "rb") as handle:
            if handle.read() == lock:
                return None
    for name in ("package.json", "package-lock.json"):
        shutil.copyfile(os.path.join(HERE, name), os.path.join(node_dir, name))
    install = subprocess.run(["npm", "ci", "--no-audit", "--no-fund", "--loglevel=error"],
                             cwd=node_dir, capture_output=True, timeout=600)
    if install.returncode != 0:
        return "npm ci failed: " + install.stderr.decode(errors="replace")[-300:]
    with open(installed, "wb") as handle:
        handle.write(lock)
    return None
