// SPDX-License-Identifier: Apache-2.0
// concurrency_test.cpp - the command loop in threaded mode: workers answering
// at once, the queue limit and the in-use refusal with held workers, and a
// loop that ends while requests still run.
#include "front_harness.h"
#include "runtime/platform.h"
#include "runtime/worker_pool.h"

namespace tarnwick {
namespace {

using test::countOf;
using test::LoopDriver;
using test::ScratchFolder;
using test::TestFilter;

const std::string intf = "1 intf\n";

TEST(ThreadedLoop, ManyWorkersAnsweringAtOnceKeepEveryLineWholeAndPaired) {
    constexpr std::uint32_t requests = 40;
    ScratchFolder scratch;
    const std::string path = scratch.file("m.eml");
    TestFilter filter(true);
    FilterResult headers("X-A: 1");
    headers.lines.push_back("X-B: \"2\"");
    std::string input = intf;
    for (std::uint32_t id = 1; id <= requests; ++id) {
        filter.plan(id, {headers, false, false});
        input += std::to_string(id) + " file " + path + "\n";
    }
    LoopDriver driver(filter);
    driver.send(input);
    driver.finish();
    driver.waitFor(") Thread processing done", requests);
    const std::string output = driver.output();
    for (std::uint32_t id = 1; id <= requests; ++id) {
        const std::string n = std::to_string(id);
        const auto started = output.find("* (" + n + ") Thread processing started\n");
        const auto answer = output.find("\n* Adding Header(s) to message\n" + n +
                                        " ADDHEADER \"X-A: 1\\eX-B: \\\"2\\\"\"\n");
        const auto done = output.find("\n* (" + n + ") Thread processing done\n");
        ASSERT_NE(answer, std::string::npos) << n;
        EXPECT_LT(started, answer);
        EXPECT_LT(answer, done);
    }
    EXPECT_EQ(countOf(output, "\n"), 3 + 4 * requests) << "a line was split or merged";
    EXPECT_EQ(filter.inProgress(), 0u);
}

TEST(ThreadedLoop, TheQueueLimitComesBeforeTheInUseTestAndLiftsWhenOneFinishes) {
    ScratchFolder scratch;
    const std::string path = scratch.file("m.eml");
    TestFilter filter(true);
    std::string input = intf;
    for (std::uint32_t id = 1; id <= maxActiveRequests + 1; ++id) {
        filter.plan(id, {okResult, true, false});
        input += std::to_string(id) + " file " + path + "\n";
    }
    LoopDriver driver(filter);
    driver.send(input + "01 file " + path + "\n");
    const std::string full =
        "REJECTED \"Too much files in queue (50), try again in a few seconds.\"\n";
    driver.waitFor("01 " + full);
    EXPECT_EQ(countOf(driver.output(), "51 " + full), 1u);
    filter.release(1);
    driver.waitFor("* (1) Thread processing done\n");
    driver.send("51 file " + path + "\n");
    driver.waitFor("* (51) Thread processing started\n");
    EXPECT_EQ(filter.inProgress(), maxActiveRequests);
    for (std::uint32_t id = 2; id <= maxActiveRequests + 1; ++id)
        filter.release(id);
    driver.waitFor(") Thread processing done", maxActiveRequests + 1);
    EXPECT_EQ(filter.inProgress(), 0u);
}

TEST(ThreadedLoop, TokensWithTheSameNumberAreRefusedAsInUseWithTheNumber) {
    const struct {
        std::string first, second;
        std::uint32_t number;
    } cases[] = {{"8", "08", 8}, {"4294967295", "-1", 4294967295u}, {"abc", "0", 0}};
    ScratchFolder scratch;
    const std::string path = scratch.file("m.eml");
    for (const auto& c : cases) {
        TestFilter filter(true);
        filter.plan(c.number, {okResult, true, false});
        LoopDriver driver(filter);
        const std::string n = std::to_string(c.number);
        driver.send(intf + c.first + " file " + path + "\n" + c.second + " file " + path + "\n");
        driver.waitFor(c.second + " REJECTED \"This request ID is already in use (" + n +
                       "), try again in a few seconds.\"\n");
        filter.release(c.number);
        driver.waitFor("* (" + n + ") Thread processing done\n");
        EXPECT_EQ(countOf(driver.output(), "\n" + n + " OK\n"), 1u);
    }
}

TEST(ThreadedLoop, EndOfInputReturnsWithoutWaitingForRunningRequests) {
    ScratchFolder scratch;
    const std::string path = scratch.file("m.eml");
    TestFilter filter(true);
    filter.plan(4, {FilterResult(FilterResult::Discard), true, false});
    LoopDriver driver(filter);
    driver.send(intf + "4 file " + path + "\n9 quit\n");
    driver.finish();
    EXPECT_EQ(countOf(driver.output(), "4 DISCARD"), 0u);
    EXPECT_EQ(filter.inProgress(), 1u);
    // The filter outlives the worker here; it must be kept until this line.
    filter.release(4);
    driver.waitFor("* Discarding message\n4 DISCARD\n* (4) Thread processing done\n");
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// idleWorkers - how many workers wait on the idle list right now.
std::size_t idleWorkers() {
    MutexLock guard(WorkerPool::idleLock());
    return WorkerPool::idle().size();
}

// Gate - holds the jobs that keep idle workers busy until opened.
struct Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
};

void waitAtGate(void* argument) {
    auto* gate = static_cast<Gate*>(argument);
    std::unique_lock<std::mutex> guard(gate->mutex);
    gate->opened.wait(guard, [gate] { return gate->open; });
}

TEST(ThreadedLoop, RequestWhoseWorkerCannotBeStartedIsRefusedAndItsNumberFreed) {
    test::ScratchFolder scratch;
    const std::string path = scratch.file("m.eml");
    // Keep every idle worker (earlier tests in this process leave some) busy,
    // so that the next request needs a new thread.
    Gate gate;
    while (idleWorkers() > 0)
        ASSERT_NE(WorkerPool::run(waitAtGate, &gate), nullptr);

    test::TestFilter filter(true);
    test::LoopDriver driver(filter);
    platform::refuseThreadStarts(1);
    driver.send("1 intf\n07 file " + path + "\n");
    driver.waitFor(
        "07 REJECTED \"Unable to start a processing thread, try again in a few"
        " seconds.\"\n");
    EXPECT_EQ(filter.inProgress(), 0u);

    // The number is free again: the mail server's retry is accepted.
    driver.send("07 file " + path + "\n");
    driver.waitFor("* (7) Thread processing done");
    EXPECT_EQ(countOf(driver.output(), " REJECTED "), 1u) << driver.output();
    EXPECT_EQ(countOf(driver.output(), "\n7 OK\n"), 1u) << driver.output();
    {
        std::lock_guard<std::mutex> guard(gate.mutex);
        gate.open = true;
    }
    gate.opened.notify_all();
}

}  // namespace
}  // namespace tarnwick
