// SPDX-License-Identifier: Apache-2.0
// ordinary_mail_test.cpp - on ordinary mail the second reading adds nothing:
// the first reading (mime/) unpacks the message, then the second reading
// runs with its files and must write no extra file and see no sign.
#include <gtest/gtest.h>

#include "mime/message_input.h"
#include "mime/unpacker.h"
#include "tests/reading/reading_fixture.h"

namespace tarnwick::reading::test {
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
        const int parts = mime::unpackMessage(mime::openMessageForUnpacking(path), kMessageNumber,
                                              folder_.string());
        const SecondReadingOutcome outcome = readSecondTime(
            path, folder_.string(), kMessageNumber, mime::registeredPartFiles(kMessageNumber));
        mime::removePartFiles(kMessageNumber);
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

}  // namespace
}  // namespace tarnwick::reading::test
