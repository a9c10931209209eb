// SPDX-License-Identifier: Apache-2.0
// harness_test.cpp - the end-to-end harness checked against ordinary programs.
//
// The pipes, deadlines, limits and the stand-in anti-virus are what every
// end-to-end test rests on; here they run against /bin/cat and /bin/sh, whose
// behaviour is known, so a fault in the harness shows up apart from the filter.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "child_process.h"
#include "session.h"
#include "stand_in_av.h"

namespace tarnwick::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// waitUntil - polls condition for up to two seconds.
template <typename Condition>
bool waitUntil(Condition condition) {
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(Millis(2));
    }
    return condition();
}

TEST(ChildProcessTest, BytesWrittenInPiecesComeBackAsWholeLines) {
    TempFolder folder;
    ChildProcess cat("/bin/cat", {}, folder.path());
    ASSERT_TRUE(cat.write("ab"));
    ASSERT_TRUE(cat.write("c\nd"));
    EXPECT_EQ(cat.readLine(), "abc");
    EXPECT_EQ(cat.readLine(Millis(100)), std::nullopt);  // "d" has no line end yet
    ASSERT_TRUE(cat.write("\n"));
    EXPECT_EQ(cat.readLine(), "d");
}

TEST(ChildProcessTest, ReadLineGivesUpAtItsDeadlineWhenNothingComes) {
    TempFolder folder;
    ChildProcess cat("/bin/cat", {}, folder.path());
    auto start = Clock::now();
    EXPECT_EQ(cat.readLine(Millis(150)), std::nullopt);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, Millis(150));
    EXPECT_LT(waited, Millis(2000));
    EXPECT_FALSE(cat.outputEnded());
}

TEST(ChildProcessTest, ClosingInputEndsTheChildAndItsOutput) {
    TempFolder folder;
    ChildProcess cat("/bin/cat", {}, folder.path());
    ASSERT_TRUE(cat.write("last\n"));
    cat.closeInput();
    EXPECT_EQ(cat.readLine(), "last");
    EXPECT_EQ(cat.readLine(), std::nullopt);
    EXPECT_TRUE(cat.outputEnded());
    EXPECT_EQ(cat.waitExit(), 0);
    EXPECT_FALSE(cat.write("more\n"));
}

TEST(ChildProcessTest, HungChildIsReportedRunningAndCanBeKilled) {
    TempFolder folder;
    ChildProcess sleeper("/bin/sh", {"-c", "exec sleep 30"}, folder.path());
    EXPECT_EQ(sleeper.waitExit(Millis(100)), std::nullopt);
    EXPECT_TRUE(sleeper.running());
    sleeper.kill();
    EXPECT_EQ(sleeper.waitExit(Millis(0)), 128 + 9);
    EXPECT_FALSE(sleeper.running());
}

TEST(ChildProcessTest, ChildRunsInItsFolderWithItsArgumentsAndExitStatus) {
    TempFolder folder;
    ChildProcess shell("/bin/sh", {"-c", "pwd; echo \"$1\"; exit 3", "sh", "two words"},
                       folder.path());
    EXPECT_EQ(shell.readLine(), std::filesystem::canonical(folder.path()).string());
    EXPECT_EQ(shell.readLine(), "two words");
    EXPECT_EQ(shell.waitExit(), 3);
}

TEST(ChildProcessTest, FileSizeLimitStopsLargeWritesWithoutKillingTheChild) {
    TempFolder folder;
    ChildProcess shell("/bin/sh", {"-c", "head -c 20000 /dev/zero > big; echo $?; wc -c < big"},
                       folder.path(), ChildLimits{8192});
    EXPECT_NE(shell.readLine(), "0");
    EXPECT_EQ(shell.readLine(), "8192");
    EXPECT_EQ(shell.waitExit(), 0);
}

TEST(StandInAvTest, DeletesTruncatesAndCapturesWhatItsRulesMatch) {
    TempFolder folder;
    std::string scanMe = folder.path() + "/ScanMe";
    StandInAv av(scanMe, {{R"(mail-\d+-msg\.scanme)", "", AvAction::Delete},
                          {"", "EICAR-LIKE", AvAction::Truncate, 3},
                          {R"(msg-\d+-part-\d+\.scanme)", "", AvAction::Capture}});
    std::filesystem::create_directory(scanMe);  // appears after the watch began
    std::ofstream(scanMe + "/mail-4-msg.scanme") << "copy";
    std::ofstream(scanMe + "/mail-4-note.txt") << "not watched";
    std::ofstream(scanMe + "/other.scanme") << "has EICAR-LIKE inside";
    std::ofstream(scanMe + "/msg-4-part-0.scanme") << "first";

    // The stand-in may look while a file is still being written, so wait for
    // the finished content rather than for the first capture.
    ASSERT_TRUE(waitUntil([&] {
        const auto captured = av.captured();
        return av.acted().size() == 2 && captured.count("msg-4-part-0.scanme") == 1 &&
               captured.at("msg-4-part-0.scanme") == "first";
    }));
    EXPECT_FALSE(std::filesystem::exists(scanMe + "/mail-4-msg.scanme"));
    EXPECT_EQ(readFile(scanMe + "/other.scanme"), "has");
    EXPECT_EQ(readFile(scanMe + "/mail-4-note.txt"), "not watched");
    EXPECT_EQ(av.captured().at("msg-4-part-0.scanme"), "first");

    std::ofstream(scanMe + "/msg-4-part-0.scanme") << "rewritten";
    EXPECT_TRUE(waitUntil([&] { return av.captured().at("msg-4-part-0.scanme") == "rewritten"; }));
    EXPECT_EQ(av.seen(),
              (std::set<std::string>{"mail-4-msg.scanme", "other.scanme", "msg-4-part-0.scanme"}));
}

}  // namespace
}  // namespace tarnwick::e2e
