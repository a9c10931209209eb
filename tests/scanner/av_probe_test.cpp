// SPDX-License-Identifier: Apache-2.0
// av_probe_test.cpp - the anti-virus probe on a clock of the test's own: the
// anti-virus is played in the probe's pauses, so every reaction time is
// exact and no test waits for real.
#include "scanner/av_probe.h"
#include "runtime/platform.h"
#include "scanfiles/scan_names.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "runtime/platform.h"
#include "scanfiles/scan_names.h"
#include "scanner/av_evidence.h"
#include "tests/common/temp_folder.h"

namespace tarnwick {
namespace {

// Antivirus - what the played anti-virus does to the test file, and when.
enum class Antivirus { Removes, Cleans, Nothing };

TEST(AvProbe, ReactionBoundAndLinesFollowWhatBecameOfTheTestFile) {
    const std::string watching = "* Anti-virus check: the test file in ScanMe was ";
    const struct {
        Antivirus antivirus;
        std::int64_t reactsAfter;  // milliseconds after the close
        int wait;
        std::vector<std::string> lines;
    } cases[] = {
        {Antivirus::Removes,
         400,
         5,
         {watching + "removed after 0.4 s; the anti-virus is watching."}},
        {Antivirus::Cleans,
         1300,
         2,
         {watching + "changed after 1.3 s; the anti-virus is watching."}},
        // Slower than a wait below the shortest watch: advice, rounded up.
        {Antivirus::Removes,
         3400,
         2,
         {watching + "removed after 3.4 s; the anti-virus is watching.",
          "* Anti-virus check: the anti-virus took 3.4 s, longer than the wait of 2 s; give "
          "tarnwick a wait of at least 4 s."}},
        {Antivirus::Removes,
         4000,
         3,
         {watching + "removed after 4.0 s; the anti-virus is watching.",
          "* Anti-virus check: the anti-virus took 4.0 s, longer than the wait of 3 s; give "
          "tarnwick a wait of at least 4 s."}},
        {Antivirus::Removes,
         11900,
         12,
         {watching + "removed after 11.9 s; the anti-virus is watching."}},
        // Watched for the wait, but for 5 s at least and 30 s at most.
        {Antivirus::Removes,
         6000,
         0,
         {"* Anti-virus check: nothing happened to the test file in ScanMe within 5 s; the "
          "anti-virus is not watching this folder, and verdicts mean nothing until it does."}},
        {Antivirus::Nothing,
         0,
         90,
         {"* Anti-virus check: nothing happened to the test file in ScanMe within 30 s; the "
          "anti-virus is not watching this folder, and verdicts mean nothing until it does."}},
    };
    const std::filesystem::path folder = test_support::makeTempFolder("tarnwick-probe");
    for (const auto& c : cases) {
        std::int64_t now = 1000;
        std::string seen;
        ProbeClock clock;
        clock.nowMilliseconds = [&now] { return now; };
        clock.sleep = [&](std::int64_t milliseconds) {
            now += milliseconds;
            for (const auto& entry : std::filesystem::directory_iterator(folder)) {
                std::ifstream(entry.path(), std::ios::binary) >> seen;
                if (c.antivirus == Antivirus::Nothing || now - 1000 < c.reactsAfter)
                    continue;
                if (c.antivirus == Antivirus::Removes)
                    std::filesystem::remove(entry.path());
                else
                    std::filesystem::resize_file(entry.path(), 0);
            }
        };
        const ProbeResult result = runAvProbe(folder.string(), c.wait, clock);
        EXPECT_EQ(probeLines(result, c.wait), c.lines) << c.reactsAfter;
        // The anti-virus saw the standard test file, and nothing is left.
        EXPECT_EQ(seen.size(), 68u);
        EXPECT_EQ(seen, antivirusTestFile());
        EXPECT_TRUE(std::filesystem::is_empty(folder)) << c.reactsAfter;
    }
    std::filesystem::remove_all(folder);
}

// Under a 60 s interval, in milliseconds: probes pass or fail, and messages
// whose scan began at one time ask for a verdict at another.
TEST(AvProbe, VerdictsOnlyWhileTheLastPassedProbeIsRecent) {
    enum Step { Pass, Fail, Answer };
    const struct {
        Step step;
        std::int64_t at;
        std::int64_t scanBegan;  // for Answer
        bool verdict;            // for Answer
    } steps[] = {
        {Answer, 1000, 0, false},  // no probe yet
        {Pass, 5000, 0, false},          {Answer, 6000, 5500, true},
        {Answer, 125000, 124000, true},   // two intervals after the pass
        {Answer, 125001, 124000, false},  // stale
        {Pass, 185000, 0, false},        {Fail, 245000, 0, false},
        {Answer, 245100, 245050, false},  // the last probe failed
        {Pass, 253000, 0, false},         // retried, recovered
        {Answer, 254000, 244000, false},  // its scan began before the failure
        {Answer, 254000, 246000, true},
    };
    AvEvidence evidence;
    evidence.setInterval(60);
    for (const auto& s : steps) {
        if (s.step == Answer)
            EXPECT_EQ(evidence.allowsVerdict(s.scanBegan, s.at), s.verdict) << s.at;
        else
            evidence.recordProbe(s.step == Pass, s.at);
    }
}

}  // namespace
#ifndef _WIN32
TEST(AvProbe, TestFileNameTakenByALinkIsNoReactionAndIsLeftAlone) {
    const std::filesystem::path folder = test_support::makeTempFolder("tarnwick-probe-link");
    const std::string probe = probeFileName(folder.string(), platform::currentProcessId());
    std::filesystem::create_symlink("/nonexistent", probe);
    const ProbeResult result = runAvProbe(folder.string(), 0);
    EXPECT_EQ(result.reaction, ProbeReaction::NotWritten);
    EXPECT_TRUE(std::filesystem::is_symlink(probe));
    std::filesystem::remove_all(folder);
}
#endif

}  // namespace tarnwick
