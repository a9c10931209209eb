# SPDX-License-Identifier: Apache-2.0
"""variant_fields.py - the field-level mutations of the message generator (mail_variants.py): how
a field name, a transfer encoding, a boundary or a file name may be written so that parsers read
it differently. Each function takes the generator's random source and returns bytes.
"""

import base64
import binascii
import urllib.parse


def field_name_case(rng, name):
    """The field name in upper, lower or alternating case."""
    form = rng.choice(["upper", "lower", "alternating"])
    if form == "upper":
        return name.upper()
    if form == "lower":
        return name.lower()
    return bytes(c ^ 0x20 if chr(c).isalpha() and i % 2 else c for i, c in enumerate(name))


# How mail software spells each transfer encoding beyond the standard name.
SPELLINGS = {
    b"base64": [b"Base64", b"BASE64", b" base64 ", b"base64;", b"x-base64", b"base-64",
                b"\"base64\"", b"base64 (encoded)"],
    b"quoted-printable": [b"Quoted-Printable", b"QUOTED-PRINTABLE", b"quoted_printable",
                          b"x-quoted-printable", b"quoted-printable (text)"],
    b"x-uuencode": [b"x-uue", b"uuencode", b"uue", b"X-UUENCODE", b"x-uuencoded"],
    b"8bit": [b"8BIT", b"8-bit", b"x-8bit"],
    b"binary": [b"BINARY", b"x-binary"],
}


def spell_encoding(rng, cte):
    return rng.choice(SPELLINGS.get(cte, [cte]))


def encoded_word(rng, text):
    """text as one RFC 2047 encoded word in a charset other than UTF-8, and that charset."""
    charset = rng.choice(["iso-8859-1", "utf-16be", "ibm500", "utf-7"])
    if charset == "iso-8859-1":
        return b"=?iso-8859-1?Q?" + binascii.b2a_qp(text, header=True).replace(
            b"=\n", b"") + b"?="
    python_codec = {"utf-16be": "utf-16-be", "ibm500": "cp500", "utf-7": "utf-7"}[charset]
    encoded = text.decode("latin-1").encode(python_codec)
    return b"=?" + charset.encode() + b"?B?" + base64.b64encode(encoded) + b"?="


def rfc2231_value(rng, text):
    """text as an RFC 2231 extended value with a charset and language, some bytes escaped."""
    charset = rng.choice([b"us-ascii", b"iso-8859-1", b"utf-8"])
    language = rng.choice([b"", b"en"])
    escaped = b"".join(b"%%%02X" % c if (c > 127 or rng.random() < 0.3) else bytes([c])
                       for c in text)
    return charset + b"'" + language + b"'" + escaped


def boundary_param(rng, uses, boundary):
    """The Content-Type parameters naming boundary, with the chosen tricks. The boundary's own
    bytes (what the delimiters carry) are the caller's."""
    if uses("RFC 2231 boundary continuation"):
        half = len(boundary) // 2
        return b"boundary*0=\"" + boundary[:half] + b"\"; boundary*1=\"" + boundary[half:] + b"\""
    if uses("RFC 2231 boundary with charset"):
        return b"boundary*=" + rfc2231_value(rng, boundary)
    if uses("RFC 2047 boundary in another charset"):
        return b"boundary=\"" + encoded_word(rng, boundary) + b"\""
    if uses("quoted boundary with trailing blanks"):
        return b"boundary=\"" + boundary + b"  \""
    if uses("unquoted boundary"):
        return b"boundary=" + boundary
    if uses("escaped quote inside the quoted boundary"):
        return b"boundary=\"" + boundary.replace(b"\"", b"\\\"") + b"\""
    if uses("boundary parameter given twice"):
        decoy = b"decoy-" + boundary
        if rng.random() < 0.5:
            return b"boundary=\"" + decoy + b"\"; boundary=\"" + boundary + b"\""
        return b"boundary=\"" + boundary + b"\"; boundary=\"" + decoy + b"\""
    return b"boundary=\"" + boundary + b"\""


def boundary_bytes(rng, uses, label):
    """A boundary with the characters the chosen tricks put in it."""
    boundary = b"b%d-%s" % (rng.randrange(10**6), label)
    if uses("unquoted boundary") and rng.random() < 0.5:
        boundary = b"==_Part_" + boundary
    if uses("semicolon inside the quoted boundary"):
        boundary = boundary[:3] + b";" + boundary[3:]
    if uses("escaped quote inside the quoted boundary"):
        boundary = boundary[:3] + b"\"" + boundary[3:]
    if uses("boundary with 8-bit bytes"):
        boundary += rng.choice([b"\xe9", b"\xc3\xa9", b"\xff\xfe"])
    if uses("boundary of 300 bytes"):
        boundary = boundary.ljust(300, b"q")
    return boundary


def file_name_disposition(rng, uses, name):
    """The Content-Disposition value carrying the file name, in the chosen form."""
    if uses("RFC 2231 file name"):
        return b"attachment; filename*0=\"" + name[:2] + b"\"; filename*1=\"" + name[2:] + b"\""
    if uses("RFC 2231 file name in Latin-1"):
        return b"attachment; filename*=iso-8859-1''" + urllib.parse.quote_from_bytes(
            b"\xe9" + name).encode()
    if uses("RFC 2047 file name"):
        return b"attachment; filename=\"=?utf-8?B?" + base64.b64encode(name) + b"?=\""
    if uses("RFC 2047 file name in Latin-1"):
        return b"attachment; filename=\"" + encoded_word(rng, b"\xe9" + name) + b"\""
    return b"attachment; filename=\"" + name + b"\""
