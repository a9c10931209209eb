// SPDX-License-Identifier: Apache-2.0
// second_level_test.cpp - the attachments of a message that passed the first
// level: unpacked, waited for, removed; locked, deleted or unwritable part
// files; a message file that cannot be reopened; a full disk; the deferred
// clean-up of what stays locked, and a request number used again meanwhile.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#ifdef __linux__
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "tests/scanner/scan_fixture.h"

namespace tarnwick::testing {
namespace {

using Lines = std::vector<std::string>;

// prefixed - the lines with "* (id) " in front of each.
Lines prefixed(std::uint32_t requestId, const Lines& texts) {
    Lines lines;
    for (const std::string& text : texts)
        lines.push_back("* (" + std::to_string(requestId) + ") " + text);
    return lines;
}

const Lines kFirstLevelPassed = {"Copying file to be scanned",
                                 "Copy done (0 kbytes)",
                                 "Waiting 0 seconds",
                                 "First-Level verification",
                                 "First-Level verification passed",
                                 "Unpacking attachments, if any"};

Lines concat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(ScanJobTest, AttachmentsLeftAloneAreCountedWaitedForAndRemoved) {
    std::vector<std::string> during;
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::SecondWait)
            during = scanMeEntries();
    });
    const FilterResult result = scan(50, writeMessage("m.eml", twoAttachmentMessage()));
    EXPECT_EQ(result.lines, verdict(false));
    EXPECT_EQ(takeLines(), prefixed(50, concat(kFirstLevelPassed,
                                               {"Unpacked 2 attachments", "Waiting 0 seconds again",
                                                "Second-Level verification"})));
    EXPECT_EQ(during, (Lines{"msg-50-part-0.scanme", "msg-50-part-1.scanme"}));
    EXPECT_EQ(pauses(), (std::vector<ScanPause>{ScanPause::FirstWait, ScanPause::SecondWait}));
    EXPECT_TRUE(scanMeEntries().empty());
}

TEST_F(ScanJobTest, AttachmentDeletedDuringTheSecondWaitIsAVirus) {
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::SecondWait)
            std::filesystem::remove("ScanMe/msg-53-part-1.scanme");
    });
    const FilterResult result = scan(53, writeMessage("m.eml", twoAttachmentMessage()));
    EXPECT_EQ(result.lines, verdict(true));
    EXPECT_TRUE(scanMeEntries().empty());
}

TEST_F(ScanJobTest, CopyDeletedDuringTheFirstWaitIsNeverUnpacked) {
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::FirstWait)
            std::filesystem::remove("ScanMe/mail-54-msg.scanme");
    });
    const FilterResult result = scan(54, writeMessage("m.eml", twoAttachmentMessage()));
    EXPECT_EQ(result.lines, verdict(true));
    for (const std::string& line : takeLines())
        EXPECT_EQ(line.find("Unpack"), std::string::npos) << line;
    EXPECT_EQ(pauses(), std::vector<ScanPause>{ScanPause::FirstWait});
}

TEST_F(ScanJobTest, MessageGoneBeforeTheSecondLevelIsAVirus) {
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::FirstWait)
            std::filesystem::remove("m.eml");
    });
    const FilterResult result = scan(55, writeMessage("m.eml", twoAttachmentMessage()));
    EXPECT_EQ(result.lines, verdict(true));
    Lines expected(kFirstLevelPassed.begin(), kFirstLevelPassed.end() - 1);
    expected.push_back(
        "The message file is gone, the AV probably removed it because of virus in data. Virus "
        "found, skipping second-level verification");
    EXPECT_EQ(takeLines(), prefixed(55, expected));
}

#ifdef __linux__
// putSocketAt - replaces the file at path by a Unix socket: the entry exists
// but cannot be opened as a file, as when the anti-virus refuses the open.
void putSocketAt(const std::string& path) {
    std::filesystem::remove(path);
    const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(socket, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size());
    EXPECT_EQ(::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(socket);
}

const char* const kReopenRound = "Unable to reopen the message, waiting 1 sec";

TEST_F(ScanJobTest, MessageRefusedForAMomentIsReopenedAndUnpacked) {
    const std::string path = writeMessage("m.eml", twoAttachmentMessage());
    int reopenRounds = 0;
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::FirstWait) {
            std::filesystem::rename(path, "kept.eml");
            putSocketAt(path);
        } else if (reason == ScanPause::ReopenRound && ++reopenRounds == 2) {
            std::filesystem::remove(path);
            std::filesystem::rename("kept.eml", path);
        }
    });
    const FilterResult result = scan(64, path);
    EXPECT_EQ(result.lines, verdict(false));
    Lines expected(kFirstLevelPassed.begin(), kFirstLevelPassed.end() - 1);
    expected.insert(expected.end(), 2, kReopenRound);
    expected.insert(expected.end(), {"Unpacking attachments, if any", "Unpacked 2 attachments",
                                     "Waiting 0 seconds again", "Second-Level verification"});
    EXPECT_EQ(takeLines(), prefixed(64, expected));
}

