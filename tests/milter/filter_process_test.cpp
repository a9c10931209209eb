// SPDX-License-Identifier: Apache-2.0
// filter_process_test.cpp - the bridge's one filter process under many
// callers at once, without the milter library in between: the filter must
// see every request and never more than fifty of them unanswered.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "milter/bridge_log.h"
#include "milter/filter_process.h"
#include "tests/common/temp_folder.h"

namespace tarnwick::milter {
namespace {

// Seventy callers at once against the stand-in filter, which answers none of
// its "held" requests before fifty are in flight: all seventy are answered,
// and the most it ever held is exactly the bridge's limit.
TEST(FilterProcessTest, FillsEveryOneOfTheFiftySlotsAndNeverMore) {
    const std::filesystem::path folder = test_support::makeTempFolder("filter-process");
    ::setenv("STAND_IN_RECORD", folder.c_str(), 1);
    const std::string message = (folder / "held.eml").string();
    std::ofstream(message) << "Subject: test\r\nX-Script: held\r\n\r\nHello.\r\n";

    BridgeLog log(true);
    FilterProcess filter(FilterCommand{TARNWICK_STAND_IN_FILTER, {}, folder.string()}, log,
                         std::chrono::seconds(120));
    filter.start();
    std::atomic<int> answered{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 70; ++i)
        callers.emplace_back([&] {
            std::string filterLine;
            if (filter.scan(message, filterLine).has_value())
                ++answered;
        });
    for (std::thread& caller : callers)
        caller.join();
    filter.stop();

    EXPECT_EQ(answered.load(), 70);
    int most = 0;
    std::ifstream(folder / "most-in-flight") >> most;
    EXPECT_EQ(most, static_cast<int>(maxRequestsInFlight));
    ::unsetenv("STAND_IN_RECORD");
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace tarnwick::milter
