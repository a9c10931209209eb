// SPDX-License-Identifier: Apache-2.0
// second_reading_scan_test.cpp - the second reading inside the scan job: its
// extra files are written before the second wait, counted in their own line,
// verified, waited for and cleaned up exactly like part files, and one that
// cannot be written counts like a part file that cannot be written.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/scanner/scan_fixture.h"

namespace tarnwick::testing {
namespace {

using Lines = std::vector<std::string>;

// A message whose one attachment the first reading writes, cut short at
// the base64 padding; the second reading goes on after it.
std::string paddedTwiceMessage() {
    return "From: a@example.org\n"
           "MIME-Version: 1.0\n"
           "Content-Type: multipart/mixed; boundary=\"XYZ\"\n"
           "\n"
           "--XYZ\n"
           "Content-Type: application/octet-stream; name=\"a.bin\"\n"
           "Content-Transfer-Encoding: base64\n"
           "\n"
           "Zmlyc3Q=\n"      // "first"
           "IGFuZCBtb3Jl\n"  // " and more"
           "--XYZ--\n";
}

// A message saved from a mailbox: the separator line hides its header, and
// so its attachment, from the first reading.
std::string behindAnMboxLineMessage() {
    return "From a@example.org Mon Jan  1 10:00:00 2024\n"
           "From: a@example.org\n"
           "Content-Type: application/octet-stream; name=\"x.bin\"\n"
           "Content-Transfer-Encoding: base64\n"
           "\n"
           "aGlkZGVuIGF0dGFjaG1lbnQK\n";  // "hidden attachment\n"
}

// secondLevelLines - the request's lines after "Unpacking attachments, if
// any", without the request prefix, up to the deferred clean-up.
Lines secondLevelLines(std::uint32_t requestId, const Lines& lines) {
    const std::string prefix = "* (" + std::to_string(requestId) + ") ";
    Lines texts;
    bool inside = false;
    for (const std::string& line : lines) {
        if (line.rfind(prefix, 0) != 0)
            continue;
        const std::string text = line.substr(prefix.size());
        if (inside)
            texts.push_back(text);
        if (text == "Unpacking attachments, if any")
            inside = true;
    }
    return texts;
}

TEST_F(ScanJobTest, ExtraFilesAreWrittenBeforeTheSecondWaitAndRemovedAfterIt) {
    Lines during;
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::SecondWait)
            during = scanMeEntries();
    });
    const FilterResult result = scan(70, writeMessage("m.eml", paddedTwiceMessage()));
    EXPECT_EQ(result.lines, verdict(false));
    EXPECT_EQ(secondLevelLines(70, takeLines()),
              (Lines{"Unpacked 1 attachments", "Second reading found 2 more attachments",
                     "Waiting 0 seconds again", "Second-Level verification"}));
    // Base64 going on after its padding, in step and out of step.
    EXPECT_EQ(during,
              (Lines{"msg-70-extra-0.scanme", "msg-70-extra-1.scanme", "msg-70-part-0.scanme"}));
    EXPECT_TRUE(scanMeEntries().empty());
}

TEST_F(ScanJobTest, SecondLevelRunsForExtraFilesWhenTheFirstReadingWroteNone) {
    std::string extra;
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::SecondWait) {
            std::ifstream in("ScanMe/msg-71-extra-0.scanme", std::ios::binary);
            extra.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    });
    const FilterResult result = scan(71, writeMessage("m.eml", behindAnMboxLineMessage()));
    EXPECT_EQ(result.lines, verdict(false));
    EXPECT_EQ(secondLevelLines(71, takeLines()),
              (Lines{"Unpacked 0 attachments", "Second reading found 1 more attachments",
                     "Waiting 0 seconds again", "Second-Level verification"}));
    EXPECT_EQ(extra, "hidden attachment\n");
    EXPECT_EQ(pauses(), (std::vector<ScanPause>{ScanPause::FirstWait, ScanPause::SecondWait}));
}

