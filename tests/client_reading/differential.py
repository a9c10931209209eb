#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""differential.py - what a mainstream mail library opens must be shown to the anti-virus.

For every message, Python's own `email` package reads it twice, with compat32 (as most Python
mail code does) and with the default policy (which also decodes encoded words in structural
fields), and yields its attachments: every leaf of walk() with a file name or of a type other
than text/* and multipart/*, decoded with get_payload(decode=True); an attachment both readings
yield alike counts once. tarnwick-unpack writes the files
both of Tarnwick's readings produce for the same message. Every attachment Python yields must be
among those files, byte for byte.

Messages come from
  - the folders given with --messages (the project's own test messages),
  - generated variants (mail_variants.py: evasion techniques combined, --variants N, --seed S),
  - with --packaged, real mail that Debian packages ship as test data: clamav-testfiles, the
    test data of Python's email package (libpython3.11-testsuite) and of the Go MIME library
    enmime (golang-github-jhillyerd-enmime-dev); scripts/install-deps.sh installs them.

Some differences are by design or are Python's own, and are counted apart, not as failures:
  - "line ends": a text/*, 7bit or unencoded leaf that differs from a first-reading file only
    in CR LF against LF; the first reading turns CR LF into LF, and the second does not write
    the same text again;
  - "undecodable": Python hands back the encoded text itself when base64 has a length no
    decoding fits (InvalidBase64LengthDefect) or a quoted-printable "=" with blanks before the
    line end; the encoded text is not what a client opens;
  - "header cut short": Python ends a part's header block at the first line it cannot take for
    a field (MissingHeaderBodySeparatorDefect: a line without colon, a blank before the colon,
    a byte above 127 in the name) and hands back the rest of the header as the body; lenient
    clients read such lines as fields, and so does the second reading;
  - "last line end": in a multipart whose closing delimiter never comes
    (CloseBoundaryNotFoundDefect), Python drops the line end at the very end of the input from
    the last part; the files keep it, as it stands in the message.
Empty attachments are counted apart too: there is nothing in them to show.

  - "line end before the delimiter": in a multipart it cannot split (no boundary parameter),
    Python keeps the line end before the next delimiter of the enclosing multipart in the
    payload; the second reading reads that part as a leaf and leaves the line end to the
    delimiter, as for every other part.

One difference is a known gap of the second reading, counted and listed apart so that it stays
visible until the reading covers it:
  - "Python's base64 rule": Python stops at the first "=" that can be padding (the third or
    fourth character of a group), where the second reading goes on; when the first reading did
    not write that part, no file holds Python's bytes. (An "=" that cannot be padding, the first
    or second character of a group, both skip like a stray byte.)

Usage: differential.py --unpack PATH [--messages DIR ...] [--packaged] [--variants N]
                       [--seed S] [--keep DIR] [--verbose] [--first-reading-only]
--first-reading-only runs tarnwick-unpack with --no-second-reading, to measure what the first
reading alone misses.
Exit status 0 when every attachment was found, 1 otherwise (the misses are listed).
"""

import argparse
import email
import email.errors
import email.policy
import glob
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mail_variants  # noqa: E402

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
LINE = re.compile(rb"([^\r\n]*)(\r\n|\n\r|\n|\r|$)")
ENVELOPE_SPACE = b"\t\n\v\f\r "


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


class Attachment:
    """One attachment of Python's reading."""

    def __init__(self, part, payload):
        self.type = part.get_content_type()
        self.encoding = str(part.get("content-transfer-encoding", "")).strip().lower()
        self.name = part.get_filename()
        self.payload = payload
        self.defects = [type(defect).__name__ for defect in part.defects]
        self.raw = part.get_payload(decode=False)


def python_attachments(data):
    """Python's attachments of the message bytes, and whether a closing delimiter was missing."""
    found = []
    unclosed = False
    for policy in (email.policy.compat32, email.policy.default):
        message = email.message_from_bytes(after_envelope(data), policy=policy)
        seen = [attachment.payload for attachment in found]
        for part in message.walk():
            unclosed = unclosed or any(
                isinstance(defect, email.errors.CloseBoundaryNotFoundDefect)
                for defect in part.defects)
            if part.is_multipart():
                continue
            maintype = part.get_content_maintype()
            if part.get_filename() is None and maintype in ("text", "multipart"):
                continue
            payload = part.get_payload(decode=True)
            if payload is not None and payload not in seen:
                found.append(Attachment(part, payload))
    return found, unclosed


def tool_files(unpack, message_path, folder, first_only):
    """(reading, bytes) of every file tarnwick-unpack writes for the message."""
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
                files.append(((listed.group("reading") or b"first").decode(), handle.read()))
    return files


BASE64_ALPHABET = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")


def python_base64_rule_differs(attachment):
    """True when the part's base64 has data after an "=" where padding can stand: there Python
    stops and the RFC-lenient reading goes on."""
    if attachment.encoding != "base64" or not isinstance(attachment.raw, str):
        return False
    position = 0
    padded = False
    for byte in attachment.raw.encode("ascii", "replace"):
        if byte in BASE64_ALPHABET:
            if padded:
                return True
            position = (position + 1) % 4
        elif byte == ord("=") and position >= 2:
            padded = True
    return False


def without_cr(data):
    return data.replace(b"\r\n", b"\n")


def undecodable(attachment):
    """True when Python handed back encoded text it could not decode."""
    if attachment.encoding == "base64":
        return "InvalidBase64LengthDefect" in attachment.defects
    if attachment.encoding == "quoted-printable" and isinstance(attachment.raw, str):
        return re.search(r"=[ \t]+(\r\n|\n|\r|$)", attachment.raw) is not None
    return False


class Tally:
    """The counts of the report."""

    def __init__(self, first_only):
        self.first_only = first_only
        self.messages = {}
        self.attachments = 0
        self.matched = 0
        self.line_ends = 0
        self.undecodable = 0
        self.header_cut = 0
        self.last_line_end = 0
        self.kept_line_end = 0
        self.known_gaps = []
        self.empty = 0
        self.misses = []
        self.errors = []
        self.with_second_reading = {}

    def check(self, source, label, data, unpack, scratch, verbose):
        self.messages[source] = self.messages.get(source, 0) + 1
        message_path = os.path.join(scratch, "message.eml")
        with open(message_path, "wb") as handle:
            handle.write(data)
        folder = os.path.join(scratch, "files-%d" % sum(self.messages.values()))
        os.mkdir(folder)
        try:
            files = tool_files(unpack, message_path, folder, self.first_only)
        except (RuntimeError, subprocess.TimeoutExpired) as error:
            self.errors.append("%s: %s" % (label, error))
            return
        if any(reading == "second" for reading, _ in files):
            self.with_second_reading[source] = self.with_second_reading.get(source, 0) + 1
        contents = {content for _, content in files}
        first = {without_cr(content) for reading, content in files if reading == "first"}
        attachments, unclosed = python_attachments(data)
        for attachment in attachments:
            self.attachments += 1
            if attachment.payload in contents:
                self.matched += 1
            elif not attachment.payload:
                self.empty += 1
            elif ((attachment.type.startswith("text/") or attachment.encoding in ("", "7bit"))
                  and without_cr(attachment.payload) in first):
                self.line_ends += 1
            elif undecodable(attachment):
                self.undecodable += 1
            elif "MissingHeaderBodySeparatorDefect" in attachment.defects:
                self.header_cut += 1
            elif unclosed and any(attachment.payload + end in contents
                                  for end in (b"\n", b"\r\n", b"\r")):
                self.last_line_end += 1
            elif attachment.type.startswith("multipart/") and any(
                    attachment.payload.endswith(end) and attachment.payload[:-len(end)] in contents
                    for end in (b"\r\n", b"\n", b"\r")):
                self.kept_line_end += 1
            elif python_base64_rule_differs(attachment):
                self.known_gaps.append("%s: %s (%d bytes)" % (label, attachment.name,
                                                              len(attachment.payload)))
            else:
                self.misses.append("%s: %s %s (%s, %d bytes) not among %d files" % (
                    label, attachment.type, attachment.name, attachment.encoding or "no encoding",
                    len(attachment.payload), len(files)))
        if verbose:
            print("%-60s %d files" % (label, len(files)))

    def report(self):
        total = sum(self.messages.values())
        print("messages: %d (%s)" % (total, ", ".join("%s %d" % item
                                                       for item in self.messages.items())))
        if self.first_only:
            print("the first reading alone (--no-second-reading)")
        print("messages with extra files of the second reading: %d (%s)" % (
            sum(self.with_second_reading.values()),
            ", ".join("%s %d" % item for item in self.with_second_reading.items())))
        print("attachments Python yields: %d" % self.attachments)
        print("  matched byte for byte: %d" % self.matched)
        print("  set apart, only CR LF against LF from a first-reading file: %d" % self.line_ends)
        print("  set apart, encoded text Python could not decode: %d" % self.undecodable)
        print("  set apart, Python cut the part's header short: %d" % self.header_cut)
        print("  set apart, Python dropped the last line end of an unclosed multipart: %d"
              % self.last_line_end)
        print("  set apart, Python kept the line end before the delimiter in a multipart it "
              "could not split: %d" % self.kept_line_end)
        print("  set apart, empty: %d" % self.empty)
        print("  known gap, Python's base64 rule: %d" % len(self.known_gaps))
        for gap in self.known_gaps:
            print("    KNOWN GAP " + gap)
        print("  missing: %d" % len(self.misses))
        for miss in self.misses:
            print("    MISSING " + miss)
        for error in self.errors:
            print("    ERROR " + error)
        return total > 0 and self.attachments > 0 and not self.misses and not self.errors


def packaged_messages():
    """(source, label, path) of the Debian packages' mail; exits when a package is missing."""
    found = []
    for package, folder, patterns in PACKAGED:
        paths = sorted(path for pattern in patterns
                       for path in glob.glob(os.path.join(folder, pattern)))
        if not paths:
            sys.exit("differential.py: no mail of %s in %s; run scripts/install-deps.sh"
                     % (package, folder))
        found += [(package, os.path.relpath(path, folder), path) for path in paths]
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--unpack", required=True, help="the tarnwick-unpack executable")
    parser.add_argument("--messages", action="append", default=[],
                        help="a folder of .eml messages (repeatable)")
    parser.add_argument("--packaged", action="store_true",
                        help="also the mail Debian packages ship as test data")
    parser.add_argument("--variants", type=int, default=300, help="generated variants")
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--keep", help="write the generated variants into this folder")
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("--first-reading-only", action="store_true",
                        help="run tarnwick-unpack with --no-second-reading")
    options = parser.parse_args()

    inputs = []
    for folder in options.messages:
        for path in sorted(glob.glob(os.path.join(folder, "*.eml"))):
            inputs.append(("project", os.path.basename(path), path))
    if options.packaged:
        inputs += packaged_messages()

    tally = Tally(options.first_reading_only)
    with tempfile.TemporaryDirectory(prefix="tarnwick-differential-") as scratch:
        for source, label, path in inputs:
            with open(path, "rb") as handle:
                tally.check(source, label, handle.read(), options.unpack, scratch, options.verbose)
        for variant in mail_variants.generate(options.variants, options.seed):
            if options.keep:
                os.makedirs(options.keep, exist_ok=True)
                with open(os.path.join(options.keep, variant.name + ".eml"), "wb") as handle:
                    handle.write(variant.data)
            label = "%s [%s]" % (variant.name, "; ".join(variant.techniques))
            tally.check("generated", label, variant.data, options.unpack, scratch,
                        options.verbose)
    return 0 if tally.report() else 1


if __name__ == "__main__":
    sys.exit(main())
