#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""generate.py - writes the unpacker benchmark's inputs, the same bytes for the same seed.

Usage: bench/generate.py [--out DIR] [--seed N] [--small]

Writes into DIR (default bench/data, which git ignores):
  base64_50mb.eml    one attachment of 50 MB, base64 (and base64_50mb.b64: the same
                     base64 text alone, LF line ends, for a plain `base64 -d`)
  qp_20mb.eml        one quoted-printable part of about 20 MB
  uu_20mb.eml        a plain text body holding a uuencoded block of about 20 MB
  many_small.eml     one message with 5,000 small base64 attachments
  many_small_10k.eml, many_small_50k.eml
                     the same with 10,000 and 50,000 attachments (about 9 and 45 MB)
  qp_html_20mb.eml   one quoted-printable text/html part of about 20 MB, CR LF line
                     ends inside as well as outside the encoding
  typical/           2,000 messages of 5 to 200 KB, multipart/mixed with a text part
                     and 1 to 3 attachments; every other one with an envelope block
  header_line_50mb.eml, header_line_200mb.eml
                     hostile: one header line of 50 MB (200 MB) before a small attachment
  header_block_long_lines.eml
                     hostile: a header block of 500 lines of 100 KB each, some folded
  envelope_line_50mb.eml
                     hostile: an envelope block whose one line is 50 MB long
  spill_flood_40mb.eml
                     hostile: 40 MB of empty base64 message/rfc822 parts, each a
                     container for the second reading to decode