TEST_F(ScanJobTest, ExtraFileDeletedDuringTheSecondWaitIsAVirus) {
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::SecondWait)
            std::filesystem::remove("ScanMe/msg-72-extra-0.scanme");
    });
    const FilterResult result = scan(72, writeMessage("m.eml", paddedTwiceMessage()));
    EXPECT_EQ(result.lines, verdict(true));
    EXPECT_TRUE(scanMeEntries().empty());
}

TEST_F(ScanJobTest, ExtraFileLockedForeverGoesToTheDeferredCleanUp) {
    LockedFiles::lock("msg-73-extra-0", EACCES);
    const FilterResult result = scan(73, writeMessage("m.eml", paddedTwiceMessage()));
    EXPECT_EQ(result.lines, verdict(true));
    const Lines lines = secondLevelLines(73, takeLines());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2],
              "The AV kept the temp files locked, giving up waiting; files may remain in ScanMe "
              "folder. Will try to clean them later.");
    EXPECT_EQ(deferredRequests(), std::set<int>{73});
    EXPECT_EQ(scanMeEntries(), Lines{"msg-73-extra-0.scanme"});

    LockedFiles::unlock("msg-73-extra-0");
    scan(74, writeMessage("p.eml", plainMessage()));
    EXPECT_EQ(takeLines().back(), "* All temp files cleared");
    EXPECT_TRUE(deferredRequests().empty());
    EXPECT_TRUE(scanMeEntries().empty());
}

TEST_F(ScanJobTest, ExtraFileThatCannotBeWrittenIsAVirusWithoutSecondWait) {
    std::filesystem::create_directories("ScanMe/msg-75-extra-0.scanme");
    const FilterResult result = scan(75, writeMessage("m.eml", paddedTwiceMessage()));
    EXPECT_EQ(result.lines, verdict(true));
    EXPECT_EQ(secondLevelLines(75, takeLines()),
              (Lines{"Error while unpacking attachments, the AV probably prevented disk write "
                     "because of virus in data.",
                     "Could not write msg-75-extra-0.scanme: ERROR; treated as a virus",
                     "Virus found, skipping second-level verification but waiting a few seconds "
                     "for the files to be unlocked.",
                     "Trying to clean"}));
    EXPECT_EQ(pauses(), (std::vector<ScanPause>{ScanPause::FirstWait, ScanPause::FailurePause}));
    EXPECT_EQ(scanMeEntries(), Lines{"msg-75-extra-0.scanme"});  // the folder in the way
}

#ifndef _WIN32
// Writes fail with ENOSPC: a full disk is no virus, for extra files as for
// part files.
TEST_F(ScanJobTest, ExtraFileOnAFullDiskPostponesTheMessage) {
    FullDisk::fill("msg-76-extra-0.scanme");
    const FilterResult result = scan(76, writeMessage("m.eml", paddedTwiceMessage()));
    EXPECT_EQ(result.kind, FilterResult::Postpone);
    EXPECT_EQ(result.lines, Lines{"Not enough disk space to scan the message, try again later."});
    EXPECT_EQ(takeLines().back(),
              "* (76) No space left in ScanMe, the message will be tried again later");
    EXPECT_TRUE(scanMeEntries().empty());
}
#endif

TEST_F(ScanJobTest, TemporaryFileOfTheReadingStillHeldIsRemovedByALaterScan) {
    // A base64-encoded multipart: the second reading decodes it into a
    // temporary file, which the anti-virus here keeps open for a while.
    const std::string message =
        "Content-Type: multipart/mixed; boundary=\"XYZ\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n"
        "LS1YWVoKQ29udGVudC1UeXBlOiBhcHBsaWNhdGlvbi96aXAKClBLLWRhdGEKLS1YWVotLQo=\n";
    LockedFiles::lock("msg-78-reading-", EACCES);
    const FilterResult result = scan(78, writeMessage("m.eml", message));
    EXPECT_EQ(result.lines, verdict(false));
    const Lines during = scanMeEntries();
    ASSERT_EQ(during.size(), 1u);
    EXPECT_EQ(during.front().rfind("msg-78-reading-", 0), 0u) << during.front();

    LockedFiles::unlock("msg-78-reading-");
    scan(79, writeMessage("p.eml", twoAttachmentMessage()));
    EXPECT_TRUE(scanMeEntries().empty());
}

