# SPDX-License-Identifier: Apache-2.0
"""Test messages and signatures for the real anti-virus suites.

Builds the message files that the suites hand to Tarnwick (an envelope block, then an RFC 822
message) and the payloads that a real scanner must recognise: a marker string of our own and the
standard 68-byte anti-virus test file. The test file is assembled here at run time from two
pieces, so that no file of the repository holds it whole and no scanner on a developer's machine
quarantines our sources. It also writes the scanner's signature database (.ndb lines) that
matches exactly these two payloads. It deliberately knows nothing about processes or scanners.
"""

import base64
import binascii

# The marker string, split for the same reason as the test file.
MARKER = b"TARNWICK-AV-" + b"SUITE-MARKER-5c81e0d4"

# The two halves of the standard anti-virus test file (68 bytes once joined).
_STANDARD_HEAD = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$"
_STANDARD_TAIL = b"EICAR-STANDARD-" + b"ANTIVIRUS-TEST-FILE!$H+H*"


def standard_test_file():
    """standard_test_file - the 68-byte anti-virus test file, assembled now."""
    data = _STANDARD_HEAD + _STANDARD_TAIL
    assert len(data) == 68, "the standard test file must be exactly 68 bytes"
    return data


def marker_payload():
    """marker_payload - a small binary attachment that carries the marker."""
    return b"\x00\x01binary head\n" + MARKER + b"\nbinary tail\xff\xfe\n"


def signature_lines():
    """signature_lines - the .ndb database: one line per payload, any file type, any offset."""
    return (
        "Tarnwick.Suite.Marker:0:*:%s\n" % MARKER.hex()
        + "Tarnwick.Suite.StandardTestFile:0:*:%s\n" % standard_test_file().hex()
    )


_ENVELOPE = "F sender@example.org\nR postmaster@example.org\n\n"


def _headers(subject, extra=""):
    return (
        "From: Sender <sender@example.org>\n"
        "To: Postmaster <postmaster@example.org>\n"
        "Subject: %s\n"
        "Date: Mon, 1 Jan 2024 10:00:00 +0000\n"
        "Message-ID: <%s@example.org>\n"
        "MIME-Version: 1.0\n%s" % (subject, subject.replace(" ", "-"), extra)
    )


def _filler(size):
    """_filler - harmless text lines adding up to about size bytes."""
    line = "The quick brown fox jumps over the lazy dog, again and again.\n"
    return line * (size // len(line))


def plain_message(body, pad_to=0):
    """plain_message - a single text/plain message; body may be bytes (kept as they are)."""
    text = _ENVELOPE + _headers("plain") + "Content-Type: text/plain\n\n" + _filler(pad_to)
    return text.encode("ascii") + (body if isinstance(body, bytes) else body.encode("ascii"))


def base64_attachment_message(payload, file_name="data.bin", pad_to=0):
    """base64_attachment_message - multipart/mixed: a text part and one base64 attachment."""
    boundary = "=_tarnwick_suite_boundary"
    encoded = base64.encodebytes(payload).decode("ascii")
    text = (
        _ENVELOPE
        + _headers("attachment", 'Content-Type: multipart/mixed; boundary="%s"\n' % boundary)
        + "\nThis is a multi-part message in MIME format.\n\n"
        + "--%s\nContent-Type: text/plain\n\n" % boundary
        + "See the attachment.\n%s\n" % _filler(pad_to)
        + "--%s\nContent-Type: application/octet-stream; name=\"%s\"\n" % (boundary, file_name)
        + "Content-Transfer-Encoding: base64\n"
        + 'Content-Disposition: attachment; filename="%s"\n\n' % file_name
        + encoded
        + "\n--%s--\n" % boundary
    )
    return text.encode("ascii")


def uuencoded_message(payload, file_name="data.bin"):
    """uuencoded_message - a plain text body carrying one uuencoded block (no MIME parts)."""
    lines = []
    for start in range(0, len(payload), 45):
        lines.append(binascii.b2a_uu(payload[start : start + 45], backtick=True).decode("ascii"))
    body = "Here is the file you asked for.\n\nbegin 644 %s\n" % file_name
    body += "".join(lines) + "`\nend\n"
    return plain_message(body)
