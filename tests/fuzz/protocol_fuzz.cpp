// SPDX-License-Identifier: Apache-2.0
// protocol_fuzz.cpp - libFuzzer target: any bytes as the mail server's
// commands to the threaded command loop.
//
// Bytes in, FilterBase::run over them with a stand-in filter whose result
// depends on the request number only, the workers waited for (within a
// bounded time: beyond it the run counts as hung), then the captured output
// checked by checkProtocolOutput. The stand-in itself checks that no two
// requests of one number are processed at once. A failed check aborts, which
// libFuzzer reports as a crash; the sanitizers report the rest. The paths
// FILE may name are made once in a fixed folder (kFixtureFolder), so that
// the seeds can name them.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "front/filter_base.h"
#include "runtime/console_log.h"
#include "tests/fuzz/protocol_output_check.h"

namespace tarnwick {
namespace {

// Where the seeds' paths point: two messages (one with a tab, a quote and a
// backslash in its name), a folder and a FIFO.
constexpr const char* kFixtureFolder = "/tmp/tarnwick-protocol-fuzz";
// Longest wait for the workers of one input to finish: far beyond what a
// stand-in filter that returns at once needs; beyond it the run counts as hung.
constexpr std::chrono::seconds kWorkerDeadline(20);

// fail - reports a broken property with the output, and stops.
[[noreturn]] void fail(const std::string& what, const std::string& output) {
    std::fprintf(stderr, "protocol_fuzz: %s\n--- output ---\n%s--- end ---\n", what.c_str(),
                 output.c_str());
    std::abort();
}

// StandInFilter - the result of a request is a function of its number, with
// header lines that hold every byte the quoting must escape. It never answers
// Ok: the outcome line "* OK" reads the same as the immediate answer to a
// KEY whose token is "*", and the checks could not tell them apart.
// It also checks the one promise the command loop makes about overlapping
// calls: never two at once for the same number.
class StandInFilter : public FilterBase {
  public:
    StandInFilter() : FilterBase(true) {}
    FilterResult processMessage(std::uint32_t requestId, const std::string&) override {
        {
            std::lock_guard<std::mutex> guard(runningLock_);
            if (!running_.insert(requestId).second)
                fail("two requests numbered " + std::to_string(requestId) + " ran at once", "");
        }
        FilterResult result(kindFor(requestId));
        if (requestId % 3 != 0 || result.kind == FilterResult::AddHeader)
            result.lines = {"X-A: \"q\"\t\\e\\", "", "X-B: \r\n" + std::to_string(requestId)};
        std::lock_guard<std::mutex> guard(runningLock_);
        running_.erase(requestId);
        return result;
    }
    // kindFor - Postpone, Reject, Discard or AddHeader, by the number.
    static int kindFor(std::uint32_t requestId) {
        return FilterResult::Postpone + static_cast<int>(requestId % 4);
    }

  private:
    std::mutex runningLock_;
    std::set<std::uint32_t> running_;
};

// makeFixtures - the files and folders the seeds name; kept between runs.
void makeFixtures() {
    namespace fs = std::filesystem;
    const fs::path folder = kFixtureFolder;
    fs::create_directories(folder / "dir");
    std::ofstream(folder / "m.eml") << "Subject: x\n\nbody\n";
    std::ofstream(folder / "odd\t\"name\\e.eml") << "Subject: y\n\nbody\n";
    ::mkfifo((folder / "fifo").c_str(), 0600);
}

// capturedOutput - what the console log received so far, read under its lock.
std::string capturedOutput(const std::ostringstream& captured) {
    MutexLock guard(consoleLock());
    return captured.str();
}

}  // namespace
}  // namespace tarnwick

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarnwick::makeFixtures();
    return 0;
}

// LLVMFuzzerTestOneInput - runs the loop over one input and checks its output.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnwick;
    // The commands come from a file in memory: the loop reads them as it
    // reads a pipe, and reaches their end without waiting.
    const int input = ::memfd_create("protocol-fuzz-input", MFD_CLOEXEC);
    if (input < 0 || ::write(input, data, size) != static_cast<ssize_t>(size) ||
        ::lseek(input, 0, SEEK_SET) != 0) {
        std::perror("protocol_fuzz: input file");
        std::abort();
    }
    std::ostringstream captured;
    {
        ConsoleRedirect redirect(captured);
        auto* filter = new StandInFilter();
        filter->run(input);
        // The filter must outlive its workers: wait for every request's
        // closing line, which each worker writes last.
        const auto deadline = std::chrono::steady_clock::now() + kWorkerDeadline;
        for (;;) {
            const std::string output = capturedOutput(captured);
            std::size_t started = 0;
            std::size_t done = 0;
            countRequestLines(output, started, done);
            if (done == started)
                break;
            if (std::chrono::steady_clock::now() > deadline)
                fail("requests still unanswered after the deadline", output);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        delete filter;
    }
    ::close(input);
    const std::string problem = checkProtocolOutput(captured.str(), StandInFilter::kindFor);
    if (!problem.empty())
        fail(problem, captured.str());
    return 0;
}
