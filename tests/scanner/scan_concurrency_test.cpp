// SPDX-License-Identifier: Apache-2.0
// scan_concurrency_test.cpp - many scan jobs at once in one filter: the
// unpacker's shared state, the deferred clean-up and the console log are only
// touched under their locks, and the second readings run side by side without
// one (run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <cerrno>
#include <thread>

#include "tests/scanner/scan_fixture.h"

namespace tarnwick::testing {
namespace {

// The most requests the command loop lets run at once.
constexpr std::uint32_t kInFlight = 50;

TEST_F(ScanJobTest, FiftyRequestsUnpackingAtOnceAllGetTheirVerdict) {
    const std::string path = writeMessage("m.eml", twoAttachmentMessage());
    // Every fifth request has a part file the anti-virus keeps for good,
    // so the deferred clean-up runs beside the others.
    for (std::uint32_t id = 0; id < kInFlight; id += 5)
        LockedFiles::lock("msg-" + std::to_string(id + 1000) + "-part-1", EACCES);
    // All requests meet at the first wait, so that all of them unpack and
    // remove their part files at the same time afterwards.
    std::barrier meeting(static_cast<std::ptrdiff_t>(kInFlight));
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::FirstWait)
            meeting.arrive_and_wait();
    });
    std::vector<FilterResult> results(kInFlight, okResult);
    std::vector<std::thread> workers;
    for (std::uint32_t id = 0; id < kInFlight; ++id)
        workers.emplace_back([&, id] { results[id] = filter->processMessage(id + 1000, path); });
    for (std::thread& worker : workers)
        worker.join();

    for (std::uint32_t id = 0; id < kInFlight; ++id)
        EXPECT_EQ(results[id].lines, verdict(id % 5 == 0)) << id;
    std::set<int> expectedLeftovers;
    for (std::uint32_t id = 0; id < kInFlight; id += 5)
        expectedLeftovers.insert(static_cast<int>(id + 1000));
    EXPECT_EQ(deferredRequests(), expectedLeftovers);

    const std::vector<std::string> lines = takeLines();
    for (std::uint32_t id = 0; id < kInFlight; ++id) {
        const std::string unpacked = "* (" + std::to_string(id + 1000) + ") Unpacked 2 attachments";
        EXPECT_EQ(std::count(lines.begin(), lines.end(), unpacked), 1) << unpacked;
    }
    for (const std::string& line : lines)
        EXPECT_EQ(line.rfind("* ", 0), 0u) << line;

    LockedFiles::clear();
    filter->retryLeftovers();
    EXPECT_TRUE(scanMeEntries().empty());
}

TEST_F(ScanJobTest, FiftyRequestsWritingExtraFilesAtOnceAllGetTheirVerdict) {
    // The separator line hides the attachment from the first reading, so
    // each request's second reading writes one extra file, without the lock.
    const std::string path = writeMessage("m.eml",
                                          "From a@example.org Mon Jan  1 10:00:00 2024\n"
                                          "Content-Type: application/octet-stream\n"
                                          "Content-Transfer-Encoding: base64\n"
                                          "\n"
                                          "aGlkZGVuIGF0dGFjaG1lbnQK\n");
    for (std::uint32_t id = 0; id < kInFlight; id += 5)
        LockedFiles::lock("msg-" + std::to_string(id + 2000) + "-extra-0", EACCES);
    std::barrier meeting(static_cast<std::ptrdiff_t>(kInFlight));
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::FirstWait)
            meeting.arrive_and_wait();
    });
    std::vector<FilterResult> results(kInFlight, okResult);
    std::vector<std::thread> workers;
    for (std::uint32_t id = 0; id < kInFlight; ++id)
        workers.emplace_back([&, id] { results[id] = filter->processMessage(id + 2000, path); });
    for (std::thread& worker : workers)
        worker.join();

    std::set<int> expectedLeftovers;
    for (std::uint32_t id = 0; id < kInFlight; ++id) {
        EXPECT_EQ(results[id].lines, verdict(id % 5 == 0)) << id;
        if (id % 5 == 0)
            expectedLeftovers.insert(static_cast<int>(id + 2000));
    }
    EXPECT_EQ(deferredRequests(), expectedLeftovers);
    const std::vector<std::string> lines = takeLines();
    for (std::uint32_t id = 0; id < kInFlight; ++id) {
        const std::string found =
            "* (" + std::to_string(id + 2000) + ") Second reading found 1 more attachments";
        EXPECT_EQ(std::count(lines.begin(), lines.end(), found), 1) << found;
    }

    LockedFiles::clear();
    filter->retryLeftovers();
    EXPECT_TRUE(scanMeEntries().empty());
}

}  // namespace
}  // namespace tarnwick::testing
