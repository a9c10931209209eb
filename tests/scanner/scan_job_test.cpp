// SPDX-License-Identifier: Apache-2.0
// scan_job_test.cpp - the scan job up to its first-level verdict: set-up
// failures, the copy, the first wait and what the anti-virus did to the copy.
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/scanner/scan_fixture.h"

namespace tarnwick::testing {
namespace {

using Lines = std::vector<std::string>;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// setTimeBack - the copy's modification time set back to a whole second, as
// utime() from an indexer or a backup tool leaves it.
void setTimeBack(const std::string& copy) {
    namespace fs = std::filesystem;
    const auto time = fs::last_write_time(copy);
    fs::last_write_time(copy,
                        std::chrono::floor<std::chrono::seconds>(time) - std::chrono::seconds(1));
}

TEST_F(ScanJobTest, MissingMessageIsAcceptedUnchangedWithoutAnyWait) {
    const FilterResult result = scan(3, "no-such-message.eml");
    EXPECT_EQ(result.kind, FilterResult::Ok);
    EXPECT_TRUE(result.lines.empty());
    EXPECT_EQ(takeLines(), Lines{"* Unexpected error, contact Quillmark"});
    EXPECT_TRUE(pauses().empty());
}

TEST_F(ScanJobTest, ScanMeThatIsAPlainFileIsReportedAndTheMessageAccepted) {
    std::ofstream("ScanMe") << "not a folder";
    const FilterResult result = scan(4, writeMessage("m.eml", plainMessage()));
    EXPECT_EQ(result.kind, FilterResult::Ok);
    EXPECT_EQ(takeLines(), Lines{"* Unable to create temp dir (./ScanMe), please verify rights."});
    EXPECT_TRUE(pauses().empty());
}

TEST_F(ScanJobTest, MissingScanMeIsCreatedByTheJob) {
    const FilterResult result = scan(5, writeMessage("m.eml", plainMessage()));
    EXPECT_EQ(result.lines, verdict(false));
    EXPECT_TRUE(std::filesystem::is_directory("ScanMe"));
}

TEST_F(ScanJobTest, CopyThatCannotBeCreatedIsReportedByItsName) {
    std::filesystem::create_directories("ScanMe/mail-6-msg.scanme");
    const FilterResult result = scan(6, writeMessage("m.eml", plainMessage()));
    EXPECT_EQ(result.kind, FilterResult::Ok);
    EXPECT_EQ(takeLines(),
              (Lines{"* Unable to create temp file (./ScanMe/mail-6-msg.scanme), please verify "
                     "rights.",
                     "* (6) The name ./ScanMe/mail-6-msg.scanme is taken by a file Tarnwick did "
                     "not make; it is left alone"}));
}

TEST_F(ScanJobTest, CopyHoldsTheMessageWithoutItsEnvelopeDuringTheFirstWait) {
    const std::string envelope = "X y envelope line\nF from@example.org\n\n";
    const std::string path = writeMessage("m.eml", envelope + plainMessage());
    std::string seen;
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::FirstWait)
            seen = readFile("ScanMe/mail-7-msg.scanme");
    });
    scan(7, path);
    EXPECT_EQ(seen, plainMessage());
    EXPECT_TRUE(scanMeEntries().empty());
}

TEST_F(ScanJobTest, IntactCopyPassesTheFirstLevel) {
    const FilterResult result = scan(8, writeMessage("m.eml", plainMessage()));
    EXPECT_EQ(result.kind, FilterResult::AddHeader);
    EXPECT_EQ(result.lines, verdict(false));
    EXPECT_EQ(takeLines(),
              (Lines{"* (8) Copying file to be scanned", "* (8) Copy done (0 kbytes)",
                     "* (8) Waiting 0 seconds", "* (8) First-Level verification",
                     "* (8) First-Level verification passed", "* (8) Unpacking attachments, if any",
                     "* (8) Nothing unpacked, skipping second-level verification"}));
    EXPECT_TRUE(scanMeEntries().empty());
}

