# SPDX-License-Identifier: Apache-2.0
"""exceptions.py - the differences between an oracle's attachment and our files that are not
failures: named exceptions, which are by design or the oracle's own, and known gaps, which the
second reading does not cover yet. Each has a name the report counts it under, the oracles it
applies to and why. This is the one place either list is kept.

An attachment is looked at with what the message gave: `files` (the content of every file our
two readings wrote), `first_lf` (the first reading's files with CR LF made LF) and `message` (its
bytes in .data and, for a generated message or a finding, the techniques it was made with in
.techniques).
"""

import re


def without_cr(data):
    return data.replace(b"\r\n", b"\n")


def line_ends(attachment, files, first_lf, message):
    return ((attachment.type.startswith("text/") or attachment.encoding in ("", "7bit"))
            and without_cr(attachment.payload) in first_lf)


UUENCODE = re.compile(r"^(x-)?uu(encoded?|e)?$")


def undecodable(attachment, files, first_lf, message):
    if attachment.oracle == "mailparser":
        return (UUENCODE.match(attachment.encoding) is not None
                and attachment.payload.lstrip().startswith(b"begin "))
    if attachment.encoding == "base64":
        return "InvalidBase64LengthDefect" in attachment.defects
    if attachment.encoding == "quoted-printable" and isinstance(attachment.raw, str):
        return re.search(r"=[ \t]+(\r\n|\n|\r|$)", attachment.raw) is not None
    return False


def mail_text_as_it_stands(attachment, files, first_lf, message):
    return ((attachment.type.startswith("message/") or attachment.type == "text/rfc822-headers")
            and attachment.encoding in ("", "7bit", "8bit", "binary")
            and attachment.payload in message.data)


def header_cut_short(attachment, files, first_lf, message):
    return "MissingHeaderBodySeparatorDefect" in attachment.defects


def last_line_end(attachment, files, first_lf, message):
    return getattr(attachment, "unclosed", False) and any(
        attachment.payload + end in files for end in (b"\n", b"\r\n", b"\r"))


def line_end_before_delimiter(attachment, files, first_lf, message):
    return attachment.type.startswith("multipart/") and any(
        attachment.payload.endswith(end) and attachment.payload[:-len(end)] in files
        for end in (b"\r\n", b"\n", b"\r"))


BASE64_ALPHABET = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")


def python_base64_rule(attachment, files, first_lf, message):
    """Data after an "=" where padding can stand: there Python stops, the second reading goes on."""
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


# The generator's shapes (mail_variants.TECHNIQUES) whose attachments some oracles offer and the
# second reading does not write yet: (technique, oracles, why not yet followed).
TECHNIQUE_GAPS = [
]


class Rule:
    """One named difference: which oracles it applies to, the test, and why it is no failure."""

    def __init__(self, name, oracles, test, why):
        self.name = name
        self.oracles = oracles
        self.test = test
        self.why = why


ALL = ("python", "gmime", "mime-tools", "mailparser")

# Differences by design or of the oracle's own, tried in this order.
EXCEPTIONS = [
    Rule("line ends", ALL, line_ends,
         "a text/*, 7bit or unencoded leaf that differs from a first-reading file only in CR LF "
         "against LF; the first reading turns CR LF into LF, and the second does not write the "
         "same text again"),
    Rule("undecodable", ("python", "mailparser"), undecodable,
         "Python hands back the encoded text itself when base64 has a length no decoding fits "
         "(InvalidBase64LengthDefect) or a quoted-printable \"=\" has blanks before the line end, "
         "and mailparser hands back uuencoded text undecoded; the encoded text is not what a "
         "client opens"),
    Rule("mail text as it stands", ALL, mail_text_as_it_stands,
         "a message/* part (an embedded message whole, a fragment, an external body reference, "
         "a delivery status) or text/rfc822-headers offered as it stands in the message, with "
         "no transfer encoding to undo: the anti-virus reads those very bytes, as mail, in the "
         "copy of the message, and the attachments inside an embedded message are checked "
         "where the oracles open it"),
    Rule("header cut short", ("python",), header_cut_short,
         "Python ends a part's header block at the first line it cannot take for a field "
         "(MissingHeaderBodySeparatorDefect) and hands back the rest of the header as the body; "
         "lenient clients read such lines as fields, and so does the second reading"),
    Rule("last line end", ("python",), last_line_end,
         "in a multipart whose closing delimiter never comes, Python drops the line end at the "
         "very end of the input from the last part; the files keep it, as it stands"),
    Rule("line end before the delimiter", ("python",), line_end_before_delimiter,
         "in a multipart it cannot split (no boundary parameter), Python keeps the line end "
         "before the next delimiter of the enclosing multipart; the second reading reads that "
         "part as a leaf and leaves the line end to the delimiter, as for every other part"),
]

