// SPDX-License-Identifier: Apache-2.0
// principles_test.cpp - one group of tests per rule of the second
// reading: messages built here use an evasion technique, and the test checks
// the exact bytes of the extra files the reading writes.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/client_reading/reading_fixture.h"

namespace tarnwick::client_reading::test {
namespace {

using Contents = std::vector<std::string>;

const std::string kAttachmentBase64 =
    "Content-Type: application/octet-stream; name=\"a.exe\"\n"
    "Content-Transfer-Encoding: base64\n\nTUFMV0FSRQ==";

// What clients read: each case hides the marker where a client finds it; an
// empty marker means nothing may be written.

struct ClientCase {
    const char* what;
    std::string message;
    std::string marker;
};

// kBinary - the opening of a program and the marker, and its base64 form.
const std::string kBinary("MZ\x90\0MALWARE", 11);
const std::string kBinaryBase64 = "TVqQAE1BTFdBUkU=";

std::vector<ClientCase> clientCases() {
    const std::string uu = "'34%,5T%210  \n`\nend\n";
    const auto uuPart = [&](const std::string& mode) {
        return "Content-Type: application/x-a\nContent-Transfer-Encoding: x-uuencode\n\nbegin " +
               mode + " a.exe\n" + uu;
    };
    const std::string foldedPadding = [] {
        std::string padding;
        while (padding.size() < 20000)
            padding += " x=\"" + std::string(60, 'p') + "\";\n";
        return padding;
    }();
    const std::string longBoundary(300, 'q');
    const std::string blanks(400, ' ');
    const std::string manyBlanks = std::string(4000, ' ') + "\t" + std::string(1000, ' ');
    std::string lateNul(70000, 't');
    for (std::size_t at = 70; at < lateNul.size(); at += 71)
        lateNul[at] = '\n';
    return {
        {"mbox From line opening a part's header",
         multipart("b", {"From x@example.com Mon Jan  1 00:00:00 2024\n" + kAttachmentBase64}),
         "MALWARE"},
        {"mbox From line opening an embedded message",
         "Content-Type: message/rfc822\n\nFrom x@example.com Mon Jan  1 00:00:00 2024\n" +
             kAttachmentBase64,
         "MALWARE"},
        {"first header line a continuation", multipart("b", {" folded\n" + kAttachmentBase64}),
         "MALWARE"},
        {"first header line with an empty name", multipart("b", {": x\n" + kAttachmentBase64}),
         "MALWARE"},
        {"transfer encoding as an encoded word",
         "Content-Type: application/x-a\nContent-Transfer-Encoding: =?us-ascii?q?base64?=\n\n"
         "TUFMV0FSRQ==\n",
         "MALWARE"},
        {"content type as an encoded word",
         "Content-Type: =?us-ascii?q?multipart/mixed=3B_boundary=3Dzz?=\n\n--zz\n" +
             kAttachmentBase64 + "\n--zz--\n",
         "MALWARE"},
        {"uuencode mode of one digit", uuPart("7"), "MALWARE"},
        {"uuencode mode of five digits", uuPart("00644"), "MALWARE"},
        {"uuencode mode with 0o", uuPart("0o644"), "MALWARE"},
        {"uuencode mode with +", uuPart("+644"), "MALWARE"},
        {"uuencode mode with underscores", uuPart("6_4_4"), "MALWARE"},
        {"uuencode block of mode 0o7 in text",
         multipart("b", {"Content-Type: text/plain\n\nsee\nbegin 0o7 a.exe\n" + uu}), "MALWARE"},
        {"prose beginning with begin and a number",
         multipart("b", {"Content-Type: text/plain\n\nbegin 5 minutes later\nwe met\nend\n"}), ""},
        {"content type line over 4 KiB",
         "Content-Type: multipart/mixed; x=\"" + std::string(5000, 'p') +
             "\"; boundary=zz\n\n--zz\n" + kAttachmentBase64 + "\n--zz--\n",
         "MALWARE"},
        {"folded content type over 16 KiB",
         "Content-Type: multipart/mixed;\n" + foldedPadding + " boundary=zz\n\n--zz\n" +
             kAttachmentBase64 + "\n--zz--\n",
         "MALWARE"},
        {"boundary of 300 bytes", multipart(longBoundary, {kAttachmentBase64}), "MALWARE"},
        {"delimiters followed by 400 blanks",
         "Content-Type: multipart/mixed; boundary=zz\n\n--zz" + blanks + "\n" + kAttachmentBase64 +
             "\n--zz--" + blanks + "\n",
         "MALWARE"},
        {"delimiters followed by 5000 blanks, a body line too",
         "Content-Type: multipart/mixed; boundary=zz\n\n--zz" + manyBlanks +
             "\nContent-Type: application/x-a\n\n--zz" + manyBlanks + "\tMALWARE\n--zz--" +
             manyBlanks + "\n",
         "--zz" + manyBlanks + "\tMALWARE"},
        {"multipart without boundary, base64",
         "Content-Type: multipart/mixed\nContent-Transfer-Encoding: base64\n\n" + kBinaryBase64,
         kBinary},
        {"multipart whose boundary never appears",
         "Content-Type: multipart/mixed; boundary=never\n\n" + kBinary + "\n", kBinary},
        {"base64 multipart whose boundary never appears",
         "Content-Type: multipart/mixed; boundary=never\nContent-Transfer-Encoding: base64\n\n" +
             kBinaryBase64,
         kBinary},
        {"multipart without boundary holding text",
         "Content-Type: multipart/mixed\n\njust some text\n", ""},
        {"program in an unnamed text part",
         multipart("b", {"Content-Type: text/plain\nContent-Transfer-Encoding: base64\n\n" +
                         kBinaryBase64}),
         kBinary},
        {"NUL after 64 KiB of text",
         "Content-Type: text/plain\n\n" + lateNul + std::string("\0MALWARE", 8), "MALWARE"},
        {"ordinary text with escapes and form feeds",
         "Content-Type: text/plain; charset=iso-2022-jp\n\n\x1b$B$3$s\x1b(B\f\tpage two\n", ""},
        {"ordinary UTF-16 text",
         "Content-Type: text/plain; charset=UTF-16LE\n\n" + std::string("h\0i\0\x04\x04", 6), ""},
        {"ordinary UTF-16 text, quoted-printable",
         "Content-Type: text/plain; charset=UTF-16LE\nContent-Transfer-Encoding: "
         "quoted-printable\n\nh=00i=00=04=04\n",
         ""},
        {"escaped NUL in quoted-printable text after a cut line",
         "Content-Type: text/plain\nContent-Transfer-Encoding: quoted-printable\n\nfirst\n-- "
         "note\nMAL=00WARE\n",
         std::string("first\n-- note\nMAL\0WARE\n", 23)},
        {"program opening quoted-printable text",
         "Content-Type: text/plain\nContent-Transfer-Encoding: "
         "quoted-printable\n\n=4DZ=90=00MALWARE",
         kBinary},
        {"program opening unencoded text", "Content-Type: text/plain\n\nMZ is here\n",
         "MZ is here\n"},
        {"quoted-printable ==41",
         "Content-Type: application/x-a\nContent-Transfer-Encoding: quoted-printable\n\n"
         "MAL==41WARE\n",
         "MAL=41WARE"},
        {"stray = early in a base64 group",
         "Content-Type: application/x-a\nContent-Transfer-Encoding: base64\n\n=T=UFMV0FSRQ==\n",
         "MALWARE"},
    };
}

TEST_F(ReadingTest, WhatClientsReadIsWritten) {
    for (const ClientCase& c : clientCases()) {
        for (const auto& entry : std::filesystem::directory_iterator(folder_))
            std::filesystem::remove(entry.path());  // each case on its own
        const ReadResult result = read(c.message);
        if (c.marker.empty()) {
            EXPECT_EQ(result.contents, Contents{}) << c.what;
            continue;
        }
        EXPECT_TRUE(std::any_of(result.contents.begin(), result.contents.end(),
                                [&](const std::string& content) {
                                    return content.find(c.marker) != std::string::npos;
                                }))
            << c.what;
    }
}

// Where families of parsers disagree (client_rules.h, and the charsets and
// ids every family compares alike), each side's attachment is written.
// firstFiles, when given, are the first reading's files; a marker in
// brackets must be a file's whole content.

struct Disagreement {
    const char* what;
    std::string message;
    std::string marker;
    std::vector<std::string> firstFiles = {};
};

std::vector<Disagreement> disagreements() {
    const std::string base64Body = "\n\nTUFMV0FSRQ==\n";
    const auto partial = [](const std::string& id, int number, const std::string& content) {
        return "Content-Type: message/partial; id=\"" + id +
               "\"; number=" + std::to_string(number) + "; total=2\n\n" + content;
    };
    const std::string sharedStart(300, 'p');
    const std::string hidden =
        "Content-Type: application/x-a\nContent-Transfer-Encoding: base64\n\n";
    return {
        {"a line of CRs is a skipped header line where only LF ends lines",
         "From: a@example.com\n\r\r\n" + kAttachmentBase64, "MALWARE"},
        {"field, CR CR, junk stays one field where only LF ends lines",
         "Content-Type: application/octet-stream; name=a.exe\r\rjunk\n"
         "Content-Transfer-Encoding: base64" +
             base64Body,
         "MALWARE"},
        {"a line without a colon ends the header for some parsers",
         multipart("b", {"Content-Type: application/x-a\nContent-Transfer-Encoding: base64\n"
                         "TUFMV0FSRQ==\n\nQUJD"}),
         "MALWARE"},
        {"a line without a colon is dropped by others",
         "Content-Type: application/x-a\nContent-Transfer-Encoding: base64\njunk" + base64Body,
         "MALWARE"},
        {"NUL ends the transfer encoding's value",
         "Content-Type: application/x-a\nContent-Transfer-Encoding: base64" + std::string(1, '\0') +
             "junk" + base64Body,
         "MALWARE"},
        {"NUL ends the boundary",
         "Content-Type: multipart/mixed; boundary=zz" + std::string(1, '\0') + "junk\n\n--zz\n" +
             kAttachmentBase64 + "\n--zz--\n",
         "MALWARE"},
        {"RFC 2231 boundary in ISO-8859-1, delimiters in UTF-8",
         "Content-Type: multipart/mixed; boundary*=iso-8859-1''%E9t%E9\n\n--\xC3\xA9t\xC3\xA9\n" +
             kAttachmentBase64 + "\n--\xC3\xA9t\xC3\xA9--\n",
         "MALWARE"},
        {"RFC 2231 boundary in UTF-7",
         "Content-Type: multipart/mixed; boundary*=utf-7''%2BAOk-x\n\n--\xC3\xA9x\n" +
             kAttachmentBase64 + "\n--\xC3\xA9x--\n",
         "MALWARE"},
        {"RFC 2231 boundary in EBCDIC",
         "Content-Type: multipart/mixed; boundary*=ebcdic-cp-us''%A9%A9\n\n--zz\n" +
             kAttachmentBase64 + "\n--zz--\n",
         "MALWARE"},
        {"RFC 2047 boundary in UTF-16BE",
         "Content-Type: multipart/mixed; boundary=\"=?utf-16be?b?AHoAeg==?=\"\n\n--zz\n" +
             kAttachmentBase64 + "\n--zz--\n",
         "MALWARE"},
        {"raw 8-bit boundary, delimiters in UTF-8",
         "Content-Type: multipart/mixed; boundary=\"\xE9t\xE9\"\n\n--\xC3\xA9t\xC3\xA9\n" +
             kAttachmentBase64 + "\n--\xC3\xA9t\xC3\xA9--\n",
         "MALWARE"},
        {"message/partial ids sharing their first 300 bytes are two ids",
         multipart("b", {partial(sharedStart + "B", 1, "Content-Type: text/plain\n\nhello"),
                         partial(sharedStart + "A", 1, hidden + "TUFM"),
                         partial(sharedStart + "A", 2, "V0FSRQ==")}),
         "MALWARE"},
        {"base64 ends at its padding for some decoders",
         "Content-Type: application/x-a\nContent-Transfer-Encoding: base64\n\nTUFMV0FSRQ==QUJD\n",
         "[MALWARE]"},
        {"a quoted transfer encoding names none for strict parsers",
         "Content-Type: application/x-a\nContent-Transfer-Encoding: \"base64\"" + base64Body,
         "TUFMV0FSRQ=="},
        {"a blank before the colon makes no field for strict parsers",
         "Content-Type: application/x-a\nContent-Transfer-Encoding : base64" + base64Body,
         "TUFMV0FSRQ=="},
        {"a line that is no field before the first field is skipped by most parsers",
         multipart("b", {"junk line\n" + kAttachmentBase64}), "MALWARE"},
        {"text after the closing delimiter of a 300-byte boundary is content",
         "Content-Type: multipart/mixed; boundary=\"" + sharedStart + "\"\n\n--" + sharedStart +
             "\nContent-Type: application/x-a\n\nMAL\n--" + sharedStart + "-- WARE\n",
         "MAL\n--" + sharedStart + "-- WARE"},
        {"an embedded message in base64 is offered decoded",
         "Content-Type: message/rfc822\nContent-Transfer-Encoding: "
         "base64\n\nU3ViamVjdDogaW5uZXIKCk1BTFdBUkUK\n",
         "[Subject: inner\n\nMALWARE\n]"},
        {"a line of blanks ends the header for some parsers, the inner boundary counts",
         "Content-Type: multipart/mixed; boundary=\"o\"\n\n--o\nContent-Type: multipart/mixed; "
         "boundary=\"o--\"\n  \nintro\n--o--\n" +
             kAttachmentBase64 + "\n--o----\n--o--\n",
         "MALWARE"},
        {"base64 goes on out of step past an \"=\" for some decoders",
         "Content-Type: application/x-a\nContent-Transfer-Encoding: base64\n\nTUF=MV0FSRQ==\n",
         "[MALWARE]"},
        {"quoted-printable \"==\" keeps one \"=\" and reads on for some decoders",
         "Content-Type: application/x-a\nContent-Transfer-Encoding: quoted-printable\n\nMAL==57ARE",
         "[MAL=WARE]"},
        {"quoted-printable \"=\", a blank, a line end is data for some decoders",
         "Content-Type: application/x-a\nContent-Transfer-Encoding: quoted-printable\n\nMAL= "
         "\nWARE",
         "[MAL= \nWARE]"},
        {"unencoded program part stored with CR LF, first reading's file with LF",
         multipart("b", {"Content-Type: application/x-a\r\n\r\nMAL\r\nWARE"}),
         "MAL\r\nWARE",
         {"MAL\nWARE"}},
        {"unencoded text part stored with CR LF, first reading's file with LF",
         multipart("b", {"Content-Type: text/plain; name=a.txt\r\n\r\nMAL\r\nWARE"}),
         "",
         {"MAL\nWARE"}},
    };
}

TEST_F(ReadingTest, WhatAnyFamilyOfParsersReadsIsWritten) {
    for (const Disagreement& c : disagreements()) {
        for (const auto& entry : std::filesystem::directory_iterator(folder_))
            std::filesystem::remove(entry.path());  // each case on its own
        const ReadResult result = read(c.message, c.firstFiles);
        if (c.marker.empty()) {
            EXPECT_EQ(result.contents, Contents{}) << c.what;
            continue;
        }
        EXPECT_TRUE(std::any_of(result.contents.begin(), result.contents.end(),
                                [&](const std::string& content) {
                                    return c.marker.front() == '['
                                               ? "[" + content + "]" == c.marker
                                               : content.find(c.marker) != std::string::npos;
                                }))
            << c.what;
    }
}

// Ambiguity: every reading a client uses is shown.

TEST_F(ReadingTest, TransferEncodingGivenTwiceIsReadBothWays) {
    const ReadResult result = read(
        "Content-Type: application/octet-stream\n"
        "Content-Transfer-Encoding: 7bit\nContent-Transfer-Encoding: base64\n\nTUFMV0FSRQ==\n");
    EXPECT_EQ(result.contents, (Contents{"TUFMV0FSRQ==\n", "MALWARE"}));
    EXPECT_EQ(result.signs, (Contents{"duplicate field"}));
}

TEST_F(ReadingTest, ContentTypeGivenTwiceReadsTheMultipartOfTheLastOne) {
    const ReadResult result = read(
        "Content-Type: text/plain\nContent-Type: multipart/mixed; boundary=zz\n\n"
        "--zz\n" +
        kAttachmentBase64 + "\n--zz--\n");
    EXPECT_EQ(result.contents, (Contents{"MALWARE"}));
    EXPECT_TRUE(result.hasSign("duplicate field"));
    EXPECT_TRUE(result.hasSign("ambiguous boundary"));
}

TEST_F(ReadingTest, BoundaryParameterGivenTwiceIsTriedBothWays) {
    for (const char* order :
         {"boundary=\"real\"; boundary=\"decoy\"", "boundary=\"decoy\"; boundary=\"real\""}) {
        const ReadResult result = read("Content-Type: multipart/mixed; " + std::string(order) +
                                       "\n\n--real\n" + kAttachmentBase64 + "\n--real--\n");
        EXPECT_EQ(result.contents, (Contents{"MALWARE"})) << order;
        EXPECT_TRUE(result.hasSign("duplicate parameter")) << order;
    }
}

TEST_F(ReadingTest, BoundaryIsTriedWithItsQuotesAndAsRfc2231AndEncodedWord) {
    const std::string attachment = "--X\n" + kAttachmentBase64 + "\n--X--\n";
    struct Case {
        const char* parameter;
        const char* delimiter;
    };
    for (const Case& c :
         {Case{"boundary=\"q1\"", "\"q1\""}, Case{"boundary*0=ab; boundary*1=cd", "abcd"},
          Case{"boundary*=us-ascii'en'x%41y", "xAy"},
          Case{"boundary=\"=?us-ascii?Q?w=3Dv?=\"", "w=v"},
          Case{"boundary=\"trail  \"", "trail"}}) {
        std::string body = attachment;
        for (std::size_t at; (at = body.find("X")) != std::string::npos;)
            body.replace(at, 1, c.delimiter);
        const ReadResult result =
            read("Content-Type: multipart/mixed; " + std::string(c.parameter) + "\n\n" + body);
        EXPECT_EQ(result.contents, (Contents{"MALWARE"})) << c.parameter;
    }
}

// Headers as lenient clients read them.

TEST_F(ReadingTest, BlankBeforeTheColonStillNamesTheField) {
    const ReadResult result = read("Content-Type : multipart/mixed; boundary=b\n\n--b\n" +
                                   kAttachmentBase64 + "\n--b--\n");
    EXPECT_EQ(result.contents, (Contents{"MALWARE"}));
    // Strict clients take the line for no Content-Type: read as text too.
    EXPECT_EQ(result.signs, (Contents{"malformed header name", "ambiguous boundary"}));
}

TEST_F(ReadingTest, OddFieldNameAndLineWithoutColonDoNotEndTheHeader) {
    const ReadResult result =
        read("Subject: x\nX-T\xe9st: 1\nContent-Type: multipart/mixed;\nboundary=b\n\n--b\n" +
             kAttachmentBase64 + "\n--b--\n");
    EXPECT_EQ(result.contents, (Contents{"MALWARE"}));
    EXPECT_TRUE(result.hasSign("malformed header name"));
}

TEST_F(ReadingTest, NulBytesInHeaderAndBodyAreData) {
    const std::string message = std::string("Content-Type: application/x-a\0b\n\nA\0B", 36);
    const ReadResult result = read(message);
    EXPECT_EQ(result.contents, (Contents{std::string("A\0B", 3)}));
}

// Where the message starts.

TEST_F(ReadingTest, MboxSeparatorLineIsSkipped) {
    const ReadResult result =
        read("From sender@example.com Mon Jan  1 00:00:00 2024\n" + kAttachmentBase64 + "\n");
    EXPECT_EQ(result.contents, (Contents{"MALWARE"}));
}

TEST_F(ReadingTest, EnvelopeBlockIsSkippedThroughItsEmptyLine) {
    const ReadResult result =
        read("X sender@example.com\nR rcpt@example.com\n\n" + kAttachmentBase64 + "\n");
    EXPECT_EQ(result.contents, (Contents{"MALWARE"}));
}

// Lines end at CR LF, LF and lone CR.

TEST_F(ReadingTest, EveryLineEndSeparatesLinesAndIdentityBodiesKeepTheirs) {
    for (const char* end : {"\r\n", "\n", "\r"}) {
        const std::string e = end;
        const ReadResult result =
            read("Content-Type: multipart/mixed; boundary=b" + e + e + "--b" + e +
                 "Content-Type: application/x-a" + e + e + "one" + e + "two" + e + "--b--" + e);
        EXPECT_EQ(result.contents, (Contents{"one" + e + "two"}));
    }
}

// A delimiter is a whole line.

TEST_F(ReadingTest, LongerLineStartingWithTheBoundaryIsBodyText) {
    const ReadResult result = read(
        "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: application/x-a\n\n"
        "--bx\n--b \t\nContent-Type: application/x-b\n\nlast\n--b--  \n");
    EXPECT_EQ(result.contents, (Contents{"--bx", "last"}));
}

TEST_F(ReadingTest, EnclosingBoundaryEndsInnerParts) {
    const ReadResult result = read(
        "Content-Type: multipart/mixed; boundary=outer\n\n--outer\n"
        "Content-Type: multipart/mixed; boundary=inner\n\n--inner\n"
        "Content-Type: application/x-a\n\nfirst\n--outer\n"
        "Content-Type: application/x-b\n\nsecond\n--outer--\n");
    EXPECT_EQ(result.contents, (Contents{"first", "second"}));
}

// Decoding as the RFCs and lenient clients do.

TEST_F(ReadingTest, Base64GoesOnAfterPaddingSkipsJunkAndKeepsAFinalPartialGroup) {
    const ReadResult result = read(
        "Content-Type: multipart/mixed; boundary=b\n\n"
        "--b\nContent-Type: application/x-a\nContent-Transfer-Encoding: base64\n\nTUE=TFdBUkU=\n"
        "--b\nContent-Type: application/x-b\nContent-Transfer-Encoding: base64\n\nT*U!F\nMV0F SRQ\n"
        "--b\nContent-Type: application/x-c\nContent-Transfer-Encoding: base64\n\nTUFMV0FSRUE\n"
        "--b--\n");
    // The second part decodes to the same bytes as the first: written once.
    // Decoders that skip every "=" read the first out of step, those that
    // stop at the padding read "MA", and those that drop a short last group
    // read "MALWAR" from the second and "MALWARE" from the third.
    EXPECT_EQ(result.contents,
              (Contents{"MALWARE", "MA\x13\x15\xD0T\x91", "MA", "MALWAR", "MALWAREA"}));
}

TEST_F(ReadingTest, QuotedPrintableSoftBreakMayHaveBlanksBeforeTheLineEnd) {
    const ReadResult result = read(
        "Content-Type: application/x-a\nContent-Transfer-Encoding: quoted-printable\n\n"
        "MAL= \t\r\nW=41RE=3d=zz =\n");
    // The blank before the final soft break is data, not a line's trailing
    // blank. Decoders that take "=" and a blank for data keep the first break.
    EXPECT_EQ(result.contents, (Contents{"MALWARE==zz ", "MAL= \t\r\nWARE==zz "}));
}

TEST_F(ReadingTest, UuencodeNamesAreTransferEncodingsAndEveryBlockIsDecoded) {
    const std::string body =
        "begin 644 a.exe\n'34%,5T%210  \n`\nend\nbegin 644 b\n&4T5#3TY$\n`\nend\n";
    for (const char* name : {"x-uuencode", "x-uue", "uuencode"}) {
        const ReadResult result =
            read("Content-Type: application/x-a\nContent-Transfer-Encoding: " + std::string(name) +
                 "\n\n" + body);
        // Clients that know only x-uuencode offer the others' body as it stands.
        const Contents expected = std::string(name) == "x-uuencode"
                                      ? Contents{"MALWARE", "SECOND"}
                                      : Contents{"MALWARE", "SECOND", body};
        EXPECT_EQ(result.contents, expected) << name;
    }
}

TEST_F(ReadingTest, EncodedContainerIsDecodedThenReadWithADuplicateBoundaryInside) {
    // The decoded multipart names two boundaries; its attachment uses the second.
    const std::string inner =
        "--two\r\nContent-Type: application/x-a\r\nContent-Transfer-Encoding: base64\r\n\r\n"
        "TUFMV0FSRQ==\r\n--two--\r\n";
    std::string encoded;
    {
        static const char* alphabet =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (std::size_t i = 0; i < inner.size(); i += 3) {
            const unsigned a = static_cast<unsigned char>(inner[i]);
            const unsigned b = i + 1 < inner.size() ? static_cast<unsigned char>(inner[i + 1]) : 0;
            const unsigned c = i + 2 < inner.size() ? static_cast<unsigned char>(inner[i + 2]) : 0;
            const unsigned bits = (a << 16) | (b << 8) | c;
            encoded += alphabet[(bits >> 18) & 63];
            encoded += alphabet[(bits >> 12) & 63];
            encoded += i + 1 < inner.size() ? alphabet[(bits >> 6) & 63] : '=';
            encoded += i + 2 < inner.size() ? alphabet[bits & 63] : '=';
            if (encoded.size() % 77 == 76)
                encoded += '\n';
        }
    }
    const ReadResult result = read(
        "Content-Type: multipart/mixed; boundary=one; boundary=two\n"
        "Content-Transfer-Encoding: base64\n\n" +
        encoded + "\n");
    EXPECT_EQ(result.contents, (Contents{"MALWARE"}));
    EXPECT_TRUE(result.hasSign("encoded container"));
    EXPECT_TRUE(result.hasSign("duplicate parameter"));
    EXPECT_TRUE(result.hasSign("ambiguous boundary"));
}

// Embedded encodings in every text part.

TEST_F(ReadingTest, EveryUuencodedBlockOfANestedTextPartIsAnAttachment) {
    const ReadResult result = read(multipart(
        "b", {"Content-Type: text/plain\n\nhello\nbegin 644 a.exe\n'34%,5T%210  \n`\nend\n"
              "more text\nbegin 0755 b.exe\n&4T5#3TY$\n`\nend\nbye"}));
    EXPECT_EQ(result.contents, (Contents{"MALWARE", "SECOND"}));
}

TEST_F(ReadingTest, BeginInsideALongLineIsTextWhereverTheLineIsCut) {
    // Decoded text reaches the scanner in blocks of 16 KiB: "begin" lands
    // just before, at and just after the cut.
    for (std::size_t length : {16383, 16384, 16385}) {
        const std::string text =
            std::string(length, 'x') + "begin 644 c.exe\n'34%,5T%210  \n`\nend\n";
        EXPECT_EQ(read(multipart("b", {"Content-Type: text/plain\n"
                                       "Content-Transfer-Encoding: quoted-printable\n\n" +
                                       text}))
                      .contents,
                  Contents{})
            << length;
    }
}

TEST_F(ReadingTest, YencBlocksAreDecodedAndMultiPartFilesJoinedInPartOrder) {
    const std::string binary = std::string("\0\n\r=\xd6\xff", 6) + "tail";
    const ReadResult result = read(multipart(
        "b", {"Content-Type: text/plain\n\n=ybegin line=128 size=10 name=one.bin\n" +
                  yencEncoded(binary) + "\n=yend size=10\n",
              "Content-Type: text/plain\n\n=ybegin part=2 total=2 line=128 size=6 name=two.bin\n"
              "=ypart begin=4 end=6\n" +
                  yencEncoded("DEF") + "\n=yend size=3 part=2\n",
              "Content-Type: text/plain\n\n=ybegin part=1 total=2 line=128 size=6 name=two.bin\n"
              "=ypart begin=1 end=3\n" +
                  yencEncoded("ABC") + "\n=yend size=3 part=1\n"}));
    EXPECT_EQ(result.contents, (Contents{binary, "ABCDEF"}));
}

// Structure: encapsulated messages, digests, fragments, external bodies.

TEST_F(ReadingTest, EncapsulatedMessagesAndDigestEntriesAreRead) {
    const ReadResult result = read(
        "Content-Type: multipart/digest; boundary=d\n\n"
        "--d\n\nContent-Type: application/x-a\n\nin-entry\n"
        "--d\nContent-Type: message/rfc822\n\nSubject: inner\n"
        "Content-Type: multipart/mixed; boundary=i\n\n--i\nContent-Type: application/x-b\n\n"
        "in-message\n--i--\n--d--\n");
    EXPECT_EQ(result.contents, (Contents{"in-entry", "in-message"}));
}

TEST_F(ReadingTest, PartialFragmentsAreJoinedInNumberOrder) {
    const std::string whole = "Content-Type: application/x-a\n\nMALWARE";
    auto fragment = [](int number, const std::string& body) {
        return "Content-Type: message/partial; id=\"p1\"; number=" + std::to_string(number) +
               "; total=3\n\n" + body;
    };
    const ReadResult result =
        read(multipart("b", {fragment(3, whole.substr(20)), fragment(1, whole.substr(0, 10)),
                             fragment(2, whole.substr(10, 10))}));
    EXPECT_EQ(result.contents, (Contents{"MALWARE"}));
    EXPECT_TRUE(result.hasSign("message/partial"));
}

TEST_F(ReadingTest, ExternalBodyIsReadAsAMessage) {
    const ReadResult result = read(
        "Content-Type: message/external-body; access-type=x-none\n\n"
        "Content-Type: application/x-a\n\nphantom");
    EXPECT_EQ(result.contents, (Contents{"phantom"}));
}

// What counts as an attachment, and nothing written twice.

TEST_F(ReadingTest, AttachmentRuleTakesNamedDispositionAndNonTextLeaves) {
    const ReadResult result = read(multipart(
        "b",
        {"Content-Type: text/plain\n\nbody text", "Content-Type: text/plain; name=n.txt\n\nnamed",
         "Content-Type: text/plain\nContent-Disposition: attachment\n\ndisposed",
         "Content-Type: text/plain\nContent-Disposition: inline; filename*=utf-8''f.txt\n\nfiled",
         "Content-Type: image/png\n\nimage",
         // A bounce's report is shown inline unless it is named.
         "Content-Type: message/delivery-status\n\nReporting-MTA: dns; mx\n",
         "Content-Type: message/delivery-status; name=d.txt\n\nnamed report"}));
    EXPECT_EQ(result.contents, (Contents{"named", "disposed", "filed", "image", "named report"}));
    EXPECT_EQ(result.names,
              (Contents{"msg-7-extra-0.scanme", "msg-7-extra-1.scanme", "msg-7-extra-2.scanme",
                        "msg-7-extra-3.scanme", "msg-7-extra-4.scanme"}));
}

TEST_F(ReadingTest, ExtraFilesAreNamedWithTheSignedMessageNumber) {
    const std::string path = (folder_ / "wrapped.eml").string();
    std::ofstream(path, std::ios::binary) << kAttachmentBase64;
    // Request 4294967295 arrives as -1, as in the first reading's names.
    const SecondReadingOutcome outcome = readSecondTime(path, folder_.string(), -1, {});
    ASSERT_EQ(outcome.extraFiles.size(), 1u);
    EXPECT_EQ(outcome.extraFiles[0], folder_.string() + "/msg--1-extra-0.scanme");
    EXPECT_EQ(slurp(outcome.extraFiles[0]), "MALWARE");
}

TEST_F(ReadingTest, CopiesOfKnownFilesAreNotWrittenAgain) {
    const std::string crlf =
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
        "--b\r\nContent-Type: application/x-a\r\n\r\nsame\r\n"
        "--b\r\nContent-Type: text/plain; name=s.txt\r\n\r\nline1\r\nline2\r\n"
        "--b\r\nContent-Type: application/x-c\r\nContent-Transfer-Encoding: 7bit\r\n\r\nx\r\ny\r\n"
        "--b\r\nContent-Type: application/x-d\r\nContent-Transfer-Encoding: 8bit\r\n\r\nx\r\ny\r\n"
        "--b\r\nContent-Type: application/x-e\r\n\r\nsame\r\n"
        "--b--\r\n";
    const ReadResult result = read(crlf, {"same", "line1\nline2", "x\ny"});
    // Only the 8bit part differs (in its line ends) and keeps its exact bytes.
    EXPECT_EQ(result.contents, (Contents{"x\r\ny"}));
}

// binaryBytes - size bytes of every value, from a fixed seed, ending in 'x'.
std::string binaryBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 12345;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    bytes.back() = 'x';
    return bytes;
}

TEST_F(ReadingTest, LargeAttachmentsAreComparedWithKnownFilesBeyondTheHeldBlock) {
    const std::string known = binaryBytes(3 * 1024 * 1024 + 17);
    std::string changed = known;
    changed[2 * 1024 * 1024 + 5] ^= 0x55;
    const std::string shorter = known.substr(0, 2 * 1024 * 1024 + 9) + "x";
    const std::string longer = known + "more";
    const auto message = [](const std::vector<std::string>& bodies) {
        std::vector<std::string> parts;
        for (const std::string& body : bodies)
            parts.push_back("Content-Type: application/x-a\nContent-Transfer-Encoding: binary\n\n" +
                            body);
        return multipart("bound-xyz", parts);
    };
    EXPECT_EQ(read(message({known}), {known}).contents, Contents{});
    EXPECT_EQ(read(message({changed, shorter, longer, known}), {known}).contents,
              (Contents{changed, shorter, longer}));
}

TEST_F(ReadingTest, LongTextDifferingOnlyInLineEndsIsNotKept) {
    // Longer than the held block: begun as a file, removed again at the end.
    std::string lf;
    while (lf.size() < 2 * 1024 * 1024)
        lf += "a line of an ordinary text attachment\n";
    lf += "end";
    std::string crlf;
    for (char c : lf)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::string body =
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
        "Content-Type: text/plain; name=big.txt\r\n\r\n" +
        crlf + "\r\n--b--\r\n";
    EXPECT_EQ(read(body, {lf}).contents, Contents{});
}

TEST_F(ReadingTest, LargeAttachmentWrittenUnhashedIsStillFoundToBeACopy) {
    // Its hashes are taken from its file only when a known file could be its
    // twin: its line-end twin, also when the output limit cuts its file
    // short, or a known file of its size that another one with the same
    // first block hid from the comparison.
    std::string lf;
    while (lf.size() < 2 * 1024 * 1024)
        lf += "a line of an ordinary text attachment\n";
    std::string crlf;
    for (char c : lf)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    ReadingBounds bounds = boundsForMessage(0);
    bounds.outputBytes = 3 * 1024 * 1024 / 2;
    const ReadResult cut =
        read(multipart("b", {"Content-Type: text/plain; name=big.txt\n\n" + crlf}), {lf}, &bounds);
    EXPECT_EQ(cut.contents, Contents{});
    EXPECT_TRUE(cut.hasSign("output limit"));
    const std::string known = binaryBytes(3 * 1024 * 1024 + 17);
    const std::string sameStart = known.substr(0, 2 * 1024 * 1024) + "x";
    const std::string binary = multipart(
        "b", {"Content-Type: application/x-a\nContent-Transfer-Encoding: binary\n\n" + known});
    EXPECT_EQ(read(binary, {sameStart, known}).contents, Contents{});
}

TEST_F(ReadingTest, OutputStopsAtTheLimitWithItsSign) {
    ReadingBounds bounds = boundsForMessage(0);
    bounds.outputBytes = 10;
    const ReadResult result = read(multipart("b", {"Content-Type: application/x-a\n\n12345678",
                                                   "Content-Type: application/x-b\n\nabcdefgh",
                                                   "Content-Type: application/x-c\n\nz"}),
                                   {}, &bounds);
    EXPECT_EQ(result.contents, (Contents{"12345678", "ab"}));
    EXPECT_TRUE(result.hasSign("output limit"));
}

}  // namespace
}  // namespace tarnwick::client_reading::test
