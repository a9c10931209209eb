// SPDX-License-Identifier: Apache-2.0
// start_up_test.cpp - the command line, the banner and the first wait, end to end.
//
// The "Waiting N seconds" line is written before the job sleeps, so a test can
// read it and then end standard input: the process must exit at once, and
// even long waits are checked without being sat out.
#include <gtest/gtest.h>

#include <filesystem>

#include "session.h"

namespace tarnwick::e2e {
namespace {

// sizedMessage - a message without envelope of exactly size bytes.
std::string sizedMessage(std::size_t size) {
    std::string message = "Subject: sized\n\n";
    std::string line(63, 'x');
    line += '\n';
    while (message.size() + line.size() <= size) {
        message += line;
    }
    message.append(size - message.size(), 'y');
    return message;
}

struct WaitCase {
    std::string name;
    std::vector<std::string> args;
    std::string banner;       // the number in the first banner line
    std::size_t messageSize;  // bytes of the message (no envelope)
    std::string copyDone;     // the kbytes figure
    std::string waiting;      // the seconds of the first wait
};

// PrintTo - names a case in test output.
void PrintTo(const WaitCase& c, std::ostream* out) {
    *out << c.name;
}

class FirstWaitTest : public testing::TestWithParam<WaitCase> {};

TEST_P(FirstWaitTest, BannerAndFirstWaitFollowTheArgumentAndTheMessageSize) {
    const WaitCase& c = GetParam();
    TarnwickSession session(c.args);
    std::string path = session.writeMessage("sized.eml", sizedMessage(c.messageSize));
    std::vector<std::string> expected = bannerLines(c.banner);
    expected.push_back("1 INTF 1");
    expected.push_back("* Filter is initialized and waiting for commands.");
    EXPECT_EQ(session.startAndInitialise(), expected);

    session.send("2 FILE " + path);
    EXPECT_EQ(session.readLines(4), (std::vector<std::string>{
                                        jobLine("2", "Thread processing started"),
                                        jobLine("2", "Copying file to be scanned"),
                                        jobLine("2", "Copy done (" + c.copyDone + " kbytes)"),
                                        jobLine("2", "Waiting " + c.waiting + " seconds"),
                                    }));
    // End of input while the request waits: exit 0 at once, no answer.
    session.child().closeInput();
    EXPECT_EQ(session.child().waitExit(Millis(3000)), 0);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLineAndSizes, FirstWaitTest,
    testing::Values(
        // No argument: the default of 5 seconds.
        WaitCase{"NoArgumentMeansFive", {}, "5", 100, "0", "5"},
        // The wait argument.
        WaitCase{"TwelveSeconds", {"12"}, "12", 100, "0", "12"},
        // An option beside the wait, in either order.
        WaitCase{"WaitAfterAnOption", {"--no-second-reading", "7"}, "7", 100, "0", "7"},
        // Around the thresholds of the size formula (units of 100 KiB).
        WaitCase{"OneByteBelowSixBlocks", {"5"}, "5", 6 * 102400 - 1, "599", "5"},
        WaitCase{"SixBlocks", {"5"}, "5", 6 * 102400, "600", "5"},
        WaitCase{"OneByteBelowTwelveBlocks", {"5"}, "5", 12 * 102400 - 1, "1199", "5"},
        WaitCase{"TwelveBlocks", {"5"}, "5", 12 * 102400, "1200", "6"},
        WaitCase{"TwentyBlocks", {"5"}, "5", 20 * 102400, "2000", "10"},
        WaitCase{"FortyFourBlocksReachTheCap", {"5"}, "5", 44 * 102400, "4400", "22"},
        WaitCase{"EightyBlocksStayAtTheCap", {"5"}, "5", 80 * 102400, "8000", "22"},
        WaitCase{"ThreeMiBWithWaitOne", {"1"}, "1", 3 * 1024 * 1024, "3072", "13"},
        WaitCase{"OneMiBWithWaitZero", {"0"}, "0", 1024 * 1024, "1024", "2"}),
    [](const testing::TestParamInfo<WaitCase>& info) { return info.param.name; });

TEST(StartUpTest, LargeWaitIsNotCutShortByAnOverflow) {
    // 4294968 seconds in milliseconds wraps a 32-bit count to 704 ms.
    TarnwickSession session({"4294968"});
    std::string path = session.copySample("plain.eml");
    ASSERT_EQ(session.startAndInitialise().front(),
              "* Quillmark's Tarnwick v1.12a running (4294968)...");
    session.send("2 FILE " + path);
    auto lines = session.readLines(4);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], jobLine("2", "Waiting 4294968 seconds"));
    EXPECT_EQ(session.child().readLine(Millis(1500)), std::nullopt);
    session.child().closeInput();
    EXPECT_EQ(session.child().waitExit(Millis(3000)), 0);
}

TEST(StartUpTest, NegativeWaitCountsAsZeroAndTheMessageIsStillAnswered) {
    TarnwickSession session({"-3"});
    std::string path = session.copySample("plain.eml");
    auto start = session.startAndInitialise();
    ASSERT_EQ(start.size(), 6u);
    EXPECT_EQ(start[1], "* This software uses a built-in MIME unpacker");
    session.send("2 FILE " + path);
    auto lines = session.readThrough(jobLine("2", "Thread processing done"));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[3], jobLine("2", "Waiting 0 seconds"));
    EXPECT_EQ(lines[lines.size() - 2], verdictAnswer("2", false));
}

TEST(StartUpTest, ScanMeIsCreatedInTheWorkingFolderAndLeftEmpty) {
    TarnwickSession session({"0"});
    std::string path = session.copySample("attachments.eml");
    session.startAndInitialise();
    session.send("5 FILE " + path);
    auto lines = session.readThrough(jobLine("5", "Thread processing done"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), jobLine("5", "Thread processing done"));
    EXPECT_TRUE(std::filesystem::is_directory(session.scanMe()));
    EXPECT_EQ(session.scanMeFiles(), std::vector<std::string>{});
    session.child().closeInput();
    EXPECT_EQ(session.child().waitExit(), 0);
}

}  // namespace
}  // namespace tarnwick::e2e
