// SPDX-License-Identifier: Apache-2.0
// reading_fuzz.cpp - libFuzzer target: any bytes as a message for the second
// reading.
//
// Bytes in, written to a message file in a temporary folder, readSecondTime
// called, its extra files removed. Then the first reading unpacks the message
// and the second reading runs after it twice, with and without the first
// reading's account of its files: the extra files (their contents, in any
// order) and the signs must be the same, or the target aborts. The
// sanitizers and libFuzzer report the other faults.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "client_reading/second_reading.h"
#include "unpacker/message_input.h"
#include "unpacker/unpacker.h"

namespace {

// readingFolder - a folder of this process's own, made once.
const std::string& readingFolder() {
    static const std::string folder = [] {
        namespace fs = std::filesystem;
        // Parallel fuzzing processes (-jobs) must not share files.
        const fs::path path = fs::temp_directory_path() /
                              ("tarnwick-reading-fuzz-" + std::to_string(std::random_device{}()));
        fs::create_directories(path);
        return path.string();
    }();
    return folder;
}

// takeExtraFiles - the contents of the extra files of outcome, sorted, and
// the files removed.
std::vector<std::string> takeExtraFiles(
    const tarnwick::client_reading::SecondReadingOutcome& outcome) {
    std::vector<std::string> contents;
    for (const std::string& path : outcome.extraFiles) {
        std::ifstream in(path, std::ios::binary);
        contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        in.close();
        std::remove(path.c_str());
    }
    std::sort(contents.begin(), contents.end());
    return contents;
}

}  // namespace

// LLVMFuzzerTestOneInput - reads one input a second time and removes the
// files it wrote.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string message = readingFolder() + "/message.eml";
    std::FILE* file = std::fopen(message.c_str(), "wb");
    if (file == nullptr)
        return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    const tarnwick::client_reading::SecondReadingOutcome outcome =
        tarnwick::client_reading::readSecondTime(message, readingFolder(), 0, {});
    for (const std::string& path : outcome.extraFiles)
        std::remove(path.c_str());

    // With the first reading's account nothing the second reading shows may
    // change.
    tarnwick::unpacker::unpackMessage(tarnwick::unpacker::openMessageForUnpacking(message), 0,
                                      readingFolder());
    const auto plain = tarnwick::client_reading::readSecondTime(
        message, readingFolder(), 0, tarnwick::unpacker::registeredPartFiles(0));
    const std::vector<std::string> plainFiles = takeExtraFiles(plain);
    const auto after = tarnwick::client_reading::readSecondTimeAfterFirst(
        message, readingFolder(), 0, tarnwick::unpacker::firstReadingParts(0));
    const std::vector<std::string> afterFiles = takeExtraFiles(after);
    tarnwick::unpacker::removePartFiles(0);
    if (plainFiles != afterFiles || plain.signs != after.signs)
        std::abort();
    return 0;
}