TEST_F(ScanJobTest, MessageRefusedThroughEveryRoundIsAVirus) {
    const std::string path = writeMessage("m.eml", twoAttachmentMessage());
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::FirstWait)
            putSocketAt(path);
    });
    const FilterResult result = scan(65, path);
    EXPECT_EQ(result.lines, verdict(true));
    Lines expected(kFirstLevelPassed.begin(), kFirstLevelPassed.end() - 1);
    expected.insert(expected.end(), kRounds, kReopenRound);
    expected.push_back(
        "Unable to reopen the message, giving up waiting; the AV probably keeps it locked "
        "because of virus in data. Virus found, skipping second-level verification");
    EXPECT_EQ(takeLines(), prefixed(65, expected));
}

// Writes to the chosen file fail with ENOSPC, as on a full disk.
TEST_F(ScanJobTest, FullDiskPostponesTheMessageAndRemovesWhatWasWritten) {
    struct Case {
        const char* name;
        const char* fullFile;
        Lines linesBefore;
    };
    const Case cases[] = {
        {"copy", "mail-66-msg.scanme", {"Copying file to be scanned"}},
        {"part file", "msg-67-part-1.scanme", kFirstLevelPassed},
    };
    std::uint32_t requestId = 66;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FullDisk::fill(c.fullFile);
        const FilterResult result = scan(requestId, writeMessage("m.eml", twoAttachmentMessage()));
        EXPECT_EQ(result.kind, FilterResult::Postpone);
        EXPECT_EQ(result.lines,
                  Lines{"Not enough disk space to scan the message, try again later."});
        EXPECT_EQ(takeLines(),
                  prefixed(requestId,
                           concat(c.linesBefore, {"No space left in ScanMe, the message will be "
                                                  "tried again later"})));
        EXPECT_TRUE(scanMeEntries().empty());
        ++requestId;
    }
    EXPECT_EQ(pauses(), std::vector<ScanPause>{ScanPause::FirstWait});
}
#endif

TEST(ReadingBudgetTest, ReservesWhatFitsAndAlwaysOneReadingAlone) {
    ReadingBudget budget(100);
    EXPECT_TRUE(budget.reserve(150));  // alone: let in whatever it asks
    EXPECT_FALSE(budget.reserve(1));
    budget.release(150);
    EXPECT_TRUE(budget.reserve(60));
    EXPECT_TRUE(budget.reserve(40));
    EXPECT_FALSE(budget.reserve(1));
    budget.release(40);
    EXPECT_EQ(budget.reserved(), 60u);
    EXPECT_EQ(estimateReadingBytes(2), kReadingFixedBytes + 2 * kReadingBytesPerPart);
}

TEST_F(ScanJobTest, SecondReadingBeyondTheBudgetPostponesTheMessage) {
    std::optional<ReadingReservation> others;
    others.emplace(filter->readingBudget(), kDefaultReadingBudget);
    const FilterResult result = scan(68, writeMessage("m.eml", twoAttachmentMessage()));
    EXPECT_EQ(result.kind, FilterResult::Postpone);
    EXPECT_EQ(result.lines, Lines{kReadingBusyReason});
    EXPECT_EQ(takeLines(), prefixed(68, concat(kFirstLevelPassed, {kReadingBusyLine})));
    EXPECT_TRUE(scanMeEntries().empty());
    others.reset();
    EXPECT_EQ(scan(69, writeMessage("m.eml", twoAttachmentMessage())).lines, verdict(false));
    EXPECT_EQ(filter->readingBudget().reserved(), 0u);
}

