// SPDX-License-Identifier: Apache-2.0
// ordinary_mail_test.cpp - on ordinary mail the second reading adds nothing:
// the first reading (unpacker/) unpacks the message, then the second reading
// runs with its files and must write no extra file and see no sign.
#include <gtest/gtest.h>

#include "tests/client_reading/reading_fixture.h"
#include "unpacker/message_input.h"
#include "unpacker/unpacker.h"

namespace tarnwick::client_reading::test {
namespace {

class OrdinaryMailTest : public ReadingTest {
  protected:
    // bothReadings - the first reading's file count and the second's result.
    std::pair<int, SecondReadingOutcome> bothReadings(const std::string& message) {
        const std::string path = (folder_ / "ordinary.eml").string();
        {
            std::ofstream out(path, std::ios::binary);
            out << message;
        }
        const int parts = unpacker::unpackMessage(unpacker::openMessageForUnpacking(path),
                                                  kMessageNumber, folder_.string());
        const SecondReadingOutcome outcome = readSecondTime(
            path, folder_.string(), kMessageNumber, unpacker::registeredPartFiles(kMessageNumber));
        unpacker::removePartFiles(kMessageNumber);
        return {parts, outcome};
    }
};

std::string withCrLf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

const char* const kOrdinaryMessages[] = {
    // A client's usual layout: alternative bodies, a signature-like 7bit
    // text attachment and a base64 file.
    "From: a@example.com\nTo: b@example.com\nSubject: report\nMIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"----=_Part_1\"\n\n"
    "This is a multi-part message in MIME format.\n"
    "------=_Part_1\nContent-Type: multipart/alternative; boundary=\"alt-2\"\n\n"
    "--alt-2\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 7bit\n\n"
    "Hello,\nsee attached.\n\n"
    "--alt-2\nContent-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: "
    "quoted-printable\n\n"
    "<p>Hello,<br>see attached=2E</p>\n--alt-2--\n\n"
    "------=_Part_1\nContent-Type: text/plain; name=\"notes.txt\"\n"
    "Content-Disposition: attachment; filename=\"notes.txt\"\n\nline one\nline two\n\n"
    "------=_Part_1\nContent-Type: application/pdf; name=\"r.pdf\"\n"
    "Content-Transfer-Encoding: base64\nContent-Disposition: attachment; filename=\"r.pdf\"\n\n"
    "JVBERi0xLjQKJcfsj6IKNSAwIG9iago8PC9MZW5ndGggNiAwIFI+PgpzdHJlYW0K\n"
    "eJwr5HIK4TI2U7AwMFAw0zMxNVYwNzVTyOXyCuEK5AIAd7oGzQplbmRzdHJlYW0K\n\n"
    "------=_Part_1--\n",
    // A forwarded message with its own attachment.
    "Subject: fwd\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=outer\n\n"
    "--outer\nContent-Type: text/plain\n\nSee below.\n"
    "--outer\nContent-Type: message/rfc822\n\nSubject: original\nMIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=inner\n\n--inner\nContent-Type: text/plain\n\nhi\n"
    "--inner\nContent-Type: image/png; name=a.png\nContent-Transfer-Encoding: base64\n\n"
    "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+"
    "M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==\n"
    "--inner--\n--outer--\n",
    // A plain text message.
    "Subject: hello\n\nJust text.\n",
};

TEST_F(OrdinaryMailTest, OrdinaryMailGivesNoExtraFileAndNoSign) {
    const int expectedParts[] = {2, 1, 0};
    for (std::size_t index = 0; index < std::size(kOrdinaryMessages); ++index) {
        const char* message = kOrdinaryMessages[index];
        for (const std::string& text : {std::string(message), withCrLf(message)}) {
            const auto [parts, outcome] = bothReadings(text);
            // The first reading wrote the attachments: the second adds none.
            EXPECT_EQ(parts, expectedParts[index]) << text.substr(0, 60);
            EXPECT_TRUE(outcome.extraFiles.empty()) << text.substr(0, 60);
            EXPECT_TRUE(outcome.signs.empty()) << text.substr(0, 60);
            EXPECT_FALSE(outcome.writeFailed);
        }
    }
}

// A part read alike by both readings is confirmed from the first reading's
// account without being decoded: its file, replaced by other bytes of the
// same size, is then not compared, while a part the readings read apart is
// decoded and shows the difference as an extra file.
TEST_F(OrdinaryMailTest, AgreeingPartsAreNotDecodedAgain) {
    const std::string head =
        "Subject: t\nContent-Type: multipart/mixed; boundary=b\n\n--b\n"
        "Content-Type: application/octet-stream; name=f\nContent-Transfer-Encoding: ";
    std::string lines;  // long enough for every width of the check
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 19; ++j)
            lines += "QUFB";
        lines += "\n";
    }
    const struct {
        std::string rest;
        bool crLf;
        std::size_t agreed;
        std::size_t otherDecoders = 0;  // readings of decoders that part ways
    } kCases[] = {
        {"base64\n\n" + lines + "--b--\n", false, 1},
        {"base64\n\n" + lines + "--b--\n", true, 1},
        {"base64\n\naGVsbG8gd29y\nbGQ=\n--b--\n", false, 1},
        {"base64\n\naGVsbG8gd29y\nbGQ=\n--b--\n", true, 1},
        {"base64\n\naGVsbG8g!d29y\nbGQ=\n--b--\n", false, 0},   // a stray byte
        {"base64\n\naGVsbG8gd29y\nbGQ\n--b--\n", false, 0, 1},  // no padding
        {"quoted-printable\n\na=3Db =\nc\n--b--\n", true, 1},
        {"quoted-printable\n\na=3Db =\nc\nd\n--b--\n", false, 1},
        {"quoted-printable\n\na=3Db =\nc\nd\n--b--\n", true, 0},  // CR LF in a file
        {"quoted-printable\n\na=0Db\n--b--\n", false, 0},         // read apart
        {"8bit\n\nline\n--bx\nmore\n--b--\n", false, 0},          // ends apart
        {"8bit\n\nline one\nline two\n--b--\n", false, 1},
    };
    for (const auto& row : kCases) {
        const std::string message = row.crLf ? withCrLf(head + row.rest) : head + row.rest;
        const std::string path = (folder_ / "ordinary.eml").string();
        std::ofstream(path, std::ios::binary) << message;
        unpacker::unpackMessage(unpacker::openMessageForUnpacking(path), kMessageNumber,
                                folder_.string());
        WrittenParts parts = unpacker::firstReadingParts(kMessageNumber);
        ASSERT_EQ(parts.size(), 1u) << message;
        std::ofstream(parts.path(parts[0]), std::ios::binary) << std::string(parts[0].size, '~');
        const SecondReadingOutcome outcome =
            readSecondTimeAfterFirst(path, folder_.string(), kMessageNumber, parts);
        EXPECT_EQ(outcome.agreedLeaves, row.agreed) << message;
        EXPECT_EQ(outcome.extraFiles.size(), 1 - row.agreed + row.otherDecoders) << message;
        for (const std::string& extra : outcome.extraFiles)
            std::filesystem::remove(extra);
        unpacker::removePartFiles(kMessageNumber);
    }
}

