// SPDX-License-Identifier: Apache-2.0
// second_reading_test.cpp - the second, tolerant reading end to end.
//
// Ordinary mail must come out exactly as with the first reading alone: the
// same lines, byte for byte, and no extra file. A message that only a mail
// client opens fully (an mbox separator line that hides its header from the
// first reading; base64 that goes on after its padding) is shown to the
// anti-virus through extra files, which the scan job counts, waits for and
// verifies like part files: removed by the stand-in anti-virus, they make
// the verdict Virus Found. --no-second-reading leaves such a message to the
// first reading.
#include <gtest/gtest.h>

#include "session.h"
#include "stand_in_av.h"

namespace tarnwick::e2e {
namespace {

using Lines = std::vector<std::string>;

// The attachment the mbox separator line hides from the first reading.
const char kHiddenAttachment[] = "EVASIVE-MARKER: an attachment only a mail client opens.\n";

// scan - runs the sample as request id in the session and returns
// its lines from "Thread processing started" to "Thread processing done".
Lines scan(TarnwickSession& session, const std::string& sample, const std::string& id) {
    const std::string path = session.copySample(sample);
    session.startAndInitialise();
    session.send(id + " FILE " + path);
    return session.readThrough(jobLine(id, "Thread processing done"));
}

// between - the lines after the one equal to first, up to but without the
// one equal to last.
Lines between(const Lines& lines, const std::string& first, const std::string& last) {
    Lines part;
    bool inside = false;
    for (const std::string& line : lines) {
        if (line == last)
            break;
        if (inside)
            part.push_back(line);
        if (line == first)
            inside = true;
    }
    return part;
}

// secondLevel - the lines of the second level of request id.
Lines secondLevel(const Lines& lines, const std::string& id) {
    return between(lines, jobLine(id, "Unpacking attachments, if any"),
                   "* Adding Header(s) to message");
}

TEST(SecondReadingTest, OrdinaryMailGivesTheFirstReadingsLinesByteForByte) {
    for (const char* sample : {"plain.eml", "uuencoded.eml", "envelope.eml"}) {
        SCOPED_TRACE(sample);
        TarnwickSession both({"0"});
        TarnwickSession firstOnly({"0", "--no-second-reading"});
        const Lines withSecond = scan(both, sample, "31");
        EXPECT_EQ(withSecond, scan(firstOnly, sample, "31"));
        EXPECT_FALSE(withSecond.empty());
        EXPECT_EQ(both.scanMeFiles(), Lines{});
    }
}

// Text parts stored with CR LF give no extra file; an unencoded non-text
// part is offered by clients with its CR LF as stored, which differs from
// the first reading's LF file, so those bytes are shown too.
TEST(SecondReadingTest, WindowsLineEndsOfTextPartsGiveNoExtraFileButThoseOfAProgramPartDo) {
    TarnwickSession session({"1"});
    StandInAv av(session.scanMe(), {{R"((mail|msg)-.*\.scanme)", "", AvAction::Capture}});
    const Lines lines = scan(session, "windows_line_ends.eml", "32");
    EXPECT_EQ(av.seen(), (std::set<std::string>{"mail-32-msg.scanme", "msg-32-part-0.scanme",
                                                "msg-32-part-1.scanme", "msg-32-extra-0.scanme"}));
    EXPECT_EQ(av.captured().at("msg-32-extra-0.scanme"),
              "A 7bit stand-in for a signature,\r\ntwo lines long.");
    EXPECT_EQ(secondLevel(lines, "32"),
              (Lines{jobLine("32", "Unpacked 2 attachments"),
                     jobLine("32", "Second reading found 1 more attachments"),
                     jobLine("32", "Waiting 1 seconds again"),
                     jobLine("32", "Second-Level verification")}));
}

TEST(SecondReadingTest, AttachmentBehindAnMboxLineIsShownAsAnExtraFile) {
    TarnwickSession session({"1"});
    StandInAv av(session.scanMe(), {{R"(msg-.*\.scanme)", "", AvAction::Capture}});
    const Lines lines = scan(session, "mbox_separator.eml", "33");
    // The first reading loses the header to the separator line and writes
    // nothing; the second level still runs for the extra file.
    EXPECT_EQ(secondLevel(lines, "33"),
              (Lines{jobLine("33", "Unpacked 0 attachments"),
                     jobLine("33", "Second reading found 1 more attachments"),
                     jobLine("33", "Waiting 1 seconds again"),
                     jobLine("33", "Second-Level verification")}));
    EXPECT_EQ(av.captured(),
              (std::map<std::string, std::string>{{"msg-33-extra-0.scanme", kHiddenAttachment}}));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], verdictAnswer("33", false));
    EXPECT_EQ(session.scanMeFiles(), Lines{});
}

