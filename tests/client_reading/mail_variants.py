# SPDX-License-Identifier: Apache-2.0
"""mail_variants.py - messages built with the tricks attackers use to make a mail client and a
scanner read one message two ways, combined at random (seeded, so the same seed gives the same
messages).

Each message carries one or two attachments of random bytes (or text for the identity encodings),
wrapped with one to five techniques drawn from TECHNIQUES, which mutate every level: line ends,
header line shapes, field names and values, parameters in RFC 2231 and RFC 2047 forms, charsets,
transfer encodings and their spellings, boundary forms, delimiters, nesting, encoded containers
and text bodies holding encoded blocks. The field-level forms are in variant_fields.py. Used by
differential.py; standard library only.
"""

import base64
import binascii
import quopri
import random

import variant_fields as fields

# Every technique a variant may use, by the name the report shows, grouped by level.
TECHNIQUES = [
    # line ends
    "lone CR line ends", "CR LF line ends", "mixed line ends", "LF CR line ends",
    "CR CR LF line ends",
    # the message's envelope and top header
    "mbox separator line", "envelope block", "MIME-Version missing",
    # header line shapes
    "blank before the colon", "tab before the colon", "header line without colon",
    "continuation line opening a part's header", "mbox From line opening a part's header",
    "line of CRs in a part's header", "lone CR inside a header line",
    "header ended by a line of blanks", "NUL byte in a header", "bytes above 127 in a header name",
    "content type line over 4 KiB", "folded content type over 16 KiB", "folded parameter",
    # field names and values
    "field names in odd case", "second Content-Type before the real one",
    "second Content-Type after the real one", "second Content-Transfer-Encoding",
    "comment in the field value", "NUL ending a field value", "content type without subtype",
    "content type in quotes", "Content-Disposition only", "8-bit bytes in a field value",
    "content type as an encoded word", "transfer encoding as an encoded word",
    "parameter without value",
    # parameters in RFC 2231 and RFC 2047 forms
    "RFC 2231 boundary continuation", "RFC 2231 boundary with charset",
    "RFC 2047 boundary in another charset", "RFC 2231 file name", "RFC 2231 file name in Latin-1",
    "RFC 2047 file name", "RFC 2047 file name in Latin-1",
    # charsets
    "text attachment with a charset",
    # transfer encodings and their spellings
    "transfer encoding spelled oddly", "x-uuencode transfer encoding",
    "uuencode mode as lenient readers take it", "8bit text attachment", "binary attachment",
    "base64 going on after its padding", "stray bytes in base64", "base64 without padding",
    "stray = early in a base64 group", "quoted-printable soft break after blanks",
    "quoted-printable == escape",
    # boundary forms
    "boundary parameter given twice", "quoted boundary with trailing blanks", "unquoted boundary",
    "semicolon inside the quoted boundary", "escaped quote inside the quoted boundary",
    "boundary with 8-bit bytes", "boundary of 300 bytes", "boundary a prefix of the inner one",
    # delimiters
    "blanks after the delimiter", "400 blanks after the delimiter", "junk after the delimiter",
    "closing delimiter with trailing junk", "body line that begins with the boundary",
    "missing closing boundary", "epilogue holding another part",
    # nesting
    "inside message/rfc822", "inside a digest without Content-Type", "deep nesting",
    "other multipart subtypes", "multipart without boundary as the attachment",
    # encoded containers
    "base64 on a multipart container", "quoted-printable on a multipart container",
    "base64 on an embedded message",
    # text bodies holding encoded blocks
    "uuencoded block in a text body", "base64 block in a text body",
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

    def header_field(self, name, value):
        """One header line, with the chosen shape of its name and colon."""
        if self.uses("field names in odd case") and self.rng.random() < 0.7:
            name = fields.field_name_case(self.rng, name)
        if self.uses("blank before the colon") and self.rng.random() < 0.5:
            return name + b" : " + value
        if self.uses("tab before the colon") and self.rng.random() < 0.5:
            return name + b"\t: " + value
        return name + b": " + value

    def encoding_value(self, cte):
        """The Content-Transfer-Encoding value for cte, with the chosen spelling and tail."""
        value = cte
        if self.uses("transfer encoding spelled oddly") and self.rng.random() < 0.7:
            value = fields.spell_encoding(self.rng, cte)
        if self.uses("comment in the field value") and self.rng.random() < 0.5:
            value += b" (the data)"
        if self.uses("NUL ending a field value"):
            value += b"\x00" + self.rng.choice([b"junk", b"7bit", b" quoted-printable"])
        if self.uses("lone CR inside a header line"):
            value += self.rng.choice([b"\r\rjunk", b"\rX-Other: 1", b"\r"])
        return value

    def attachment_type(self, name):
        """The attachment's Content-Type value."""
        rng = self.rng
        kind = b"application/octet-stream"
        if self.uses("multipart without boundary as the attachment"):
            kind = b"multipart/mixed"
        elif self.uses("content type without subtype"):
            kind = b"application"
        elif self.uses("text attachment with a charset"):
            kind = b"text/plain; charset=" + rng.choice(
                [b"utf-16", b"\"iso-8859-1\"", b"x-unknown", b"utf-7", b"unknown-8bit"])
        if self.uses("content type in quotes"):
            kind = b"\"" + kind + b"\""
        if self.uses("comment in the field value") and rng.random() < 0.5:
            kind += b" (a comment)"
        value = kind + b"; name=\"" + name + b"\""
        if self.uses("parameter without value"):
            value = kind + b"; junk; name=\"" + name + b"\""
        return value

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
        name = b"file%d.bin" % index
        if self.uses("8-bit bytes in a field value"):
            name = b"f\xe9le%d.bin" % index
        disposition = fields.file_name_disposition(rng, self.uses, name)
        headers = []
        if self.uses("mbox From line opening a part's header"):
            headers.append(b"From sender@example.org Mon Jan  1 10:00:00 2024")
        elif self.uses("continuation line opening a part's header"):
            headers.append(b"  continued")
        if self.uses("second Content-Type before the real one"):
            headers.append(b"Content-Type: text/plain; charset=us-ascii")
        if not self.uses("Content-Disposition only"):
            headers.append(self.header_field(b"Content-Type", self.attachment_type(name)))
        if self.uses("second Content-Type after the real one"):
            headers.append(b"Content-Type: text/plain; charset=us-ascii")
        if self.uses("NUL byte in a header"):
            headers.append(b"X-Note: a\x00b")
        if self.uses("bytes above 127 in a header name"):
            headers.append(b"X-N\xe4me: value")
        if self.uses("line of CRs in a part's header"):
            headers.append(rng.choice([b"\r", b"\r\r", b"\r\r\r"]))
        if textual:
            cte = b"8bit"
            body = self.payload(True)
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
            body = self.base64_body(self.payload(False))
        if self.uses("second Content-Transfer-Encoding"):
            decoy = rng.choice([b"7bit", b"quoted-printable", b"base64"])
            pair = [b"Content-Transfer-Encoding: " + decoy,
                    b"Content-Transfer-Encoding: " + self.encoding_value(cte)]
            headers += pair if rng.random() < 0.5 else pair[::-1]
        elif self.uses("transfer encoding as an encoded word"):
            headers.append(b"Content-Transfer-Encoding: =?us-ascii?q?" + cte + b"?=")
        else:
            headers.append(self.header_field(b"Content-Transfer-Encoding",
                                             self.encoding_value(cte)))
        headers.append(self.header_field(b"Content-Disposition", disposition))
        if self.uses("header line without colon"):
            headers.insert(1, b"  folded-looking text without colon" if rng.random() < 0.5
                           else b"junk line without colon")
        return headers, body

    def base64_body(self, data):
        """The base64 lines of data, with the chosen faults."""
        rng = self.rng
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
        return body

    def separator(self):
        """The line that ends a part's header: empty, or blanks when that trick is used."""
        if self.uses("header ended by a line of blanks") and self.rng.random() < 0.5:
            return self.rng.choice([b" ", b"\t", b"  "])
        return b""

    def multipart(self, parts, label, boundary=None):
        """Header and body lines of a multipart holding parts (header, body) pairs."""
        rng = self.rng
        boundary = boundary or fields.boundary_bytes(rng, self.uses, label)
        subtype = b"mixed"
        if self.uses("other multipart subtypes"):
            subtype = rng.choice([b"alternative", b"related", b"signed", b"x-unknown", b"report"])
        param = fields.boundary_param(rng, self.uses, boundary)
        value = b"multipart/" + subtype + b"; " + param
        if self.uses("parameter without value"):
            value = b"multipart/" + subtype + b"; charset; " + param
        if self.uses("content type line over 4 KiB"):
            value = b"multipart/" + subtype + b"; x-pad=\"" + b"p" * 5000 + b"\"; " + param
        if self.uses("content type as an encoded word"):
            value = b"=?us-ascii?q?" + value.replace(b"=", b"=3D").replace(b";", b"=3B").replace(
                b" ", b"_").replace(b"?", b"=3F").replace(b"\"", b"=22") + b"?="
        headers = [self.header_field(b"Content-Type", value)]
        if self.uses("folded content type over 16 KiB"):
            headers = [b"Content-Type: multipart/mixed;"] + [
                b" x-pad%d=\"%s\";" % (n, b"p" * 60) for n in range(300)] + [b" " + param]
        elif self.uses("folded parameter"):
            name, _, rest = param.partition(b"=")
            headers = [b"Content-Type: multipart/" + subtype + b";", b"\t" + name + b"=",
                       b" " + rest]
        delimiter = b"--" + boundary
        if self.uses("quoted boundary with trailing blanks"):
            delimiter += b"  "
        if self.uses("400 blanks after the delimiter"):
            delimiter += b" " * 400
        close = delimiter.rstrip() + b"--"
        if self.uses("closing delimiter with trailing junk"):
            close += rng.choice([b"junk", b" trailing words", b"--"])
        body = [b"This is a multi-part message in MIME format."]
        if self.uses("body line that begins with the boundary"):
            body.append(delimiter.rstrip() + b"-not-a-delimiter")
        late = parts[-1:] if self.uses("epilogue holding another part") and len(parts) > 1 else []
        for part_headers, part_body in parts[:len(parts) - len(late)]:
            body += [self.delimiter_line(delimiter)] + part_headers + [self.separator()] + part_body
        if not self.uses("missing closing boundary"):
            body.append(close)
        for part_headers, part_body in late:
            body += [b"epilogue text", delimiter] + part_headers + [b""] + part_body + [close]
        body.append(b"")
        return headers, body

    def delimiter_line(self, delimiter):
        """A delimiter line with what the chosen tricks put after it."""
        line = delimiter
        if self.uses("blanks after the delimiter"):
            line += b" \t"
        if self.uses("junk after the delimiter") and self.rng.random() < 0.5:
            line += self.rng.choice([b" junk", b"junk", b"\tx"])
        return line

    def text_part(self):
        """The message's text, holding an encoded block when that trick is used."""
        body = [b"The text of the message."]
        if self.uses("uuencoded block in a text body"):
            body += [b""] + uuencode(self.payload(False), b"inline.bin") + [b"", b"Regards"]
        if self.uses("base64 block in a text body"):
            body += [b""] + wrap76(base64.b64encode(self.payload(False))) + [b""]
        return [b"Content-Type: text/plain; charset=us-ascii"], body

    def container(self, headers, body, encoding):
        """The multipart as one part encoded whole with base64 or quoted-printable."""
        inner = b"\r\n".join(headers + [b""] + body)
        if encoding == b"base64":
            lines = wrap76(base64.b64encode(inner))
        else:
            lines = quopri.encodestring(inner.replace(b"\r\n", b"\n")).split(b"\n")
        return self.multipart([([b"Content-Type: multipart/mixed; boundary=\"unused\"",
                                 b"Content-Transfer-Encoding: " + encoding], lines)],
                              b"container")

    def build(self):
        rng = self.rng
        count = rng.choice([1, 1, 2])
        parts = [self.attachment(index) for index in range(count)]
        outer = inner = None
        if self.uses("boundary a prefix of the inner one"):
            outer = b"pfx%d" % rng.randrange(10**6)
            inner = outer + rng.choice([b"-inner", b"x", b"-", b"--"])
        headers, body = self.multipart([self.text_part()] + parts, b"inner", inner)
        if outer is not None:
            headers, body = self.multipart([self.text_part(), (headers, body)], b"outer", outer)
        if self.uses("base64 on a multipart container"):
            headers, body = self.container(headers, body, b"base64")
        elif self.uses("quoted-printable on a multipart container"):
            headers, body = self.container(headers, body, b"quoted-printable")
        if self.uses("inside message/rfc822") or self.uses("base64 on an embedded message"):
            embedded = [b"Subject: inner"] + headers + [b""] + body
            part_headers = [b"Content-Type: message/rfc822"]
            if self.uses("base64 on an embedded message"):
                embedded = wrap76(base64.b64encode(b"\r\n".join(embedded)))
                part_headers.append(b"Content-Transfer-Encoding: base64")
            headers, body = self.multipart([self.text_part(), (part_headers, embedded)],
                                           b"outer")
        if self.uses("inside a digest without Content-Type"):
            boundary = b"digest%d" % rng.randrange(10**6)
            inner = [b"Subject: entry"] + headers + [b""] + body
            headers = [b"Content-Type: multipart/digest; boundary=\"" + boundary + b"\""]
            body = [b"--" + boundary, b""] + inner + [b"--" + boundary + b"--", b""]
        if self.uses("deep nesting"):
            for level in range(rng.randrange(3, 40)):
                headers, body = self.multipart([(headers, body)], b"level%d" % level)
        top = [b"From: sender@example.org", b"To: rcpt@example.net",
               b"Subject: generated variant"]
        if not self.uses("MIME-Version missing"):
            top.append(b"MIME-Version: 1.0")
        lines = top + headers + [b""] + body
        if self.uses("mbox separator line"):
            lines.insert(0, b"From sender@example.org Mon Jan  1 10:00:00 2024")
        elif self.uses("envelope block"):
            lines = [b"H sender@example.org", b"R rcpt@example.net", b""] + lines
        return self.join(lines)

    def join(self, lines):
        ends = {"lone CR line ends": b"\r", "CR LF line ends": b"\r\n", "LF CR line ends": b"\n\r",
                "CR CR LF line ends": b"\r\r\n"}
        for name, end in ends.items():
            if self.uses(name):
                return end.join(lines)
        if self.uses("mixed line ends"):
            return b"".join(line + self.rng.choice([b"\n", b"\r\n", b"\r"]) for line in lines)
        return b"\n".join(lines)


def generate(count, seed):
    """count variants, each with one to five techniques, made one at a time."""
    rng = random.Random(seed)
    for index in range(count):
        chosen = sorted(rng.sample(TECHNIQUES, rng.choice([1, 2, 2, 3, 3, 4, 5])))
        data = Builder(rng, chosen).build()
        yield Variant("variant-%05d" % index, data, chosen)
