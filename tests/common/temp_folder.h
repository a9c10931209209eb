// SPDX-License-Identifier: Apache-2.0
// temp_folder.h - a fresh, uniquely named folder for one test.
//
// ctest runs every test case as a process of its own, two at a time, and
// several builds (plain, sanitizers, Windows) may run the same suite; fixed
// folder names would let those processes trample on each other's files.
#pragma once

#include <filesystem>
#include <random>
#include <string>

namespace tarnwick::test_support {

// makeTempFolder - creates <temp>/<prefix>-<random> and returns its path.
inline std::filesystem::path makeTempFolder(const std::string& prefix) {
    std::random_device entropy;
    std::mt19937_64 generator((static_cast<std::uint64_t>(entropy()) << 32) ^ entropy());
    for (;;) {
        std::filesystem::path candidate =
            std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(generator()));
        if (std::filesystem::create_directory(candidate))
            return candidate;
    }
}

}  // namespace tarnwick::test_support
