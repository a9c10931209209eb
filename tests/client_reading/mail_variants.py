# SPDX-License-Identifier: Apache-2.0
"""mail_variants.py - messages built with the tricks attackers use to make a mail client and a
scanner read one message two ways, combined at random (seeded, so the same seed gives the same
messages).

Each message carries one or two attachments of random bytes (or text for the identity encodings),
wrapped with one to three techniques drawn from TECHNIQUES. Used by differential.py; standard
library only.
"""

import base64
import binascii
import random

# Every technique a variant may use, by the name the report shows.
TECHNIQUES = [
    "mbox separator line",
    "envelope block",
    "lone CR line ends",
    "CR LF line ends",
    "mixed line ends",
    "second Content-Type before the real one",
    "second Content-Type after the real one",
    "boundary parameter given twice",
    "second Content-Transfer-Encoding",
    "blank before the colon",
    "base64 going on after its padding",
    "stray bytes in base64",
    "base64 without padding",
    "quoted boundary with trailing blanks",
    "RFC 2231 boundary continuation",
    "RFC 2231 file name",
    "RFC 2047 file name",
    "x-uuencode transfer encoding",
    "quoted-printable soft break after blanks",
    "inside message/rfc822",
    "inside a digest without Content-Type",
    "deep nesting",
    "base64 on a multipart container",
    "header line without colon",
    "NUL byte in a header",
    "8bit text attachment",
    "binary attachment",
    "blanks after the delimiter",
    "body line that begins with the boundary",
    "missing closing boundary",
    "bytes above 127 in a header name",
    "mbox From line opening a part's header",
    "continuation line opening a part's header",
    "transfer encoding as an encoded word",
    "content type as an encoded word",
    "uuencode mode as lenient readers take it",
    "content type line over 4 KiB",
    "folded content type over 16 KiB",
    "boundary of 300 bytes",
    "400 blanks after the delimiter",
    "quoted-printable == escape",
    "stray = early in a base64 group",
    "multipart without boundary as the attachment",
]


def wrap76(text):
    """Splits text into lines of 76 characters."""
    return [text[i:i + 76] for i in range(0, len(text), 76)] or [b""]


def uuencode(data, name, mode=b"644"):
    """data as a uuencoded block with its begin and end lines."""
    lines = [b"begin " + mode + b" " + name]
    for i in range(0, len(data), 45):
        lines.append(binascii.b2a_uu(data[i:i + 45]).rstrip(b"\n"))
    lines += [b"`", b"end"]
    return lines


class Variant:
    """One generated message: its bytes and the techniques it uses."""

    def __init__(self, name, data, techniques):
        self.name = name
        self.data = data
        self.techniques = techniques


