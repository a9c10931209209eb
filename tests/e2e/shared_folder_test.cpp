// SPDX-License-Identifier: Apache-2.0
// shared_folder_test.cpp - two filters and a tarnwick-scan run using one scan
// folder at the same time, beside the stand-in anti-virus: every verdict is
// each process's own, and nothing but the lock and probe files is left.
//
// The two filters get the same request numbers, the first one clean where
// the second one's is infected, so names the two processes shared would
// show as a wrong verdict.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "session.h"
#include "stand_in_av.h"

namespace tarnwick::e2e {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// The stand-in removes the scan files holding this (split so no file of the
// project holds it whole).
const std::string kMarker = std::string("TARNWICK-SHARED-") + "TEST-MARKER";

// untilDone - the lines of filter up to the closing notices of requests 7 and 8.
Lines untilDone(TarnwickSession& filter) {
    Lines lines;
    for (int done = 0; done < 2;) {
        auto line = filter.child().readLine(Millis(15000));
        if (!line)
            break;
        lines.push_back(*line);
        done += *line == jobLine("7", "Thread processing done") ||
                *line == jobLine("8", "Thread processing done");
    }
    return lines;
}

// has - true when line is among lines exactly once.
bool has(const Lines& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line) == 1;
}

TEST(SharedFolderTest, TwoFiltersAndAScanRunKeepTheirOwnVerdictsAndLeaveNothing) {
    TempFolder root;
    const std::string shared = root.path() + "/ScanMe";
    const std::string mail = root.path() + "/mail";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::owner_all);
    fs::create_directory(mail);
    std::ofstream(mail + "/clean.eml") << "Subject: clean\n\nnothing to see\n";
    std::ofstream(mail + "/infected.eml") << "Subject: infected\n\nbody\n" << kMarker << "\n";
    StandInAv av(shared, {{"", kMarker, AvAction::Delete}, {R"(probe-\d+\.scanme)", ""}});

    // A claims the folder first and holds it alone; B shares it.
    TarnwickSession first({"1", "--scan-dir", shared});
    ASSERT_EQ(first.readLines(4), bannerLines("1"));
    TarnwickSession second({"1", "--scan-dir", shared});
    const Lines secondStart = second.readLines(5);
    ASSERT_EQ(secondStart.size(), 5u);
    EXPECT_EQ(secondStart[3], "* Another Tarnwick is using " + shared +
                                  ", files left there by earlier runs are not touched");
    ChildProcess scan(TARNWICK_SCAN_EXE, {"--wait", "1", "--scan-dir", shared, mail}, mail);
    for (TarnwickSession* filter : {&first, &second}) {
        filter->send("1 INTF");
        filter->readLines(2);
    }
    first.send("7 FILE " + mail + "/clean.eml");
    first.send("8 FILE " + mail + "/infected.eml");
    second.send("7 FILE " + mail + "/infected.eml");
    second.send("8 FILE " + mail + "/clean.eml");

    const Lines firstLines = untilDone(first);
    EXPECT_TRUE(has(firstLines, verdictAnswer("7", false))) << ::testing::PrintToString(firstLines);
    EXPECT_TRUE(has(firstLines, verdictAnswer("8", true))) << ::testing::PrintToString(firstLines);
    const Lines secondLines = untilDone(second);
    EXPECT_TRUE(has(secondLines, verdictAnswer("7", true)))
        << ::testing::PrintToString(secondLines);
    EXPECT_TRUE(has(secondLines, verdictAnswer("8", false)))
        << ::testing::PrintToString(secondLines);
    Lines scanLines;
    while (auto line = scan.readLine(Millis(15000)))
        scanLines.push_back(*line);
    EXPECT_EQ(scanLines, (Lines{mail + "/clean.eml: OK",
                                mail + "/infected.eml: Virus Found (the message removed)"}));
    EXPECT_EQ(scan.waitExit(), 1);

    for (TarnwickSession* filter : {&first, &second}) {
        filter->send("9 QUIT");
        filter->child().closeInput();
        EXPECT_EQ(filter->child().waitExit(), 0);
    }
    // Left: the lock of the filter that held the folder alone, and the
    // probe's record and lock, which stay for the next run.
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(shared))
        left.insert(entry.path().filename().string());
    EXPECT_EQ(left,
              (std::set<std::string>{"tarnwick.lock", "tarnwick.probe", "tarnwick-probe.lock"}));
}

}  // namespace
}  // namespace tarnwick::e2e
