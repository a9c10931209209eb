// SPDX-License-Identifier: Apache-2.0
// unpack_fuzz.cpp - libFuzzer target: any bytes as a message for the unpacker.
//
// Bytes in, unpackMessage over a MemorySource into a temporary folder, then
// removePartFiles; nothing else. The sanitizers and libFuzzer report the
// faults (crashes, overflows, undefined behaviour, leaks, slow inputs); this
// target checks no results of its own.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "unpacker/byte_source.h"
#include "unpacker/unpacker.h"

namespace {

// partFolder - a folder of this process's own for the part files, made once.
const std::string& partFolder() {
    static const std::string folder = [] {
        namespace fs = std::filesystem;
        // Parallel fuzzing processes (-jobs) must not share part files.
        const fs::path path = fs::temp_directory_path() /
                              ("tarnwick-unpack-fuzz-" + std::to_string(std::random_device{}()));
        fs::create_directories(path);
        return path.string();
    }();
    return folder;
}

}  // namespace

// LLVMFuzzerTestOneInput - unpacks one input and removes its part files.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto input = std::make_unique<tarnwick::unpacker::MemorySource>(
        std::string(reinterpret_cast<const char*>(data), size));
    tarnwick::unpacker::unpackMessage(std::move(input), 0, partFolder());
    tarnwick::unpacker::removePartFiles(0);
    return 0;
}