TEST_F(ScanJobTest, LockedPartFilesAreWaitedForUntilReleased) {
    LockedFiles::lock("msg-56-part-0", EACCES);
    int rounds = 0;
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::LockedRound && ++rounds == 2)
            LockedFiles::unlock("msg-56-part-0");
    });
    const FilterResult result = scan(56, writeMessage("m.eml", twoAttachmentMessage()));
    EXPECT_EQ(result.lines, verdict(false));
    const Lines lines = takeLines();
    const Lines tail(lines.end() - 2, lines.end());
    EXPECT_EQ(tail, Lines(2, "* (56) Temp files are locked by the AV, waiting 1 sec"));
    EXPECT_TRUE(scanMeEntries().empty());
}

TEST_F(ScanJobTest, LockedPartFileThatDisappearsWhileWaitedForIsAVirus) {
    LockedFiles::lock("msg-57-part-0", EACCES);
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::LockedRound) {
            std::filesystem::remove("ScanMe/msg-57-part-0.scanme");
            LockedFiles::unlock("msg-57-part-0");
        }
    });
    const FilterResult result = scan(57, writeMessage("m.eml", twoAttachmentMessage()));
    EXPECT_EQ(result.lines, verdict(true));
}

TEST_F(ScanJobTest, PartFilesLockedForeverGoToTheDeferredCleanUp) {
    LockedFiles::lock("msg-58-part-1", EACCES);
    const FilterResult result = scan(58, writeMessage("m.eml", twoAttachmentMessage()));
    EXPECT_EQ(result.lines, verdict(true));
    const Lines lines = takeLines();
    ASSERT_GE(lines.size(), static_cast<std::size_t>(kRounds) + 4);
    EXPECT_EQ(Lines(lines.end() - kRounds - 4, lines.end()),
              concat(Lines(kRounds, "* (58) Temp files are locked by the AV, waiting 1 sec"),
                     {"* (58) The AV kept the temp files locked, giving up waiting; files may "
                      "remain in ScanMe folder. Will try to clean them later.",
                      "* (58) The anti-virus kept attachment 2 locked: b.bin "
                      "(application/octet-stream, 18 bytes, first reading, msg-58-part-1.scanme)",
                      "* Retrying to clear temp files left by previous scans",
                      "* Unable to clean all temp files, will try again later"}));
    EXPECT_EQ(deferredRequests(), std::set<int>{58});

    // Released later: the next scan job clears them.
    LockedFiles::unlock("msg-58-part-1");
    scan(59, writeMessage("p.eml", plainMessage()));
    const Lines later = takeLines();
    EXPECT_EQ(Lines(later.end() - 2, later.end()),
              (Lines{"* Retrying to clear temp files left by previous scans",
                     "* All temp files cleared"}));
    EXPECT_TRUE(deferredRequests().empty());
    EXPECT_TRUE(scanMeEntries().empty());
}

TEST_F(ScanJobTest, PartFileThatCannotBeWrittenIsAVirusAndIsCleanedUpLater) {
    // A folder where the second part file belongs makes its creation fail.
    std::filesystem::create_directories("ScanMe/msg-60-part-1.scanme");
    LockedFiles::lock("msg-60-part-0", EACCES);
    const FilterResult result = scan(60, writeMessage("m.eml", twoAttachmentMessage()));
    EXPECT_EQ(result.lines, verdict(true));
    EXPECT_EQ(takeLines(),
              concat(prefixed(60, concat(kFirstLevelPassed,
                                         {"Error while unpacking attachments, the AV probably "
                                          "prevented disk write because of virus in data.",
                                          "Could not write msg-60-part-1.scanme: ERROR; treated "
                                          "as a virus",
                                          "Virus found, skipping second-level verification but "
                                          "waiting a few seconds for the files to be unlocked.",
                                          "Trying to clean",
                                          "Unable to clean temp files, files may remain in "
                                          "ScanMe folder. Will try to clean them later."})),
                     {"* Retrying to clear temp files left by previous scans",
                      "* Unable to clean all temp files, will try again later"}));
    EXPECT_EQ(pauses(), (std::vector<ScanPause>{ScanPause::FirstWait, ScanPause::FailurePause}));
    EXPECT_EQ(deferredRequests(), std::set<int>{60});

    // Still locked during the next job: retried and kept.
    scan(61, writeMessage("p.eml", plainMessage()));
    EXPECT_EQ(takeLines().back(), "* Unable to clean all temp files, will try again later");
    EXPECT_EQ(deferredRequests(), std::set<int>{60});

    LockedFiles::unlock("msg-60-part-0");
    scan(62, writeMessage("p.eml", plainMessage()));
    EXPECT_EQ(takeLines().back(), "* All temp files cleared");
    EXPECT_TRUE(deferredRequests().empty());
    EXPECT_FALSE(std::filesystem::exists("ScanMe/msg-60-part-0.scanme"));
}