--small shrinks every input (sizes divided by 100, 20 typical messages) for a quick
check that everything runs. The inputs added later come from a generator seeded
apart, so the earlier ones keep their bytes. Messages use CR LF line ends, as the mail server stores
them. Standard library only; nothing is downloaded.
"""

import argparse
import base64
import binascii
import math
import os
import random

CRLF = b"\r\n"


def crlf(text):
    """Turns the LF line ends of text into CR LF."""
    return text.replace(b"\n", CRLF)


def base64_lines(data):
    """Base64 of data in lines of 76 characters, LF-ended."""
    return base64.encodebytes(data)


def header(rng, subject, envelope):
    """A plausible header block start (without Content-Type), LF-ended."""
    lines = []
    if envelope:
        lines.append(b"H sender%d@example.org" % rng.randrange(1000))
        lines.append(b"R recipient%d@example.net" % rng.randrange(1000))
        lines.append(b"")
    lines += [
        b"Received: from mx%d.example.org by mail.example.net; Mon, 1 Jan 2024 10:00:00 +0000"
        % rng.randrange(100),
        b"From: Sender <sender@example.org>",
        b"To: Recipient <recipient@example.net>",
        b"Subject: " + subject,
        b"Message-ID: <%d@example.org>" % rng.randrange(1 << 40),
        b"MIME-Version: 1.0",
    ]
    return b"\n".join(lines) + b"\n"


def words(rng, size):
    """About size bytes of English-looking text in lines of up to 72 bytes."""
    vocabulary = [b"the", b"message", b"attached", b"report", b"please", b"find", b"invoice",
                  b"meeting", b"quarterly", b"numbers", b"regards", b"and", b"of", b"to", b"for",
                  b"caf\xe9", b"na\xefve", b"r\xe9sum\xe9", b"= sign", b"tab\there", b"x" * 30]
    out = []
    line = []
    length = 0
    total = 0
    while total < size:
        word = rng.choice(vocabulary)
        if length + len(word) + 1 > 72:
            out.append(b" ".join(line))
            total += length + 1
            line, length = [], 0
        line.append(word)
        length += len(word) + 1
    out.append(b" ".join(line))
    return b"\n".join(out) + b"\n"


def quoted_printable(data):
    """Quoted-printable of text data: escapes, soft breaks, LF line ends."""
    return binascii.b2a_qp(data, quotetabs=False, istext=True)


def single_attachment(rng, size, path):
    """The 50 MB base64 case and the bare base64 text beside it."""
    payload = rng.randbytes(size)
    encoded = base64_lines(payload)
    with open(path + ".eml", "wb") as out:
        out.write(crlf(header(rng, b"one large attachment", False)))
        out.write(crlf(b"Content-Type: multipart/mixed; boundary=\"=_big_1\"\n\n"
                       b"--=_big_1\nContent-Type: text/plain\n\nSee the archive.\n"
                       b"--=_big_1\nContent-Type: application/octet-stream; name=\"big.bin\"\n"
                       b"Content-Transfer-Encoding: base64\n"
                       b"Content-Disposition: attachment; filename=\"big.bin\"\n\n"))
        out.write(crlf(encoded))
        out.write(crlf(b"--=_big_1--\n"))
    with open(path + ".b64", "wb") as out:
        out.write(encoded)


def quoted_printable_part(rng, size, path):
    """About size bytes of quoted-printable text in one part."""
    encoded = bytearray()
    while len(encoded) < size:
        encoded += quoted_printable(words(rng, 1 << 20))
    with open(path, "wb") as out:
        out.write(crlf(header(rng, b"a long quoted-printable text", False)))
        out.write(crlf(b"Content-Type: multipart/mixed; boundary=\"qp-bound\"\n\n"
                       b"--qp-bound\nContent-Type: application/octet-stream; name=\"long.txt\"\n"
                       b"Content-Transfer-Encoding: quoted-printable\n\n"))
        out.write(crlf(bytes(encoded)))
        out.write(crlf(b"--qp-bound--\n"))


def uuencoded_body(rng, size, path):
    """A plain text body holding one uuencoded block of about size bytes."""
    payload = rng.randbytes(size * 45 // 62)
    with open(path, "wb") as out:
        out.write(crlf(header(rng, b"uuencoded file", False)))
        out.write(crlf(b"Content-Type: text/plain\n\nThe file follows.\n\nbegin 644 data.bin\n"))
        lines = bytearray()
        for start in range(0, len(payload), 45):
            lines += binascii.b2a_uu(payload[start:start + 45], backtick=True)
        out.write(crlf(bytes(lines)))
        out.write(crlf(b"`\nend\n\nBye.\n"))


def many_small(rng, count, path, largest=2000):
    """One message with count small base64 attachments of 100 to largest bytes."""
    parts = [crlf(header(rng, b"many small attachments", False)),
             crlf(b"Content-Type: multipart/mixed; boundary=\"small-parts\"\n\n")]
    for number in range(count):
        payload = rng.randbytes(rng.randrange(100, largest))
        parts.append(crlf(b"--small-parts\nContent-Type: application/octet-stream; "
                          b"name=\"f%d.bin\"\nContent-Transfer-Encoding: base64\n\n" % number))
        parts.append(crlf(base64_lines(payload)))
    parts.append(crlf(b"--small-parts--\n"))
    with open(path, "wb") as out:
        out.write(b"".join(parts))


def quoted_printable_html(rng, size, path):
    """About size bytes of an HTML page in one quoted-printable text/html part."""
    encoded = bytearray()
    while len(encoded) < size:
        paragraphs = b"".join(b"<p class=\"body\">" + words(rng, 400) + b"</p>\n" for _ in range(64))
        encoded += quoted_printable(b"<div style=\"font-family: sans-serif\">\n" + paragraphs +
                                    b"</div>\n")
    with open(path, "wb") as out:
        out.write(crlf(header(rng, b"a long quoted-printable page", False)))
        out.write(crlf(b"Content-Type: multipart/alternative; boundary=\"qp-html\"\n\n"
                       b"--qp-html\nContent-Type: text/html; charset=\"utf-8\"\n"
                       b"Content-Transfer-Encoding: quoted-printable\n\n"))
        out.write(crlf(bytes(encoded)))
        out.write(crlf(b"--qp-html--\n"))


def typical_message(rng, size):
    """One message of about size bytes: a text part and 1 to 3 attachments."""
    boundary = b"----=_Part_%d" % rng.randrange(1 << 32)
    attachments = rng.randint(1, 3)
    text = words(rng, rng.randrange(300, 3000))
    body = bytearray()
    body += b"--" + boundary + b"\n"
    if rng.random() < 0.5:
        # A text part with an HTML alternative, as many clients send.
        inner = boundary + b"_alt"
        body += b"Content-Type: multipart/alternative; boundary=\"" + inner + b"\"\n\n"
        body += b"--" + inner + b"\nContent-Type: text/plain; charset=utf-8\n"
        body += b"Content-Transfer-Encoding: quoted-printable\n\n" + quoted_printable(text)
        body += b"--" + inner + b"\nContent-Type: text/html; charset=utf-8\n"
        body += b"Content-Transfer-Encoding: quoted-printable\n\n"
        body += quoted_printable(b"<html><body><p>" + text + b"</p></body></html>\n")
        body += b"--" + inner + b"--\n"
    else:
        body += b"Content-Type: text/plain; charset=utf-8\n\n" + text
    budget = max(size - len(body) - 600, 3000)
    for number in range(attachments):
        share = budget // attachments
        body += b"--" + boundary + b"\n"
        kind = rng.random()
        if kind < 0.8:
            payload = rng.randbytes(share * 3 // 4)
            body += (b"Content-Type: application/pdf; name=\"doc%d.pdf\"\n"
                     b"Content-Transfer-Encoding: base64\n"
                     b"Content-Disposition: attachment; filename=\"doc%d.pdf\"\n\n"
                     % (number, number))
            body += base64_lines(payload)
        elif kind < 0.9:
            body += (b"Content-Type: text/csv; name=\"table%d.csv\"\n"
                     b"Content-Transfer-Encoding: quoted-printable\n\n" % number)
            body += quoted_printable(words(rng, share * 9 // 10))
        else:
            body += (b"Content-Type: message/rfc822\n\n"
                     b"From: someone@example.org\nSubject: forwarded\n"
                     b"Content-Type: application/zip; name=\"fwd.zip\"\n"
                     b"Content-Transfer-Encoding: base64\n\n")
            body += base64_lines(rng.randbytes(share * 3 // 4))
    body += b"--" + boundary + b"--\n"
    head = header(rng, b"typical message", rng.random() < 0.5)
    head += b"Content-Type: multipart/mixed; boundary=\"" + boundary + b"\"\n\n"
    head += b"This is a multi-part message in MIME format.\n\n"
    return crlf(head + bytes(body))


def typical_folder(rng, count, low, high, folder):
    """count typical messages, sizes log-uniform between low and high bytes."""
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        os.remove(os.path.join(folder, name))
    for number in range(count):
        size = int(math.exp(rng.uniform(math.log(low), math.log(high))))
        with open(os.path.join(folder, "m%05d.eml" % number), "wb") as out:
            out.write(typical_message(rng, size))


def long_header_line(size, path):
    """A header line of size bytes after the content type, then a multipart body
    with one small attachment."""
    filler = b"0123456789abcdefghijklmnopqrstuvwxyz-" * 1024
    with open(path, "wb") as out:
        out.write(crlf(b"From: a@example.org\nContent-Type: multipart/mixed; boundary=\"b\"\n"
                       b"X-Long: "))
        left = size
        while left > 0:
            piece = filler[:min(left, len(filler))]
            out.write(piece)
            left -= len(piece)
        out.write(crlf(b"\n\n--b\nContent-Type: application/octet-stream\n"
                       b"Content-Transfer-Encoding: base64\n\naGVsbG8=\n--b--\n"))


def long_header_block(lines, length, path):
    """A header block of lines header lines of length bytes each (every tenth one
    folded into a continuation line), the content type first."""
    line = b"x" * length
    with open(path, "wb") as out:
        out.write(crlf(b"Content-Type: multipart/mixed; boundary=\"b\"\n"))
        for number in range(lines):
            if number % 10 == 9:
                out.write(b"\t" + line + CRLF)
            else:
                out.write(b"X-Filler-%d: " % number + line + CRLF)
        out.write(crlf(b"\n--b\nContent-Type: application/octet-stream\n"
                       b"Content-Transfer-Encoding: base64\n\naGVsbG8=\n--b--\n"))


def long_envelope_line(size, path):
    """An envelope block of one line of size bytes before a small message."""
    with open(path, "wb") as out:
        out.write(b"H ")
        left = size
        while left > 0:
            piece = min(left, 1 << 20)
            out.write(b"e" * piece)
            left -= piece
        out.write(crlf(b"\n\nFrom: a@example.org\nContent-Type: application/octet-stream\n"
                       b"Content-Transfer-Encoding: base64\n\naGVsbG8=\n"))


def spill_flood(size, path):
    """Empty base64-encoded message/rfc822 parts, about size bytes of them."""
    part = crlf(b"--flood\nContent-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\n")
    with open(path, "wb") as out:
        out.write(crlf(b"Subject: spill flood\nContent-Type: multipart/mixed; boundary=flood\n\n"))
        out.write(part * (size // len(part)))
        out.write(crlf(b"--flood--\n"))


def main():
    parser = argparse.ArgumentParser(description="Writes the unpacker benchmark's inputs.")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "data"))
    parser.add_argument("--seed", type=int, default=20240501)
    parser.add_argument("--small", action="store_true")
    args = parser.parse_args()
    scale = 100 if args.small else 1
    os.makedirs(args.out, exist_ok=True)
    rng = random.Random(args.seed)
    single_attachment(rng, 50_000_000 // scale, os.path.join(args.out, "base64_50mb"))
    quoted_printable_part(rng, 20_000_000 // scale, os.path.join(args.out, "qp_20mb.eml"))
    uuencoded_body(rng, 20_000_000 // scale, os.path.join(args.out, "uu_20mb.eml"))
    many_small(rng, 5000 // scale, os.path.join(args.out, "many_small.eml"))
    typical_folder(rng, 2000 // scale, 5_000, 200_000, os.path.join(args.out, "typical"))
    long_header_line(50_000_000 // scale, os.path.join(args.out, "header_line_50mb.eml"))
    long_header_line(200_000_000 // scale, os.path.join(args.out, "header_line_200mb.eml"))
    long_header_block(500, 100_000 // scale, os.path.join(args.out, "header_block_long_lines.eml"))
    long_envelope_line(50_000_000 // scale, os.path.join(args.out, "envelope_line_50mb.eml"))
    spill_flood(40_000_000 // scale, os.path.join(args.out, "spill_flood_40mb.eml"))
    later = random.Random(args.seed + 1)
    many_small(later, 10_000 // scale, os.path.join(args.out, "many_small_10k.eml"), 1100)
    many_small(later, 50_000 // scale, os.path.join(args.out, "many_small_50k.eml"), 1100)
    quoted_printable_html(later, 20_000_000 // scale, os.path.join(args.out, "qp_html_20mb.eml"))


if __name__ == "__main__":
    main()