def disputed(attachment):
    """True when another oracle does not offer the attachment's content: a gap is known only
    where the oracles themselves disagree."""
    return bool(getattr(attachment, "not_offered_by", ()))


def uuencode_without_end(attachment, files, first_lf, message):
    return (UUENCODE.match(attachment.encoding) is not None and disputed(attachment)
            and re.search(rb"(?m)^end[ \t]*\r?$", message.data) is None)


TYPE_WITHOUT_SLASH = re.compile(rb"(?im)^content-type[ \t]*:[ \t]*[^/;\r\n]*(;|\r?$)")


def type_without_slash(attachment, files, first_lf, message):
    return disputed(attachment) and TYPE_WITHOUT_SLASH.search(message.data) is not None


def other_text_offered(attachment, files, first_lf, message):
    return (attachment.type.startswith("text/") and attachment.type not in ("text/plain",
                                                                            "text/html")
            and attachment.name is None and disputed(attachment))


def decoded_past_padding(attachment, files, first_lf, message):
    return attachment.encoding == "base64" and disputed(attachment) and any(
        file and len(attachment.payload) > len(file) and attachment.payload.startswith(file)
        for file in files)


def made_with(technique):
    """The test of a shape the message generator makes: a generated message or finding made with
    that technique, about which the oracles disagree."""
    return lambda attachment, files, first_lf, message: (
        technique in getattr(message, "techniques", ()) and disputed(attachment))


# Misses the second reading does not cover yet: counted and listed apart so that they stay
# visible until it does. Each names the oracle, the shape and why it is not followed yet; the
# report names the entries that no longer match anything, to be taken out.
KNOWN_GAPS = [
    Rule("Python's base64 rule", ("python",), python_base64_rule,
         "Python stops at the first \"=\" that can be padding (the third or fourth character of a "
         "group), where the second reading goes on; when the first reading did not write that "
         "part, no file holds Python's bytes"),
    Rule("uuencoded body without its end line", ("gmime", "mime-tools"), uuencode_without_end,
         "where a uuencoded body has no \"end\" line, each decoder ends it its own way (GMime "
         "and MIME-tools take the last short line and stop); the readings write one ending"),
    Rule("content type without a slash", ("gmime", "mime-tools", "mailparser"),
         type_without_slash,
         "a Content-Type value without \"/\" (\"text\", \"<html>\"): Python reads the part as "
         "text/plain, GMime as application/octet-stream and MIME-tools and mailparser keep the "
         "value, all three offering the body as an attachment; the readings take it as text"),
    Rule("mailparser offers other text", ("mailparser",), other_text_offered,
         "mailparser offers a text part of a subtype other than plain and html as an attachment "
         "even without a file name; the readings write text parts only when they have a name or "
         "do not hold text"),
    Rule("MIME-tools decodes past the padding", ("mime-tools",), decoded_past_padding,
         "MIME-tools' base64 decoder drops every \"=\" and decodes on, out of step, what comes "
         "after the padding (more base64, or an epilogue it takes for the part); the readings "
         "write the part up to the padding and, when it goes on, in step"),
] + [Rule("generated: " + technique, oracles, made_with(technique), why)
     for technique, oracles, why in TECHNIQUE_GAPS]


def classify(attachment, files, first_lf, message):
    """("matched" | "empty" | "exception" | "known gap" | "missing", rule name or None)."""
    if attachment.payload in files:
        return "matched", None
    if not attachment.payload:
        return "empty", None
    for kind, rules in (("exception", EXCEPTIONS), ("known gap", KNOWN_GAPS)):
        for rule in rules:
            if attachment.oracle in rule.oracles and rule.test(attachment, files, first_lf, message):
                return kind, rule.name
    return "missing", None
