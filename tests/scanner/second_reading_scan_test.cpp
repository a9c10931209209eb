// SPDX-License-Identifier: Apache-2.0
// second_reading_scan_test.cpp - the second reading inside the scan job: its
// extra files are written before the second wait, counted in their own line,
// verified, waited for and cleaned up exactly like part files, and one that
// cannot be written counts like a part file that cannot be written.
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
              (Lines{"Unpacked 1 attachments", "Second reading found 1 more attachments",
                     "Waiting 0 seconds again", "Second-Level verification"}));
    EXPECT_EQ(during, (Lines{"msg-70-extra-0.scanme", "msg-70-part-0.scanme"}));
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