// What the anti-virus does to the copy during the first wait.
struct CopyTreatment {
    const char* name;
    std::function<void(const std::string&)> act;
    const char* said;  // what the anti-virus did, in the line that says so
};

TEST_F(ScanJobTest, CopyDeletedOrChangedDuringTheFirstWaitIsAVirus) {
    const CopyTreatment treatments[] = {
        {"deleted", [](const std::string& copy) { std::filesystem::remove(copy); }, "removed"},
        {"truncated", [](const std::string& copy) { std::filesystem::resize_file(copy, 3); },
         "changed"},
        {"emptied", [](const std::string& copy) { std::ofstream(copy, std::ios::trunc); },
         "changed"},
        {"grown", [](const std::string& copy) { std::ofstream(copy, std::ios::app) << "x"; },
         "changed"},
        {"rewritten to the same size, time set back",
         [](const std::string& copy) {
             std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
             const char first = static_cast<char>(file.get());
             file.seekp(0);
             file.put(static_cast<char>(first ^ 1));
             file.close();
             setTimeBack(copy);
         },
         "changed"},
    };
    std::uint32_t requestId = 20;
    for (const CopyTreatment& treatment : treatments) {
        SCOPED_TRACE(treatment.name);
        const std::string id = std::to_string(++requestId);
        onPause([&](std::uint32_t, ScanPause reason) {
            if (reason == ScanPause::FirstWait)
                treatment.act("ScanMe/mail-" + id + "-msg.scanme");
        });
        const FilterResult result = scan(requestId, writeMessage("m.eml", plainMessage()));
        EXPECT_EQ(result.lines, verdict(true));
        EXPECT_EQ(
            takeLines(),
            (Lines{"* (" + id + ") Copying file to be scanned",
                   "* (" + id + ") Copy done (0 kbytes)", "* (" + id + ") Waiting 0 seconds",
                   "* (" + id + ") First-Level verification",
                   "* (" + id + ") The anti-virus " + treatment.said + " the copy of the message",
                   "* (" + id +
                       ") First-Level verification failed, virus found, skipping "
                       "second-level verification"}));
        EXPECT_TRUE(scanMeEntries().empty());
    }
}

TEST_F(ScanJobTest, FilesWhoseTimeStampAloneWasSetBackAreNoVirus) {
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::FirstWait)
            setTimeBack("ScanMe/mail-30-msg.scanme");
        if (reason == ScanPause::SecondWait)
            for (const char* part : {"ScanMe/msg-30-part-0.scanme", "ScanMe/msg-30-part-1.scanme"})
                setTimeBack(part);
    });
    // The copy not a whole number of any block size: written and read back in other pieces.
    const std::string message = twoAttachmentMessage() + std::string(70001, 'a');
    EXPECT_EQ(scan(30, writeMessage("m.eml", message)).lines, verdict(false));
    EXPECT_TRUE(scanMeEntries().empty());
}

TEST_F(ScanJobTest, CopyDoneLineAndWaitFollowTheCopiedSize) {
    filter->waitSeconds = 1;
    // 1 MiB: 1024 kbytes and 10 blocks of 100 KiB, so the wait is (1 + 5) / 2 = 3.
    const std::string body(1024 * 1024 - plainMessage().size(), 'a');
    scan(9, writeMessage("big.eml", plainMessage() + body));
    const Lines lines = takeLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "* (9) Copy done (1024 kbytes)");
    EXPECT_EQ(lines[2], "* (9) Waiting 3 seconds");
}

TEST_F(ScanJobTest, RequestNumberAbove2To31IsWrittenUnsignedInLinesAndTheCopyName) {
    bool copySeen = false;
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::FirstWait)
            copySeen = std::filesystem::exists("ScanMe/mail-4294967295-msg.scanme");
    });
    scan(4294967295u, writeMessage("m.eml", plainMessage()));
    EXPECT_TRUE(copySeen);
    for (const std::string& line : takeLines())
        EXPECT_EQ(line.rfind("* (4294967295) ", 0), 0u) << line;
}

