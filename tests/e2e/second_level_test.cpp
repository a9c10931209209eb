// SPDX-License-Identifier: Apache-2.0
// second_level_test.cpp - what the resident anti-virus gets to see, end to end.
//
// The stand-in anti-virus captures every ".scanme" file while it exists (the
// job waits one second at each level), so the tests compare the copy with the
// message after its envelope, and each part file with what its attachment
// decodes to: base64, quoted-printable, a uuencoded block of a plain body, and
// a single-part message behind an envelope block. These are the first
// reading's files: the filter runs with --no-second-reading here, and
// second_reading_test.cpp covers what the second reading adds.
#include <gtest/gtest.h>

#include "session.h"
#include "stand_in_av.h"

namespace tarnwick::e2e {
namespace {

using Captures = std::map<std::string, std::string>;

// scanAndCapture - runs request id over the sample with a wait of 1 second
// and returns what the stand-in captured; lines receives the answer group.
Captures scanAndCapture(const std::string& sample, const std::string& id,
                        std::vector<std::string>& lines) {
    TarnwickSession session({"1", "--no-second-reading"});
    StandInAv av(session.scanMe(), {{R"((mail|msg)-.*\.scanme)", "", AvAction::Capture}});
    std::string path = session.copySample(sample);
    session.startAndInitialise();
    session.send(id + " FILE " + path);
    lines = session.readThrough(jobLine(id, "Thread processing done"));
    EXPECT_EQ(session.scanMeFiles(), std::vector<std::string>{});
    return av.captured();
}

// unpackedLine - the count line among lines, or empty.
std::string unpackedLine(const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
        if (line.find(") Unpacked ") != std::string::npos) {
            return line;
        }
    }
    return "";
}

TEST(SecondLevelContentTest, Base64AndQuotedPrintableAttachmentsAreWrittenDecoded) {
    std::vector<std::string> lines;
    Captures files = scanAndCapture("attachments.eml", "21", lines);

    std::string table;
    for (int byte = 0; byte < 256; ++byte) {
        table += static_cast<char>(byte);
    }
    table += "Tarnwick base64 attachment\r\n";
    Captures expected = {
        {"mail-21-msg.scanme", readFile(sampleMessage("attachments.eml"))},
        {"msg-21-part-0.scanme", table},
        // =E9 decoded, =3D an equals sign, the soft break joined, the encoded
        // CR dropped, trailing blanks kept, the newline before the boundary not.
        {"msg-21-part-1.scanme", "caf\xe9 a=b softbreak\nline\nnext\ntrailing blanks  "},
    };
    EXPECT_EQ(files, expected);
    EXPECT_EQ(unpackedLine(lines), jobLine("21", "Unpacked 2 attachments"));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], verdictAnswer("21", false));
}

TEST(SecondLevelContentTest, UuencodedBlockOfAPlainBodyIsWrittenDecoded) {
    std::vector<std::string> lines;
    Captures files = scanAndCapture("uuencoded.eml", "22", lines);
    EXPECT_EQ(files["msg-22-part-0.scanme"],
              "The uuencoded attachment of a plain text message, sixty bytes or more of it.\n");
    EXPECT_EQ(files.size(), 2u);  // the copy and the one part file
    EXPECT_EQ(unpackedLine(lines), jobLine("22", "Unpacked 1 attachments"));
}

TEST(SecondLevelContentTest, EnvelopeIsLeftOutOfTheCopyAndTheSinglePartIsUnpacked) {
    std::vector<std::string> lines;
    Captures files = scanAndCapture("envelope.eml", "23", lines);
    std::string message = readFile(sampleMessage("envelope.eml"));
    std::string afterEnvelope = message.substr(message.find("\n\n") + 2);
    EXPECT_EQ(files["mail-23-msg.scanme"], afterEnvelope);
    EXPECT_EQ(files["msg-23-part-0.scanme"], "%PDF-1.4 stand-in document\n");
    EXPECT_EQ(files.size(), 2u);
    EXPECT_EQ(unpackedLine(lines), jobLine("23", "Unpacked 1 attachments"));
}

}  // namespace
}  // namespace tarnwick::e2e
