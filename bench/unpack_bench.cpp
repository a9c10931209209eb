// SPDX-License-Identifier: Apache-2.0
// unpack_bench.cpp - throughput and peak memory of the unpacker and the
// second reading doing the scan job's file work, over a folder of messages
// and over single large ones.
//
// For every message, in one process, exactly what a scan does to files:
// open it, skip the envelope block, copy the rest with the scan job's copy into
// the scratch folder and remove the copy again (first level), then position
// and unpack it (openMessageForUnpacking + unpackMessage) into the scratch
// folder, read it a second time (readSecondTimeAfterFirst with the account
// of the part files just written, as the scan job does) and remove the part
// files (removePartFiles) and the extra files.
// The anti-virus waits are left out: they are sleeps, not work. Each single
// message is also run as "unpack-only/NAME": positioning, both readings and
// removal without the copy, the work a stand-alone unpacker does, for
// comparisons with one. Every benchmark is run a second time with the first
// reading alone, named "first-reading/" followed by its name, so the second
// reading's share is the difference.
//
// Usage: unpack_bench [--data=DIR] [--folder=DIR] [--scratch=DIR] [benchmark flags]
//   DIR defaults to $TARNWICK_BENCH_DATA, else the source tree's bench/data
//   (written by bench/generate.py). Every regular file at the top of DIR is
//   one single-message benchmark (".b64" files, bare base64 text for the
//   comparison with base64 -d, are not messages); every sub-folder is one
//   folder benchmark, and --folder=DIR (or $TARNWICK_BENCH_FOLDER) adds one
//   over the messages of any other folder.
//   The scratch folder defaults to $TARNWICK_BENCH_SCRATCH, else the system's
//   temporary folder's "tarnwick-unpack-bench";
//   keep both on a tmpfs for stable figures. Without generated inputs the
//   unpacker's test messages are used, so the program always has work.
// Counters: bytes_per_second (input bytes), messages, part_files,
// extra_files (written by the second reading), agreed_parts (part files the
// second reading confirmed without decoding them again), spills_alive_peak (the most
// temporary files of the second reading alive at once) and peak_rss_mib (the process's peak
// resident set so far; run one benchmark per process with --benchmark_filter to read it per input).
//
// Not a test: it checks nothing about the part files' contents.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#endif

#include "client_reading/second_reading.h"
#include "front/filter_base.h"
#include "runtime/file_system.h"
#include "runtime/platform.h"
#include "scanner/message_copy.h"
#include "unpacker/message_input.h"
#include "unpacker/unpacker.h"

namespace {

namespace fs = std::filesystem;

// peakResidentMiB - the process's peak resident set size in MiB (0 where
// the system does not tell).
double peakResidentMiB() {
#if defined(__unix__) || defined(__APPLE__)
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
#if defined(__APPLE__)
        return static_cast<double>(usage.ru_maxrss) / (1024.0 * 1024.0);
#else
        return static_cast<double>(usage.ru_maxrss) / 1024.0;
#endif
    }
#endif
    return 0.0;
}

// copyAfterEnvelope - the first level's file work: the message without its
// envelope block copied to copyPath with the scan job's own copy, then the
// copy removed. Returns false when a file could not be opened or written.
bool copyAfterEnvelope(const std::string& messagePath, const std::string& copyPath) {
    tarnwick::CopyStreamBuffers streamBuffers;
    std::FILE* message = tarnwick::platform::openSharedFile(messagePath, "rb");
    if (message == nullptr)
        return false;
    streamBuffers.useForMessage(message);
    std::FILE* copy = tarnwick::platform::openSharedFile(copyPath, "wb");
    if (copy == nullptr) {
        std::fclose(message);
        return false;
    }
    streamBuffers.useForCopy(copy);
    tarnwick::skipEnvelope(message);
    bool ok = !tarnwick::copyMessage(message, copy).copyFailed;
    ok = std::fclose(copy) == 0 && ok;
    std::fclose(message);
    // The first level reads the size before removing; the size is not
    // needed here, but the status read is part of the work.
    ok = tarnwick::fileSize(copyPath) >= 0 && ok;
    return tarnwick::removeFile(copyPath) && ok;
}

// Totals of one pass over some messages.
struct PassTotals {
    std::int64_t partFiles = 0;
    std::int64_t extraFiles = 0;
    std::int64_t agreedParts = 0;
    std::int64_t spillsAlivePeak = 0;
    bool failed = false;
};

// What one benchmark does to each message.
struct ScanWork {
    bool withCopy = true;       // the first level's copy and its removal
    bool secondReading = true;  // the second reading and the removal of its files
};

// readAgainAndRemove - the second reading of the message after the first
// wrote its part files, and the removal of the extra files it wrote.
void readAgainAndRemove(const std::string& messagePath, const std::string& scratch, int number,
                        PassTotals& totals) {
    const tarnwick::client_reading::SecondReadingOutcome second =
        tarnwick::client_reading::readSecondTimeAfterFirst(
            messagePath, scratch, number, tarnwick::unpacker::firstReadingParts(number));
    if (second.writeFailed)
        totals.failed = true;
    totals.extraFiles += static_cast<std::int64_t>(second.extraFiles.size());
    totals.agreedParts += static_cast<std::int64_t>(second.agreedLeaves);
    totals.spillsAlivePeak =
        std::max(totals.spillsAlivePeak, static_cast<std::int64_t>(second.spillsAlivePeak));
    for (const std::string& path : second.extraFiles)
        if (!tarnwick::removeFile(path))
            totals.failed = true;
}

