// SPDX-License-Identifier: Apache-2.0
// reading_fixture.h - runs the second reading over a message built by a test.
//
// Each test gets a fresh folder; the message and any first-reading files are
// written there, readSecondTime runs, and the fixture returns the contents
// of the extra files in K order together with the signs. It also checks
// that no temporary file of the reading was left behind.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client_reading/second_reading.h"
#include "tests/common/temp_folder.h"

namespace tarnwick::client_reading::test {

// kMessageNumber - the number every test reads its message under.
inline constexpr int kMessageNumber = 7;

struct ReadResult {
    std::vector<std::string> contents;  // extra files, in K order
    std::vector<std::string> names;     // their file names
    std::vector<std::string> signs;
    bool writeFailed = false;
    bool hasSign(const std::string& name) const {
        for (const std::string& sign : signs)
            if (sign == name)
                return true;
        return false;
    }
};

class ReadingTest : public ::testing::Test {
  protected:
    void TearDown() override { std::filesystem::remove_all(folder_); }

    static std::string slurp(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // read - reads message with firstFiles as the first reading's files.
    ReadResult read(const std::string& message, const std::vector<std::string>& firstFiles = {},
                    const ReadingBounds* bounds = nullptr) {
        const std::filesystem::path messagePath = folder_ / "message.eml";
        {
            std::ofstream out(messagePath, std::ios::binary);
            out << message;
        }
        std::vector<std::string> firstPaths;
        for (std::size_t i = 0; i < firstFiles.size(); ++i) {
            const std::filesystem::path path =
                folder_ / ("msg-7-part-" + std::to_string(i) + ".scanme");
            std::ofstream out(path, std::ios::binary);
            out << firstFiles[i];
            firstPaths.push_back(path.string());
        }
        const SecondReadingOutcome outcome =
            bounds == nullptr
                ? readSecondTime(messagePath.string(), folder_.string(), kMessageNumber, firstPaths)
                : readSecondTime(messagePath.string(), folder_.string(), kMessageNumber, firstPaths,
                                 *bounds);
        ReadResult result;
        for (const std::string& path : outcome.extraFiles) {
            result.contents.push_back(slurp(path));
            result.names.push_back(std::filesystem::path(path).filename().string());
        }
        result.signs = outcome.signs;
        result.writeFailed = outcome.writeFailed;
        // Only the message, the first reading's and the extra files remain.
        std::size_t entries = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder_))
            ++entries;
        EXPECT_EQ(entries, 1 + firstFiles.size() + outcome.extraFiles.size());
        // Scan files are made only as new files: the next reading here
        // starts without this one's.
        for (const std::string& path : outcome.extraFiles)
            std::filesystem::remove(path);
        return result;
    }

    std::filesystem::path folder_ = test_support::makeTempFolder("tarnwick-reading");
};

// multipart - a multipart/mixed message with boundary b and the given parts
// (each a header block, empty line and body), LF line ends.
inline std::string multipart(const std::string& boundary, const std::vector<std::string>& parts,
                             const std::string& extraHeader = {}) {
    std::string text = "Subject: test\nMIME-Version: 1.0\n" + extraHeader +
                       "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\n\npreamble\n";
    for (const std::string& part : parts)
        text += "--" + boundary + "\n" + part + "\n";
    text += "--" + boundary + "--\n";
    return text;
}

// yencEncoded - bytes as a yEnc data line.
inline std::string yencEncoded(const std::string& bytes) {
    std::string out;
    for (char c : bytes) {
        const auto encoded = static_cast<unsigned char>(static_cast<unsigned char>(c) + 42);
        if (encoded == 0 || encoded == '\n' || encoded == '\r' || encoded == '=') {
            out.push_back('=');
            out.push_back(static_cast<char>(static_cast<unsigned char>(encoded + 64)));
        } else {
            out.push_back(static_cast<char>(encoded));
        }
    }
    return out;
}

}  // namespace tarnwick::client_reading::test
