// SPDX-License-Identifier: Apache-2.0
// av_watch_test.cpp - the anti-virus probe beside a filter run, end to end:
// its line, and --require-av postponing messages while no anti-virus has
// been seen to react.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "session.h"
#include "stand_in_av.h"

namespace tarnwick::e2e {
namespace {

constexpr const char* kCheckPrefix = "* Anti-virus check: ";

// readCheckLine - lines up to and including the first line of the probe.
std::vector<std::string> readCheckLine(TarnwickSession& session) {
    std::vector<std::string> lines;
    // The probe watches for 5 s at least; Millis bounds each single line.
    while (auto line = session.child().readLine(Millis(10000))) {
        lines.push_back(*line);
        if (line->rfind(kCheckPrefix, 0) == 0)
            break;
    }
    return lines;
}

TEST(AvWatchTest, WithoutAnAntivirusRequireAvPostponesEveryMessageAndTheProbeSaysWhy) {
    TarnwickSession session({"0", "--require-av"});
    const std::string path = session.copySample("plain.eml");
    session.startAndInitialise();
    // The probe has not finished yet: that counts as not watching.
    session.send("2 FILE " + path);
    EXPECT_EQ(session.readThrough(jobLine("2", "Thread processing done")),
              (std::vector<std::string>{
                  jobLine("2", "Thread processing started"),
                  jobLine("2",
                          "The anti-virus is not watching ScanMe, the message will be tried again "
                          "later"),
                  "* Postponing message",
                  "2 REJECTED \"The anti-virus is not watching ScanMe, try again later.\"",
                  jobLine("2", "Thread processing done"),
              }));
    const std::vector<std::string> lines = readCheckLine(session);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(),
              "* Anti-virus check: nothing happened to the test file in ScanMe within 5 s; the "
              "anti-virus is not watching this folder, and verdicts mean nothing until it does.");
    EXPECT_EQ(session.scanMeFiles(), std::vector<std::string>{});
}

TEST(AvWatchTest, AWatchingAntivirusIsLoggedAndItsMessagesAreScannedInTheChosenFolder) {
    TarnwickSession session(
        {"0", "--require-av", "--scan-dir", "queue/scan"}, {},
        [](const std::string& folder) { std::filesystem::create_directory(folder + "/queue"); });
    StandInAv av(session.folder() + "/queue/scan",
                 {{"probe-[0-9]+\\.scanme", "", AvAction::Delete, 0, 0}});
    const std::string path = session.copySample("plain.eml");
    const std::vector<std::string> lines = readCheckLine(session);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(
        lines.back().rfind("* Anti-virus check: the test file in ScanMe was removed after ", 0), 0u)
        << lines.back();
    EXPECT_NE(lines.back().find(" s; the anti-virus is watching."), std::string::npos);
    session.send("1 INTF");
    session.readLines(2);
    session.send("2 FILE " + path);
    const std::vector<std::string> answer =
        session.readThrough(jobLine("2", "Thread processing done"));
    ASSERT_GE(answer.size(), 2u);
    EXPECT_EQ(answer[answer.size() - 2], verdictAnswer("2", false));
    EXPECT_FALSE(std::filesystem::exists(session.scanMe()));
    // Nothing but the lock file of the filter that owns the folder is left.
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(session.folder() + "/queue/scan"))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"tarnwick.lock"});
}

}  // namespace
}  // namespace tarnwick::e2e