TEST_F(ScanJobTest, UnwritablePartFileWhoseSiblingsCanBeRemovedIsNotDeferred) {
    std::filesystem::create_directories("ScanMe/msg-63-part-1.scanme");
    const FilterResult result = scan(63, writeMessage("m.eml", twoAttachmentMessage()));
    EXPECT_EQ(result.lines, verdict(true));
    const Lines lines = takeLines();
    EXPECT_EQ(lines.back(), "* (63) Trying to clean");
    EXPECT_TRUE(deferredRequests().empty());
    EXPECT_FALSE(std::filesystem::exists("ScanMe/msg-63-part-0.scanme"));
}

TEST_F(ScanJobTest, LeftoversAreRetriedInAscendingOrderAndOnlyTheLockedOnesKept) {
    for (const std::uint32_t requestId : {7u, 3u}) {
        LockedFiles::lock("msg-" + std::to_string(requestId) + "-part-0", EACCES);
        scan(requestId, writeMessage("m.eml", twoAttachmentMessage()));
    }
    EXPECT_EQ(deferredRequests(), (std::set<int>{3, 7}));
    LockedFiles::unlock("msg-3-part-0");
    takeLines();
    LockedFiles::clearAttempts();
    filter->retryLeftovers();
    // The order of the removal attempts shows the order of the retry.
    const Lines attempts = LockedFiles::attempts();
    const auto first3 = std::find_if(attempts.begin(), attempts.end(), [](const std::string& p) {
        return p.find("msg-3-") != std::string::npos;
    });
    const auto first7 = std::find_if(attempts.begin(), attempts.end(), [](const std::string& p) {
        return p.find("msg-7-") != std::string::npos;
    });
    ASSERT_NE(first7, attempts.end());
    EXPECT_LT(first3, first7);
    EXPECT_EQ(takeLines(), (Lines{"* Retrying to clear temp files left by previous scans",
                                  "* Unable to clean all temp files, will try again later"}));
    EXPECT_EQ(deferredRequests(), std::set<int>{7});
    EXPECT_FALSE(std::filesystem::exists("ScanMe/msg-3-part-0.scanme"));
    EXPECT_TRUE(std::filesystem::exists("ScanMe/msg-7-part-0.scanme"));
}

TEST_F(ScanJobTest, ReusedNumberCountsAndVerifiesOnlyTheFilesItWroteItself) {
    // Request 7's first part file stays locked for good and is deferred.
    LockedFiles::lock("msg-7-part-0", EACCES);
    scan(7, writeMessage("m.eml", twoAttachmentMessage()));
    ASSERT_EQ(deferredRequests(), std::set<int>{7});
    takeLines();
    // Request 7 again: the anti-virus deletes its part 1 during the second
    // wait while another job's clean-up runs.
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::SecondWait) {
            std::filesystem::remove("ScanMe/msg-7-part-1.scanme");
            filter->retryLeftovers();
        }
    });
    const FilterResult result = scan(7, writeMessage("m.eml", twoAttachmentMessage()));
    EXPECT_EQ(result.lines, verdict(true));
    const Lines lines = takeLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "* (7) Unpacked 2 attachments"), 1);
}

TEST_F(ScanJobTest, DeferredCleanUpLeavesTheFilesOfARequestInProgressAlone) {
    LockedFiles::lock("msg-7-part-0", EACCES);
    scan(7, writeMessage("m.eml", twoAttachmentMessage()));
    ASSERT_EQ(deferredRequests(), std::set<int>{7});
    LockedFiles::unlock("msg-7-part-0");
    Lines duringSecondWait;
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::SecondWait) {
            filter->retryLeftovers();
            duringSecondWait = scanMeEntries();
        }
    });
    const FilterResult result = scan(7, writeMessage("m.eml", twoAttachmentMessage()));
    EXPECT_EQ(duringSecondWait, (Lines{"msg-7-part-0.scanme", "msg-7-part-1.scanme"}));
    EXPECT_EQ(result.lines, verdict(false));
    // The old entry goes with the request's own clean-up.
    EXPECT_EQ(takeLines().back(), "* All temp files cleared");
    EXPECT_TRUE(deferredRequests().empty());
    EXPECT_TRUE(scanMeEntries().empty());
}

