// SPDX-License-Identifier: Apache-2.0
// front_harness.h - test helpers for the front end: a real pipe, a scratch
// folder, a scriptable filter, and a driver that runs the command loop on a
// thread of its own with the console log captured.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "front/filter_base.h"
#include "runtime/console_log.h"
#include "tests/common/temp_folder.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define TEST_PIPE(fds) _pipe(fds, 1 << 16, _O_BINARY)
#define TEST_WRITE _write
#define TEST_CLOSE _close
#else
#include <unistd.h>
#define TEST_PIPE(fds) pipe(fds)
#define TEST_WRITE ::write
#define TEST_CLOSE ::close
#endif

namespace tarnwick::test {

// Pipe - an anonymous pipe; the test writes, the code under test reads.
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(TEST_PIPE(fds), 0); }
    ~Pipe() {
        closeWrite();
        TEST_CLOSE(fds[0]);
    }
    int readEnd() const { return fds[0]; }
    void write(const std::string& bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
            const auto n = TEST_WRITE(fds[1], bytes.data() + done, unsigned(bytes.size() - done));
            ASSERT_GT(n, 0);
            done += std::size_t(n);
        }
    }
    void closeWrite() {
        if (fds[1] >= 0)
            TEST_CLOSE(fds[1]);
        fds[1] = -1;
    }
};

// ScratchFolder - an empty folder removed with its contents at the end.
struct ScratchFolder {
    std::filesystem::path root;
    ScratchFolder() { root = test_support::makeTempFolder("tarnwick-front"); }
    ~ScratchFolder() { std::filesystem::remove_all(root); }
    std::string file(const std::string& name,
                     const std::string& content = "Subject: x\n\nbody\n") const {
        std::ofstream(root / name, std::ios::binary) << content;
        return (root / name).string();
    }
};

// TestFilter - returns the result planned for a request number (Ok when none),
// optionally after waiting for release(number), or throws when asked to.
class TestFilter : public FilterBase {
  public:
    explicit TestFilter(bool threaded) : FilterBase(threaded) {}
    struct Plan {
        FilterResult result = okResult;
        bool hold = false;
        bool fail = false;
    };
    void plan(std::uint32_t id, Plan p) {
        std::lock_guard<std::mutex> guard(mutex_);
        plans_[id] = std::move(p);
    }
    void release(std::uint32_t id) {
        std::lock_guard<std::mutex> guard(mutex_);
        released_.insert(id);
        wake_.notify_all();
    }
    FilterResult processMessage(std::uint32_t id, const std::string& path) override {
        std::unique_lock<std::mutex> guard(mutex_);
        paths[id] = path;
        const Plan p = plans_.count(id) ? plans_[id] : Plan{};
        wake_.wait(guard, [&] { return !p.hold || released_.count(id) != 0; });
        if (p.fail)
            throw std::runtime_error("planned failure");
        return p.result;
    }
    void shutdown() override { ++shutdownCalls; }
    std::size_t inProgress() {
        MutexLock guard(lock);
        return activeRequests.size();
    }
    std::map<std::uint32_t, std::string> paths;
    int shutdownCalls = 0;

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<std::uint32_t, Plan> plans_;
    std::set<std::uint32_t> released_;
};

// countOf - occurrences of needle in text.
inline std::size_t countOf(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

// LoopDriver - FilterBase::run on its own thread, reading a pipe the test
// writes to, with the console log captured.
class LoopDriver {
  public:
    explicit LoopDriver(FilterBase& filter)
        : redirect_(captured_), loop_([this, &filter] { filter.run(pipe_.readEnd()); }) {}
    ~LoopDriver() { finish(); }
    void send(const std::string& bytes) { pipe_.write(bytes); }
    // finish - ends the input and waits for run to return.
    void finish() {
        pipe_.closeWrite();
        if (loop_.joinable())
            loop_.join();
    }
    std::string output() {
        MutexLock guard(consoleLock());
        return captured_.str();
    }
    // waitFor - waits until needle has appeared count times in the output.
    void waitFor(const std::string& needle, std::size_t count = 1) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (countOf(output(), needle) < count) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "never saw " << needle;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

  private:
    std::ostringstream captured_;
    ConsoleRedirect redirect_;
    Pipe pipe_;
    std::thread loop_;
};

// runScript - the whole of input through the loop; returns the output.
inline std::string runScript(FilterBase& filter, const std::string& input) {
    LoopDriver driver(filter);
    driver.send(input);
    driver.finish();
    return driver.output();
}

}  // namespace tarnwick::test