// An agreeing text attachment is not decoded for the scanner of embedded
// blocks while no line of it can open one; a block further on is still
// found, and the scanner then reads the part from its first byte (a line
// beginning with "-" cuts what is fed at once: the last row's escaped line
// ends inside a long line would open a block if the scanner began there).
TEST_F(OrdinaryMailTest, BlocksInAgreeingTextAttachmentsAreStillFound) {
    const std::string block = "begin 644 a.exe\n'34%,5T%210``\n`\nend\n";
    const struct {
        const char* encoding;
        std::string body;
        bool found;
    } kCases[] = {
        {"quoted-printable", "first line\n-- note\n" + block, true},
        {"quoted-printable", "first line\n-- note\n=62" + block.substr(1), true},
        {"quoted-printable", block, true},
        {"8bit", "first line\n-- note\n" + block, true},
        {"quoted-printable",
         "first line\n-- note\n=3Dybegin line=3D128 size=3D7 name=3Da.exe\nwkv=81k|o\n"
         "=3Dyend size=3D7\n",
         true},
        {"quoted-printable",
         "-" + std::string(4095, 'x') + "begin 644 a.exe=0A'34%,5T%210``=0A`=0Aend=0A\n", false},
    };
    for (const auto& row : kCases) {
        const std::string path = (folder_ / "ordinary.eml").string();
        std::ofstream(path, std::ios::binary) << withCrLf(
            "Subject: t\nContent-Type: multipart/mixed; boundary=b\n\n--b\n"
            "Content-Type: text/plain; name=t.txt\nContent-Transfer-Encoding: " +
            std::string(row.encoding) + "\n\n" + row.body + "--b--\n");
        unpacker::unpackMessage(unpacker::openMessageForUnpacking(path), kMessageNumber,
                                folder_.string());
        const SecondReadingOutcome outcome = readSecondTimeAfterFirst(
            path, folder_.string(), kMessageNumber, unpacker::firstReadingParts(kMessageNumber));
        EXPECT_EQ(outcome.agreedLeaves, 1u) << row.body;
        ASSERT_EQ(outcome.extraFiles.size(), row.found ? 1u : 0u) << row.body;
        for (const std::string& extra : outcome.extraFiles) {
            EXPECT_EQ(slurp(extra), "MALWARE") << row.body;
            std::filesystem::remove(extra);
        }
        unpacker::removePartFiles(kMessageNumber);
    }
}

}  // namespace
}  // namespace tarnwick::client_reading::test