TEST(SecondReadingTest, ExtraFileRemovedByTheAntiVirusIsAVirus) {
    TarnwickSession session({"1"});
    StandInAv av(session.scanMe(), {{R"(msg-34-extra-0\.scanme)", "EVASIVE", AvAction::Delete}});
    const Lines lines = scan(session, "mbox_separator.eml", "34");
    EXPECT_EQ(av.acted(), std::set<std::string>{"msg-34-extra-0.scanme"});
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], verdictAnswer("34", true));
    EXPECT_EQ(session.scanMeFiles(), Lines{});
}

TEST(SecondReadingTest, BaseSixtyFourAfterItsPaddingAddsAnExtraFileBesideThePartFile) {
    TarnwickSession session({"1"});
    StandInAv av(session.scanMe(), {{R"(msg-35-extra-0\.scanme)", "EVASIVE", AvAction::Delete}});
    const Lines lines = scan(session, "base64_after_padding.eml", "35");
    EXPECT_EQ(
        secondLevel(lines, "35"),
        (Lines{jobLine("35", "Unusual MIME structure: duplicate parameter"),
               jobLine("35", "Unpacked 1 attachments"),
               // In step and, as decoders that skip every "=" read it, out of step.
               jobLine("35", "Second reading found 2 more attachments"),
               jobLine("35", "Waiting 1 seconds again"), jobLine("35", "Second-Level verification"),
               jobLine("35",
                       "The anti-virus removed attachment 2: report.pdf "
                       "(application/pdf, 80 bytes, second reading, msg-35-extra-0.scanme)")}));
    EXPECT_EQ(av.acted(), std::set<std::string>{"msg-35-extra-0.scanme"});
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], verdictAnswer("35", true));
}

TEST(SecondReadingTest, QuotedPrintableReadTheRfcWayAddsAnExtraFileBesideThePartFiles) {
    TarnwickSession session({"1"});
    StandInAv av(session.scanMe(), {{R"(msg-.*\.scanme)", "", AvAction::Capture}});
    const Lines lines = scan(session, "attachments.eml", "37");
    // The first reading drops the encoded CR and keeps the trailing blanks;
    // the second keeps the CR and deletes trailing blanks as RFC 2045 asks.
    EXPECT_EQ(av.captured()["msg-37-extra-0.scanme"],
              "caf\xe9 a=b softbreak\nline\r\nnext\ntrailing blanks");
    EXPECT_EQ(av.captured().size(), 3u);
    EXPECT_EQ(secondLevel(lines, "37"),
              (Lines{jobLine("37", "Unpacked 2 attachments"),
                     jobLine("37", "Second reading found 1 more attachments"),
                     jobLine("37", "Waiting 1 seconds again"),
                     jobLine("37", "Second-Level verification")}));
}

TEST(SecondReadingTest, NoSecondReadingOptionLeavesTheMessageToTheFirstReading) {
    TarnwickSession session({"0", "--no-second-reading"});
    const Lines lines = scan(session, "mbox_separator.eml", "36");
    EXPECT_EQ(secondLevel(lines, "36"),
              Lines{jobLine("36", "Nothing unpacked, skipping second-level verification")});
    EXPECT_EQ(session.scanMeFiles(), Lines{});
}

}  // namespace
}  // namespace tarnwick::e2e
