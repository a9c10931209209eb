// SPDX-License-Identifier: Apache-2.0
// reading_fuzz.cpp - libFuzzer target: any bytes as a message for the second
// reading.
//
// Bytes in, written to a message file in a temporary folder, readSecondTime
// called, its extra files removed; nothing else. The sanitizers and
// libFuzzer report the faults; this target checks no results of its own.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "reading/second_reading.h"

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
    const tarnwick::reading::SecondReadingOutcome outcome =
        tarnwick::reading::readSecondTime(message, readingFolder(), 0, {});
    for (const std::string& path : outcome.extraFiles)
        std::remove(path.c_str());
    return 0;
}