// scanFiles - the scan job's file work for one message; number is its
// message number.
void scanFiles(const std::string& messagePath, const std::string& scratch, int number,
               ScanWork work, PassTotals& totals) {
    const std::string copyPath =
        scratch + "/mail-" + std::to_string(static_cast<std::uint32_t>(number)) + "-msg.scanme";
    if (work.withCopy && !copyAfterEnvelope(messagePath, copyPath))
        totals.failed = true;
    std::unique_ptr<tarnwick::unpacker::ByteSource> input =
        tarnwick::unpacker::openMessageForUnpacking(messagePath);
    if (!input) {
        totals.failed = true;
        return;
    }
    const int unpacked = tarnwick::unpacker::unpackMessage(std::move(input), number, scratch);
    if (unpacked < 0)
        totals.failed = true;
    else
        totals.partFiles += unpacked;
    if (work.secondReading)
        readAgainAndRemove(messagePath, scratch, number, totals);
    if (tarnwick::unpacker::removePartFiles(number) != 0)
        totals.failed = true;
}

// runMessages - the benchmark body: every message once per iteration.
void runMessages(benchmark::State& state, const std::vector<std::string>& messages,
                 std::int64_t totalBytes, const std::string& scratch, ScanWork work) {
    PassTotals totals;
    int number = 0;
    for (auto _ : state) {
        totals = PassTotals{};
        for (const std::string& message : messages)
            scanFiles(message, scratch, number++, work, totals);
        if (totals.failed) {
            state.SkipWithError("a file could not be copied, unpacked or removed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * totalBytes);
    state.counters["messages"] = static_cast<double>(messages.size());
    state.counters["part_files"] = static_cast<double>(totals.partFiles);
    state.counters["extra_files"] = static_cast<double>(totals.extraFiles);
    state.counters["agreed_parts"] = static_cast<double>(totals.agreedParts);
    state.counters["spills_alive_peak"] = static_cast<double>(totals.spillsAlivePeak);
    state.counters["input_mb"] = static_cast<double>(totalBytes) / 1e6;
    state.counters["peak_rss_mib"] = peakResidentMiB();
}

// messagesIn - the regular files directly inside folder, sorted.
std::vector<std::string> messagesIn(const fs::path& folder) {
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (entry.is_regular_file() && entry.path().extension() != ".b64")
            files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// totalSize - the sum of the files' sizes in bytes.
std::int64_t totalSize(const std::vector<std::string>& files) {
    std::int64_t total = 0;
    for (const std::string& file : files)
        total += tarnwick::fileSize(file);
    return total;
}

// registerOne - two benchmarks over messages: name with both readings, and
// "first-reading/" + name with the first alone.
void registerOne(const std::string& name, std::vector<std::string> messages,
                 const std::string& scratch, bool withCopy = true) {
    if (messages.empty())
        return;
    const std::int64_t bytes = totalSize(messages);
    for (const bool secondReading : {true, false}) {
        const ScanWork work{withCopy, secondReading};
        const std::string fullName = secondReading ? name : "first-reading/" + name;
        benchmark::RegisterBenchmark(fullName.c_str(),
                                     [messages, bytes, scratch, work](benchmark::State& state) {
                                         runMessages(state, messages, bytes, scratch, work);
                                     })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
}

// takeOption - removes "--name=VALUE" from the arguments and returns VALUE
// (empty when absent).
std::string takeOption(int& argc, char** argv, const char* name) {
    const std::string prefix = std::string("--") + name + "=";
    std::string value;
    int kept = 1;
    for (int index = 1; index < argc; ++index) {
        if (std::strncmp(argv[index], prefix.c_str(), prefix.size()) == 0)
            value = argv[index] + prefix.size();
        else
            argv[kept++] = argv[index];
    }
    argc = kept;
    return value;
}

// fromEnvironment - the variable's value, or fallback when unset or empty.
std::string fromEnvironment(const char* variable, const std::string& fallback) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

}  // namespace

// main - registers one benchmark per input and runs them.
int main(int argc, char** argv) {
    std::string data = takeOption(argc, argv, "data");
    std::string scratch = takeOption(argc, argv, "scratch");
    std::string folder = takeOption(argc, argv, "folder");
    if (folder.empty())
        folder = fromEnvironment("TARNWICK_BENCH_FOLDER", "");
    if (data.empty())
        data = fromEnvironment("TARNWICK_BENCH_DATA", TARNWICK_BENCH_DEFAULT_DATA);
    if (!fs::is_directory(data)) {
        std::fprintf(stderr,
                     "unpack_bench: no inputs in %s (run bench/generate.py); using the test "
                     "messages\n",
                     data.c_str());
        data.clear();
        if (folder.empty())
            folder = TARNWICK_BENCH_TEST_MESSAGES;
    }
    if (scratch.empty())
        scratch = fromEnvironment("TARNWICK_BENCH_SCRATCH",
                                  (fs::temp_directory_path() / "tarnwick-unpack-bench").string());
    std::error_code error;
    fs::create_directories(scratch, error);
    if (!fs::is_directory(scratch)) {
        std::fprintf(stderr, "unpack_bench: cannot make the scratch folder %s\n", scratch.c_str());
        return 1;
    }

    std::vector<fs::path> folders;
    if (!data.empty()) {
        for (const std::string& message : messagesIn(data)) {
            const std::string name = fs::path(message).filename().string();
            registerOne("single/" + name, {message}, scratch);
            registerOne("unpack-only/" + name, {message}, scratch, false);
        }
        for (const auto& entry : fs::directory_iterator(data, error))
            if (entry.is_directory() && fs::absolute(entry.path()) != fs::absolute(scratch))
                folders.push_back(entry.path());
    }
    std::sort(folders.begin(), folders.end());
    for (const fs::path& sub : folders)
        registerOne("folder/" + sub.filename().string(), messagesIn(sub), scratch);
    if (!folder.empty())
        registerOne("folder/" + fs::path(folder).filename().string(), messagesIn(folder), scratch);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