// An attachment nested deeper than the second reading follows: it stays
// unread, and the message is a virus unless the administrator said otherwise.
TEST_F(ScanJobTest, ReadingLimitWithPartsLeftUnreadIsAVirusUnlessToldClean) {
    std::string message;
    for (int level = 0; level < 1002; ++level)
        message += "Content-Type: message/rfc822\n\n";
    message += std::string("Content-Type: application/zip\n\n") + "PK-data\n";
    const std::string path = writeMessage("m.eml", message);
    EXPECT_EQ(scan(80, path).lines, verdict(true));
    const Lines lines = takeLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "* (80) The message hides more than Tarnwick may unpack (nesting depth); "
                        "treated as a virus"),
              lines.end());
    EXPECT_TRUE(scanMeEntries().empty());
    filter->limitsFailClosed = false;
    EXPECT_EQ(scan(81, path).lines, verdict(false));
}

#ifndef _WIN32
// Two base64-encoded multiparts, each decoded into a spill file; the
// anti-virus removes or changes the first while the second is created.
TEST_F(ScanJobTest, SpillFileTheAntiVirusActsOnIsAVirus) {
    const std::string encoded =
        "--OUT\n"
        "Content-Type: multipart/mixed; boundary=\"XYZ\"\n"
        "Content-Transfer-Encoding: base64\n"
        "\n"
        "LS1YWVoKQ29udGVudC1UeXBlOiBhcHBsaWNhdGlvbi96aXAKClBLLWRhdGEKLS1YWVotLQo=\n";
    const std::string message =
        "Content-Type: multipart/mixed; boundary=\"OUT\"\n\n" + encoded + encoded + "--OUT--\n";
    for (const bool removed : {true, false}) {
        const std::uint32_t requestId = removed ? 82 : 83;
        const std::string first = "ScanMe/msg-" + std::to_string(requestId) + "-reading-0.tmp";
        FullDisk::onCreate([&](const std::string& created) {
            if (created.find("-reading-1.tmp") == std::string::npos)
                return;
            if (removed)
                std::filesystem::remove(first);
            else
                std::ofstream(first, std::ios::app) << "cleaned";
        });
        EXPECT_EQ(scan(requestId, writeMessage("m.eml", message)).lines, verdict(true)) << removed;
        const Lines lines = secondLevelLines(requestId, takeLines());
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            "A temporary file of the second reading disappeared or changed before "
                            "it was read back, the AV probably acted on it because of virus in "
                            "data."),
                  lines.end());
        EXPECT_TRUE(scanMeEntries().empty());
    }
}
#endif

TEST_F(ScanJobTest, SecondReadingTurnedOffLeavesTheMessageToTheFirstReading) {
    filter->secondReading = false;
    const FilterResult result = scan(76, writeMessage("m.eml", behindAnMboxLineMessage()));
    EXPECT_EQ(result.lines, verdict(false));
    EXPECT_EQ(secondLevelLines(76, takeLines()),
              Lines{"Nothing unpacked, skipping second-level verification"});
    EXPECT_EQ(pauses(), std::vector<ScanPause>{ScanPause::FirstWait});
}

TEST_F(ScanJobTest, SignsOfEvasionAreReportedInOneLine) {
    const std::string message =
        "Content-Type: multipart/mixed; boundary=\"XYZ\"\n"
        "Content-Type: multipart/mixed; boundary=\"XYZ\"; boundary=\"XYZ\"\n"
        "\n"
        "--XYZ\n"
        "Content-Type: application/octet-stream\n"
        "\n"
        "data\n"
        "--XYZ--\n";
    scan(77, writeMessage("m.eml", message));
    const Lines lines = secondLevelLines(77, takeLines());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Unusual MIME structure: duplicate field, duplicate parameter");
}

}  // namespace
}  // namespace tarnwick::testing