TEST_F(ScanJobTest, EmptyLeftoverRecordMakesTheRetryWriteNothing) {
    filter->retryLeftovers();
    EXPECT_TRUE(takeLines().empty());
}

// Three attachments: named by the disposition, unnamed, named by the type.
std::string threeAttachmentMessage() {
    std::string text =
        "Content-Type: multipart/mixed; boundary=\"XYZ\"\n\n--XYZ\n"
        "Content-Type: application/msword\n"
        "Content-Disposition: attachment; filename=\"report.doc\"\n\nreport\n--XYZ\n"
        "Content-Type: application/pdf\n\npdf data\n--XYZ\n"
        "Content-Type: application/octet-stream; name=\"invoice.exe\"\n\nMZ-invoice\n--XYZ--\n";
    return text;
}

TEST_F(ScanJobTest, EveryFileTheAntiVirusActedOnIsNamedInALineOfItsOwn) {
    // The second reading's own file: a part behind a mailbox line.
    const std::string behindMboxLine =
        "From a@example.org Mon Jan  1 10:00:00 2024\nContent-Type: text/x-script; "
        "name=\"run.sh\"\n\necho\n";
    // A name with control characters, bytes that are not UTF-8, and 10,000 bytes.
    const std::string hostile = "a\tb\x1b[31m\xff\xc3(" + std::string(10000, 'x');
    const std::string hostileMessage = "Content-Type: application/zip; name=\"" + hostile +
                                       "\"\nContent-Transfer-Encoding: base64\n\nUEsDBA==\n";
    const std::string hostileShown = "a\\x09b\\x1B[31m\\xFF\\xC3(" + std::string(186, 'x') + "...";
    struct Case {
        std::string message;
        std::string file;  // acted on; "" for the copy
        enum { Remove, Change, Lock } act;
        Lines lines;  // every line that says what the anti-virus did
    };
    const std::vector<Case> cases = {
        {threeAttachmentMessage(),
         "",
         Case::Remove,
         {"The anti-virus removed the copy of the message"}},
        {threeAttachmentMessage(),
         "msg-N-part-2",
         Case::Remove,
         {"The anti-virus removed attachment 3: invoice.exe (application/octet-stream, 10 bytes, "
          "first reading)"}},
        {threeAttachmentMessage(),
         "msg-N-part-0",
         Case::Change,
         {"The anti-virus changed attachment 1: report.doc (application/msword, 6 bytes, first "
          "reading)"}},
        {threeAttachmentMessage(),
         "msg-N-part-1",
         Case::Lock,
         {"The anti-virus kept attachment 2 locked: (no name) (application/pdf, 8 bytes, first "
          "reading)"}},
        {behindMboxLine,
         "msg-N-extra-0",
         Case::Remove,
         {"The anti-virus removed attachment 1: run.sh (text/x-script, 5 bytes, second reading)"}},
        {hostileMessage,
         "msg-N-part-0",
         Case::Remove,
         {"The anti-virus removed attachment 1: " + hostileShown +
          " (application/zip, 4 bytes, first reading)"}},
    };
    std::uint32_t requestId = 300;
    for (const Case& c : cases) {
        ++requestId;
        std::string file = c.file.empty() ? "mail-N-msg" : c.file;
        file.replace(file.find('N'), 1, std::to_string(requestId));
        const std::string path = "ScanMe/" + file + ".scanme";
        if (c.act == Case::Lock)
            LockedFiles::lock(file, EACCES);
        onPause([&](std::uint32_t, ScanPause reason) {
            if (reason != (c.file.empty() ? ScanPause::FirstWait : ScanPause::SecondWait))
                return;
            if (c.act == Case::Remove)
                std::filesystem::remove(path);
            else if (c.act == Case::Change)
                std::ofstream(path, std::ios::binary) << "cleaned";
        });
        const FilterResult result = scan(requestId, writeMessage("m.eml", c.message));
        LockedFiles::unlock(file);
        EXPECT_EQ(result.lines, verdict(true)) << file;
        Lines said;
        for (const std::string& line : takeLines())
            if (line.find("The anti-virus ") != std::string::npos)
                said.push_back(line);
        // A file shown to the anti-virus is named by its own name last.
        Lines expected = c.lines;
        if (!c.file.empty())
            expected[0].insert(expected[0].size() - 1, ", " + file + ".scanme");
        EXPECT_EQ(said, prefixed(requestId, expected)) << file;
    }
}

}  // namespace
}  // namespace tarnwick::testing