namespace tarnwick::client_reading::test {
namespace {

// A uuencoded block of a plain body that the first reading wrote is
// confirmed by its lines' shape, not decoded: its file, replaced by other
// bytes of the same size, is then not compared. A block of any other shape
// is decoded and shows the difference as an extra file of its bytes.
TEST_F(OrdinaryMailTest, UuencodedBlocksTheFirstReadingWroteAreConfirmed) {
    // 100 bytes (0..99): two full lines and a short one.
    const std::string full1 = "M``$\"`P0%!@<(\"0H+#`T.#Q`1$A,4%187&!D:&QP='A\\@(2(C)\"4F)R@I*BLL\n";
    const std::string full2 = "M+2XO,#$R,S0U-C<X.3H[/#T^/T!!0D-$149'2$E*2TQ-3D]045)35%565UA9\n";
    const std::string lines = full1 + full2 + "*6EM<75Y?8&%B8P``\n";
    std::string hundred;
    for (int i = 0; i < 100; ++i)
        hundred += static_cast<char>(i);
    const struct {
        std::string block;
        bool crLf;
        std::size_t extra;  // of the 100 bytes, unless the block is cut
    } kCases[] = {
        {lines + "`\nend\n", false, 0},
        {lines + "`\nend\n", true, 0},
        {lines + " \nend\n", true, 0},
        {lines + "`\nend \n", false, 1},                             // "end" with a blank
        {full1 + full2 + "*6EM<75Y?8&%B8P``X\n`\nend\n", false, 1},  // a padded line
        {"M" + full1.substr(2) + full2 + "`\nend\n", true, 1},       // a cut full line
        // A second block is decoded: the first reading wrote none of it.
        {lines + "`\nend\nbegin 644 b\n" + lines + "`\nend\n", false, 1},
    };
    for (const auto& row : kCases) {
        const std::string text =
            "Subject: t\nContent-Type: text/plain\n\nFiles:\nbegin 644 a.bin\n" + row.block +
            "Bye.\n";
        const std::string path = (folder_ / "ordinary.eml").string();
        std::ofstream(path, std::ios::binary) << (row.crLf ? withCrLf(text) : text);
        unpacker::unpackMessage(unpacker::openMessageForUnpacking(path), kMessageNumber,
                                folder_.string());
        WrittenParts parts = unpacker::firstReadingParts(kMessageNumber);
        ASSERT_EQ(parts.size(), 1u) << text;
        std::ofstream(parts.path(parts[0]), std::ios::binary) << std::string(parts[0].size, '~');
        const SecondReadingOutcome outcome =
            readSecondTimeAfterFirst(path, folder_.string(), kMessageNumber, parts);
        ASSERT_EQ(outcome.extraFiles.size(), row.extra) << text;
        for (const std::string& extra : outcome.extraFiles) {
            if (row.block[2] != '$') {
                EXPECT_EQ(slurp(extra), hundred) << text;
            }
            std::filesystem::remove(extra);
        }
        unpacker::removePartFiles(kMessageNumber);
    }
}

}  // namespace
}  // namespace tarnwick::client_reading::test