TEST_F(ScanJobTest, LockedCopyThatTheAntiVirusDeletesWhileWaitedForIsAVirus) {
    LockedFiles::lock("mail-30-msg", EACCES);
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::LockedRound) {
            std::filesystem::remove("ScanMe/mail-30-msg.scanme");
            LockedFiles::unlock("mail-30-msg");
        }
    });
    const FilterResult result = scan(30, writeMessage("m.eml", plainMessage()));
    const Lines lines = takeLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "* (30) Temp files are locked by the AV, waiting 1 sec");
    EXPECT_EQ(lines.back(), "* (30) The anti-virus removed the copy of the message");
    // Intact at the first level, then quarantined while it was still held.
    EXPECT_EQ(result.lines, verdict(true));
    EXPECT_TRUE(scanMeEntries().empty());
}

TEST_F(ScanJobTest, CopyHeldForAMomentThenReleasedIntactIsRemovedAndNotAVirus) {
    LockedFiles::lock("mail-31-msg", EACCES);
    int rounds = 0;
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::LockedRound && ++rounds == 2)
            LockedFiles::unlock("mail-31-msg");
    });
    const FilterResult result = scan(31, writeMessage("m.eml", plainMessage()));
    EXPECT_EQ(rounds, 2);
    EXPECT_EQ(result.lines, verdict(false));
    EXPECT_TRUE(scanMeEntries().empty());
}

TEST_F(ScanJobTest, CopyLockedForeverIsGivenUpAfterTheLastRound) {
    LockedFiles::lock("mail-32-msg", EACCES);
    const FilterResult result = scan(32, writeMessage("m.eml", plainMessage()));
    EXPECT_EQ(result.lines, verdict(true));
    Lines lines = takeLines();
    ASSERT_GE(lines.size(), static_cast<std::size_t>(kRounds) + 2);
    EXPECT_EQ(lines.back(), "* (32) The anti-virus kept the copy of the message locked");
    lines.pop_back();
    EXPECT_EQ(lines.back(),
              "* (32) The AV kept the temp file locked, giving up waiting; the file may remain "
              "in ScanMe folder.");
    const Lines rounds(lines.end() - kRounds - 1, lines.end() - 1);
    EXPECT_EQ(rounds, Lines(kRounds, "* (32) Temp files are locked by the AV, waiting 1 sec"));
    EXPECT_EQ(scanMeEntries(), Lines{"mail-32-msg.scanme"});
}

TEST_F(ScanJobTest, CopyReportedAlreadyGoneIsNotWaitedFor) {
    LockedFiles::lock("mail-34-msg", ENOENT);
    const FilterResult result = scan(34, writeMessage("m.eml", plainMessage()));
    EXPECT_EQ(result.lines, verdict(false));
    for (const std::string& line : takeLines())
        EXPECT_EQ(line.find("locked"), std::string::npos) << line;
}

#ifdef __linux__
// Reading a folder opened as a file fails on Linux after the open succeeded:
// the copy stays incomplete, as when the anti-virus blocks the write.
TEST_F(ScanJobTest, CopyThatCannotBeCompletedIsAVirusWithoutVerification) {
    std::filesystem::create_directories("folder.eml");
    const FilterResult result = scan(40, "folder.eml");
    EXPECT_EQ(result.lines, verdict(true));
    EXPECT_EQ(takeLines(),
              (Lines{"* (40) Copying file to be scanned",
                     "* (40) Error while copying file, the AV probably prevented disk write "
                     "because of virus in data.",
                     "* (40) Could not read the message: ERROR; treated as a virus",
                     "* (40) Virus found, skipping first- and second-level verification but "
                     "waiting a few seconds for the file to be unlocked."}));
    EXPECT_EQ(pauses(), std::vector<ScanPause>{ScanPause::FailurePause});
    EXPECT_TRUE(scanMeEntries().empty());
}
#endif

}  // namespace
}  // namespace tarnwick::testing
