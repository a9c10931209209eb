// SPDX-License-Identifier: Apache-2.0
// outcomes_test.cpp - every outcome of a scan that a run can reach, end to end.
//
// Each test runs one request through the real executable and compares the
// whole sequence of lines, byte for byte, from "Thread processing started" to
// "Thread processing done". What the resident anti-virus would do is played
// by StandInAv; a copy blocked from being written comes from a file-size
// limit on the child; a full disk from a small tmpfs mounted on ScanMe (as
// root; skipped without); set-up failures come from
// entries placed in the folder before the start. The sample with two
// attachments runs with the first reading alone: the second reads its
// quoted-printable part (trailing blanks, an encoded CR LF) differently and
// adds an extra file, which second_reading_test.cpp covers.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "session.h"
#include "stand_in_av.h"

namespace tarnwick::e2e {
namespace {

using Lines = std::vector<std::string>;

// throughFirstWait - the lines of a request up to the first verification.
Lines throughFirstWait(const std::string& id, const std::string& kbytes, const std::string& wait) {
    return {jobLine(id, "Thread processing started"), jobLine(id, "Copying file to be scanned"),
            jobLine(id, "Copy done (" + kbytes + " kbytes)"),
            jobLine(id, "Waiting " + wait + " seconds"), jobLine(id, "First-Level verification")};
}

// withVerdict - lines followed by the verdict group and the closing notice.
Lines withVerdict(Lines lines, const std::string& id, bool virusFound) {
    lines.push_back("* Adding Header(s) to message");
    lines.push_back(verdictAnswer(id, virusFound));
    lines.push_back(jobLine(id, "Thread processing done"));
    return lines;
}

// append - lines with more lines after them.
Lines append(Lines lines, const Lines& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

// kbytesOf - the copy's size in whole KiB for a message without envelope.
std::string kbytesOf(const std::string& path) {
    return std::to_string(std::filesystem::file_size(path) / 1024);
}

// scan - submits path as request id and reads through its closing notice.
Lines scan(TarnwickSession& session, const std::string& id, const std::string& path) {
    session.startAndInitialise();
    session.send(id + " FILE " + path);
    return session.readThrough(jobLine(id, "Thread processing done"));
}

// setUpFailure - the lines of a request whose files could not be set up.
Lines setUpFailure(const std::string& id, const std::string& line) {
    return {jobLine(id, "Thread processing started"), line, "* OK", id + " OK",
            jobLine(id, "Thread processing done")};
}

// secondLevelHead - the lines that open the second level.
Lines secondLevelHead(const std::string& id) {
    return {jobLine(id, "First-Level verification passed"),
            jobLine(id, "Unpacking attachments, if any")};
}

TEST(ScanOutcomeTest, MessageWithoutAttachmentsPassesWithNothingUnpacked) {
    TarnwickSession session({"0"});
    std::string path = session.copySample("plain.eml");
    Lines expected =
        withVerdict(append(append(throughFirstWait("2", kbytesOf(path), "0"), secondLevelHead("2")),
                           {jobLine("2", "Nothing unpacked, skipping second-level verification")}),
                    "2", false);
    EXPECT_EQ(scan(session, "2", path), expected);
    EXPECT_EQ(session.scanMeFiles(), Lines{});
}

TEST(ScanOutcomeTest, AttachmentsLeftAloneAreCountedWaitedForAndRemoved) {
    TarnwickSession session({"0", "--no-second-reading"});
    std::string path = session.copySample("attachments.eml");
    Lines expected = withVerdict(
        append(append(throughFirstWait("3", kbytesOf(path), "0"), secondLevelHead("3")),
               {jobLine("3", "Unpacked 2 attachments"), jobLine("3", "Waiting 0 seconds again"),
                jobLine("3", "Second-Level verification")}),
        "3", false);
    EXPECT_EQ(scan(session, "3", path), expected);
    EXPECT_EQ(session.scanMeFiles(), Lines{});
}

TEST(ScanOutcomeTest, CopyDeletedDuringTheWaitIsAVirusAndNothingIsUnpacked) {
    TarnwickSession session({"1"});
    StandInAv av(session.scanMe(), {{R"(mail-\d+-msg\.scanme)", "", AvAction::Delete}});
    std::string path = session.copySample("attachments.eml");
    Lines expected =
        withVerdict(append(throughFirstWait("4", kbytesOf(path), "1"),
                           {jobLine("4", "The anti-virus removed the copy of the message"),
                            jobLine("4",
                                    "First-Level verification failed, virus found, skipping "
                                    "second-level verification")}),
                    "4", true);
    EXPECT_EQ(scan(session, "4", path), expected);
    EXPECT_EQ(av.acted(), std::set<std::string>{"mail-4-msg.scanme"});
    EXPECT_EQ(av.seen(), std::set<std::string>{"mail-4-msg.scanme"});  // no part file ever
    EXPECT_EQ(session.scanMeFiles(), Lines{});
}

TEST(ScanOutcomeTest, CopyCleanedToAnotherSizeIsAVirus) {
    TarnwickSession session({"1"});
    // The marker closes the message, so the copy is complete once it shows.
    StandInAv av(session.scanMe(), {{"", "CLEAN-ME-MARKER", AvAction::Truncate, 10}});
    std::string path =
        session.writeMessage("infected.eml", "Subject: infected\n\nbody\nCLEAN-ME-MARKER\n");
    Lines expected =
        withVerdict(append(throughFirstWait("5", "0", "1"),
                           {jobLine("5", "The anti-virus changed the copy of the message"),
                            jobLine("5",
                                    "First-Level verification failed, virus found, skipping "
                                    "second-level verification")}),
                    "5", true);
    EXPECT_EQ(scan(session, "5", path), expected);
    EXPECT_EQ(av.acted(), std::set<std::string>{"mail-5-msg.scanme"});
    EXPECT_EQ(session.scanMeFiles(), Lines{});  // the job removed the cleaned copy
}

TEST(ScanOutcomeTest, DecodedAttachmentDeletedDuringTheSecondWaitIsAVirus) {
    TarnwickSession session({"1", "--no-second-reading"});
    StandInAv av(session.scanMe(), {{R"(msg-6-part-1\.scanme)", "", AvAction::Delete}});
    std::string path = session.copySample("attachments.eml");
    Lines expected = withVerdict(
        append(append(throughFirstWait("6", kbytesOf(path), "1"), secondLevelHead("6")),
               {jobLine("6", "Unpacked 2 attachments"), jobLine("6", "Waiting 1 seconds again"),
                jobLine("6", "Second-Level verification"),
                jobLine("6",
                        "The anti-virus removed attachment 2: notes.txt (text/plain, 46 "
                        "bytes, first reading, msg-6-part-1.scanme)")}),
        "6", true);
    // The size shows also when the stand-in removes the file before it can
    // be measured once written (the writer's own count).
    EXPECT_EQ(scan(session, "6", path), expected);
    EXPECT_EQ(av.acted(), std::set<std::string>{"msg-6-part-1.scanme"});
    EXPECT_EQ(session.scanMeFiles(), Lines{});
}

TEST(ScanOutcomeTest, CopyBlockedFromBeingWrittenIsAVirusWithoutVerification) {
    // The child may write no file beyond 8 KiB. The write fails before the
    // short last block of 20,000 bytes, and well inside 200,000 bytes.
    for (const std::size_t size : {20000, 200000}) {
        TarnwickSession session({"0"}, ChildLimits{8192});
        std::string path =
            session.writeMessage("large.eml", "Subject: large\n\n" + std::string(size - 16, 'z'));
        Lines expected = withVerdict(
            {jobLine("7", "Thread processing started"), jobLine("7", "Copying file to be scanned"),
             jobLine("7",
                     "Error while copying file, the AV probably prevented disk write because of "
                     "virus in data."),
             jobLine("7", "Could not write the copy of the message: " +
                              std::string(strerror(EFBIG)) + "; treated as a virus"),
             jobLine("7",
                     "Virus found, skipping first- and second-level verification but waiting a "
                     "few seconds for the file to be unlocked.")},
            "7", true);
        EXPECT_EQ(scan(session, "7", path), expected) << size;
        EXPECT_EQ(session.scanMeFiles(), Lines{}) << size;
    }
}

TEST(ScanOutcomeTest, PartFileThatCannotBeWrittenIsAVirusWithoutSecondWait) {
    // A folder in the place of the first part file makes its creation fail.
    TarnwickSession session({"0"}, {}, [](const std::string& folder) {
        std::filesystem::create_directories(folder + "/ScanMe/msg-8-part-0.scanme");
    });
    std::string path = session.copySample("attachments.eml");
    Lines expected = withVerdict(
        append(append(throughFirstWait("8", kbytesOf(path), "0"), secondLevelHead("8")),
               {jobLine("8",
                        "Error while unpacking attachments, the AV probably prevented disk write "
                        "because of virus in data."),
                jobLine("8", "Could not write msg-8-part-0.scanme: " +
                                 std::string(strerror(EEXIST)) + "; treated as a virus"),
                jobLine("8",
                        "Virus found, skipping second-level verification but waiting a few "
                        "seconds for the files to be unlocked."),
                jobLine("8", "Trying to clean")}),
        "8", true);
    EXPECT_EQ(scan(session, "8", path), expected);
    EXPECT_EQ(session.scanMeFiles(), Lines{});  // the second part was cleaned at once
}

TEST(ScanOutcomeTest, ScanMeThatIsAPlainFileLeavesTheMessageUnchanged) {
    TarnwickSession session({"0"}, {}, [](const std::string& folder) {
        std::ofstream(folder + "/ScanMe") << "not a folder";
    });
    std::string path = session.copySample("plain.eml");
    // Start-up says so once, after the banner; every message says so again.
    const Lines start = session.startAndInitialise(5);
    ASSERT_EQ(start.size(), 7u);
    EXPECT_EQ(start[3], "* Error: ScanMe (" + session.folder() +
                            "/ScanMe) cannot be made by user " + getpwuid(geteuid())->pw_name +
                            ": Not a directory");
    session.send("9 FILE " + path);
    EXPECT_EQ(session.readThrough(jobLine("9", "Thread processing done")),
              setUpFailure("9", "* Unable to create temp dir (./ScanMe), please verify rights."));
    EXPECT_EQ(readFile(session.folder() + "/ScanMe"), "not a folder");
}

TEST(ScanOutcomeTest, CopyThatCannotBeCreatedLeavesTheMessageUnchanged) {
    TarnwickSession session({"0"}, {}, [](const std::string& folder) {
        std::filesystem::create_directories(folder + "/ScanMe/mail-10-msg.scanme");
    });
    std::string path = session.copySample("plain.eml");
    Lines expected = setUpFailure(
        "10", "* Unable to create temp file (./ScanMe/mail-10-msg.scanme), please verify rights.");
    expected.insert(expected.begin() + 2,
                    jobLine("10",
                            "The name ./ScanMe/mail-10-msg.scanme is taken by a file "
                            "Tarnwick did not make; it is left alone"));
    EXPECT_EQ(scan(session, "10", path), expected);
}

// Size of the file system the full-disk test mounts on ScanMe: far below
// the message, so the copy fills it.
constexpr const char* kSmallScanMeOptions = "size=256k,mode=0700";
// True while that file system is mounted.
bool smallScanMeMounted = false;

// mountSmallScanMe - as root, mounts a small tmpfs on the session's ScanMe
// before tarnwick starts. The mount lives in a mount namespace of the test
// process's own, which the tarnwick child inherits: it never shows outside
// and vanishes with the test process, however that ends.
void mountSmallScanMe(const std::string& folder) {
    const std::string scanMe = folder + "/ScanMe";
    std::filesystem::create_directories(scanMe);
    smallScanMeMounted = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0 &&
                         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                         ::mount("tarnwick-e2e", scanMe.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                                 kSmallScanMeOptions) == 0;
}

// UnmountOnExit - unmounts the small ScanMe when the test leaves its scope.
struct UnmountOnExit {
    std::string scanMe;
    ~UnmountOnExit() {
        if (smallScanMeMounted)
            ::umount2(scanMe.c_str(), MNT_DETACH);
        smallScanMeMounted = false;
    }
};

TEST(ScanOutcomeTest, FullDiskPostponesTheMessageAndLeavesNothingInScanMe) {
    TarnwickSession session({"0"}, {}, mountSmallScanMe);
    const UnmountOnExit unmount{session.scanMe()};
    // Scan files are never written through a link, so without root there is
    // no full disk to give the filter.
    if (!smallScanMeMounted)
        GTEST_SKIP() << "a small ScanMe needs root";
    std::string path =
        session.writeMessage("large.eml", "Subject: large\n\n" + std::string(600 * 1024, 'z'));
    Lines expected = {
        jobLine("11", "Thread processing started"),
        jobLine("11", "Copying file to be scanned"),
        jobLine("11", "No space left in ScanMe, the message will be tried again later"),
        "* Postponing message",
        "11 REJECTED \"Not enough disk space to scan the message, try again later.\"",
        jobLine("11", "Thread processing done")};
    EXPECT_EQ(scan(session, "11", path), expected);
    EXPECT_EQ(session.scanMeFiles(), Lines{});
}

}  // namespace
}  // namespace tarnwick::e2e