class Builder:
    """Builds one message from the chosen techniques; lines are joined at the end with the line
    end the techniques ask for."""

    def __init__(self, rng, techniques):
        self.rng = rng
        self.t = set(techniques)

    def uses(self, name):
        return name in self.t

    def payload(self, textual):
        """Random attachment bytes; text lines when an identity encoding carries them."""
        rng = self.rng
        if textual:
            words = [b"alpha", b"beta", b"gamma", b"caf\xe9", b"x" * 20, b"=", b"tab\there"]
            lines = [b" ".join(rng.choice(words) for _ in range(rng.randrange(1, 9)))
                     for _ in range(rng.randrange(1, 12))]
            return lines
        size = rng.choice([1, 2, 3, 4, 45, 57, 100, 301, 1024, 4000])
        return rng.randbytes(size)

    def file_name_fields(self, index):
        """Content-Type name parameter and Content-Disposition for attachment index."""
        name = b"file%d.bin" % index
        if self.uses("RFC 2231 file name"):
            disposition = b"attachment; filename*0=\"fi\"; filename*1=\"le%d.bin\"" % index
        elif self.uses("RFC 2047 file name"):
            disposition = b"attachment; filename=\"=?utf-8?B?" + base64.b64encode(name) + b"?=\""
        else:
            disposition = b"attachment; filename=\"" + name + b"\""
        return name, disposition

    def header_field(self, name, value):
        """One header line, with a blank before the colon when that trick is used."""
        if self.uses("blank before the colon") and self.rng.random() < 0.5:
            return name + b" : " + value
        return name + b": " + value

    def attachment(self, index):
        """Header lines and body lines of one attachment part."""
        rng = self.rng
        textual = self.uses("8bit text attachment") or (
            self.uses("second Content-Transfer-Encoding") and rng.random() < 0.3)
        binary = self.uses("binary attachment") and not textual
        uu = ((self.uses("x-uuencode transfer encoding")
               or self.uses("uuencode mode as lenient readers take it"))
              and not textual and not binary)
        qp = ((self.uses("quoted-printable soft break after blanks")
               or self.uses("quoted-printable == escape")) and not (textual or binary or uu))
        name, disposition = self.file_name_fields(index)
        content_type = b"application/octet-stream; name=\"" + name + b"\""
        if self.uses("multipart without boundary as the attachment"):
            content_type = b"multipart/mixed; name=\"" + name + b"\""
        headers = []
        if self.uses("mbox From line opening a part's header"):
            headers.append(b"From sender@example.org Mon Jan  1 10:00:00 2024")
        elif self.uses("continuation line opening a part's header"):
            headers.append(b"  continued")
        if self.uses("second Content-Type before the real one"):
            headers.append(b"Content-Type: text/plain; charset=us-ascii")
        headers.append(self.header_field(b"Content-Type", content_type))
        if self.uses("second Content-Type after the real one"):
            headers.append(b"Content-Type: text/plain; charset=us-ascii")
        if self.uses("NUL byte in a header"):
            headers.append(b"X-Note: a\x00b")
        if self.uses("bytes above 127 in a header name"):
            headers.append(b"X-N\xe4me: value")
        if textual:
            lines = self.payload(True)
            cte = b"8bit"
            body = lines
        elif binary:
            # Binary content without line ends, so no line of it can be a delimiter.
            data = bytes(b for b in self.payload(False) if b not in (10, 13)) or b"\x00"
            cte = b"binary"
            body = [data]
        elif uu:
            cte = b"x-uuencode"
            mode = b"644"
            if self.uses("uuencode mode as lenient readers take it"):
                mode = rng.choice([b"7", b"00644", b"0o644", b"+644", b"6_4_4", b"0o_7"])
            body = uuencode(self.payload(False), name, mode)
        elif qp:
            cte = b"quoted-printable"
            body = [b"first half= ", b"second half=\t", b"end =3D value"]
            if self.uses("quoted-printable == escape"):
                body += [b"a ==41 b", b"c ===42 d=="]
        else:
            cte = b"base64"
            data = self.payload(False)
            if self.uses("base64 going on after its padding"):
                cut = rng.randrange(1, len(data)) if len(data) > 1 else 1
                text = base64.b64encode(data[:cut]) + base64.b64encode(data[cut:])
            else:
                text = base64.b64encode(data)
            if self.uses("base64 without padding"):
                text = text.rstrip(b"=")
            body = wrap76(text)
            if self.uses("stray bytes in base64"):
                body = [line[:5] + rng.choice([b"!", b"*", b" ", b"\t", b"."]) + line[5:]
                        for line in body]
            if self.uses("stray = early in a base64 group"):
                # Each line starts a group: an "=" at its first or second place.
                body = [line[:at] + b"=" + line[at:]
                        for line, at in ((line, rng.choice([0, 1])) for line in body)]
        if self.uses("second Content-Transfer-Encoding"):
            decoy = rng.choice([b"7bit", b"quoted-printable", b"base64"])
            if rng.random() < 0.5:
                headers += [b"Content-Transfer-Encoding: " + decoy,
                            b"Content-Transfer-Encoding: " + cte]
            else:
                headers += [b"Content-Transfer-Encoding: " + cte,
                            b"Content-Transfer-Encoding: " + decoy]
        elif self.uses("transfer encoding as an encoded word"):
            headers.append(b"Content-Transfer-Encoding: =?us-ascii?q?" + cte + b"?=")
        else:
            headers.append(self.header_field(b"Content-Transfer-Encoding", cte))
        headers.append(b"Content-Disposition: " + disposition)
        if self.uses("header line without colon"):
            headers.insert(1, b"  folded-looking text without colon" if rng.random() < 0.5
                           else b"junk line without colon")
        return headers, body

    def boundary_param(self, boundary):
        """The Content-Type parameters naming boundary, with the chosen tricks."""
        if self.uses("RFC 2231 boundary continuation"):
            half = len(boundary) // 2
            return b"boundary*0=\"" + boundary[:half] + b"\"; boundary*1=\"" + boundary[half:] + b"\""
        if self.uses("quoted boundary with trailing blanks"):
            return b"boundary=\"" + boundary + b"  \""
        if self.uses("boundary parameter given twice"):
            decoy = b"decoy-" + boundary
            if self.rng.random() < 0.5:
                return b"boundary=\"" + decoy + b"\"; boundary=\"" + boundary + b"\""
            return b"boundary=\"" + boundary + b"\"; boundary=\"" + decoy + b"\""
        return b"boundary=\"" + boundary + b"\""

    def multipart(self, parts, depth_label):
        """Header and body lines of a multipart/mixed holding parts (header, body) pairs."""
        boundary = b"b%d-%s" % (self.rng.randrange(10**6), depth_label)
        if self.uses("boundary of 300 bytes"):
            boundary = boundary.ljust(300, b"q")
        value = b"multipart/mixed; " + self.boundary_param(boundary)
        if self.uses("content type line over 4 KiB"):
            value = b"multipart/mixed; x-pad=\"" + b"p" * 5000 + b"\"; " + self.boundary_param(
                boundary)
        if self.uses("content type as an encoded word"):
            value = b"=?us-ascii?q?" + value.replace(b"=", b"=3D").replace(b";", b"=3B").replace(
                b" ", b"_").replace(b"?", b"=3F").replace(b"\"", b"=22") + b"?="
        headers = [b"Content-Type: " + value]
        if self.uses("folded content type over 16 KiB"):
            headers = [b"Content-Type: multipart/mixed;"] + [
                b" x-pad%d=\"%s\";" % (n, b"p" * 60) for n in range(300)] + [
                b" " + self.boundary_param(boundary)]
        delimiter = b"--" + boundary
        if self.uses("quoted boundary with trailing blanks"):
            delimiter += b"  "
        if self.uses("400 blanks after the delimiter"):
            delimiter += b" " * 400
        body = [b"This is a multi-part message in MIME format."]
        if self.uses("body line that begins with the boundary"):
            body.append(delimiter.rstrip() + b"-not-a-delimiter")
        for part_headers, part_body in parts:
            line = delimiter
            if self.uses("blanks after the delimiter"):
                line += b" \t"
            body += [line] + part_headers + [b""] + part_body
        if not self.uses("missing closing boundary"):
            body.append(delimiter.rstrip() + b"--")
        body.append(b"")
        return headers, body

    def text_part(self):
        return [b"Content-Type: text/plain; charset=us-ascii"], [b"The text of the message."]

    def build(self):
        rng = self.rng
        count = rng.choice([1, 1, 2])
        parts = [self.attachment(index) for index in range(count)]
        headers, body = self.multipart([self.text_part()] + parts, b"inner")
        if self.uses("base64 on a multipart container"):
            encoded = base64.b64encode(b"\r\n".join(headers + [b""] + body))
            outer = self.multipart([([b"Content-Type: multipart/mixed; boundary=\"unused\"",
                                      b"Content-Transfer-Encoding: base64"], wrap76(encoded))],
                                   b"container")
            headers, body = outer
        if self.uses("inside message/rfc822"):
            headers, body = self.multipart(
                [self.text_part(),
                 ([b"Content-Type: message/rfc822"],
                  [b"Subject: inner"] + headers + [b""] + body)], b"outer")
        if self.uses("inside a digest without Content-Type"):
            boundary = b"digest%d" % rng.randrange(10**6)
            inner = [b"Subject: entry"] + headers + [b""] + body
            headers = [b"Content-Type: multipart/digest; boundary=\"" + boundary + b"\""]
            body = [b"--" + boundary, b""] + inner + [b"--" + boundary + b"--", b""]
        if self.uses("deep nesting"):
            for level in range(rng.randrange(3, 40)):
                headers, body = self.multipart([(headers, body)], b"level%d" % level)
        top = [b"From: sender@example.org", b"To: rcpt@example.net",
               b"Subject: generated variant", b"MIME-Version: 1.0"]
        lines = top + headers + [b""] + body
        if self.uses("mbox separator line"):
            lines.insert(0, b"From sender@example.org Mon Jan  1 10:00:00 2024")
        elif self.uses("envelope block"):
            lines = [b"H sender@example.org", b"R rcpt@example.net", b""] + lines
        return self.join(lines)

    def join(self, lines):
        if self.uses("lone CR line ends"):
            return b"\r".join(lines)
        if self.uses("CR LF line ends"):
            return b"\r\n".join(lines)
        if self.uses("mixed line ends"):
            out = b""
            for line in lines:
                out += line + self.rng.choice([b"\n", b"\r\n"])
            return out
        return b"\n".join(lines)


def generate(count, seed):
    """count variants, each with one to three techniques."""
    rng = random.Random(seed)
    variants = []
    for index in range(count):
        chosen = sorted(rng.sample(TECHNIQUES, rng.choice([1, 2, 2, 3])))
        data = Builder(rng, chosen).build()
        variants.append(Variant("variant-%03d" % index, data, chosen))
    return variants
