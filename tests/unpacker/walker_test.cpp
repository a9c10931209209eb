// SPDX-License-Identifier: Apache-2.0
// walker_test.cpp - whole messages through unpackMessage: the golden cases
// under cases/ (NAME.eml beside NAME.expected/ with the part files and the
// result), each fed in reads of 1, 7 and many bytes; the nesting limit;
// failures to create part files; and the count across calls.
#include "unpacker/walker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/common/temp_folder.h"
#include "unpacker/part_files.h"
#include "unpacker/unpacker.h"

namespace tarnwick::unpacker {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// foldLineEnds - CR LF to LF, as the message input does; lone CRs stay.
std::string foldLineEnds(const std::string& text) {
    std::string folded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        folded += text[i];
    }
    return folded;
}

class WalkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = tarnwick::test_support::makeTempFolder("tarnwick-walker").string();
    }
    void TearDown() override {
        for (int message : {0, 1, 2})
            removePartFiles(message);
        fs::remove_all(folder_);
    }

    int unpack(const std::string& message, int number = 0, std::size_t readSize = 1 << 20) {
        return unpackMessage(std::make_unique<MemorySource>(message, readSize), number, folder_);
    }

    // contents - the part files registered under number, in order.
    std::vector<std::string> contents(int number) {
        std::vector<std::string> files;
        for (const std::string& path : registeredPartFiles(number))
            files.push_back(readFile(path));
        return files;
    }

    std::string folder_;
};

TEST_F(WalkerTest, GoldenCasesProduceExactlyTheExpectedPartFiles) {
    std::vector<fs::path> messages;
    for (const auto& entry : fs::directory_iterator(TARNWICK_MIME_CASES)) {
        if (entry.path().extension() == ".eml")
            messages.push_back(entry.path());
    }
    std::sort(messages.begin(), messages.end());
    ASSERT_GE(messages.size(), 15u);
    for (const fs::path& eml : messages) {
        fs::path expected = eml;
        expected.replace_extension(".expected");
        std::string message = foldLineEnds(readFile(eml));
        int expectedResult = std::stoi(readFile(expected / "result"));
        std::vector<std::string> expectedFiles;
        while (fs::exists(expected / ("part-" + std::to_string(expectedFiles.size()))))
            expectedFiles.push_back(
                readFile(expected / ("part-" + std::to_string(expectedFiles.size()))));

        for (std::size_t readSize : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
            SCOPED_TRACE(eml.filename().string() + " read size " + std::to_string(readSize));
            EXPECT_EQ(unpack(message, 0, readSize), expectedResult);
            std::vector<std::string> paths = registeredPartFiles(0);
            for (std::size_t i = 0; i < paths.size(); ++i)
                EXPECT_EQ(paths[i], partFileName(folder_, 0, static_cast<int>(i)));
            EXPECT_EQ(contents(0), expectedFiles);
            EXPECT_EQ(removePartFiles(0), 0);
        }
    }
}

// nestedMultiparts - levels multiparts inside each other; each level holds
// an attachment "L<level>" before its inner multipart.
std::string nestedMultiparts(int levels) {
    std::string message;
    for (int level = 1; level <= levels; ++level) {
        // The "z" keeps one level's boundary from being a prefix of another's.
        std::string b = "b" + std::to_string(level) + "z";
        message += "Content-Type: multipart/mixed; boundary=" + b + "\n\n--" + b +
                   "\nContent-Type: application/octet-stream\n\nL" + std::to_string(level) +
                   "\n--" + b + "\n";
    }
    message += "Content-Type: application/octet-stream\n\ninnermost\n";
    for (int level = levels; level >= 1; --level)
        message += "--b" + std::to_string(level) + "z--\n";
    return message;
}

TEST_F(WalkerTest, MultipartsBeyondTheNestingLimitAreDrainedAndTheWalkGoesOn) {
    std::string message = nestedMultiparts(kMaxNestingDepth + 6);
    // Cut before the outermost closing line and add a last attachment there.
    message.erase(message.rfind("--b1z--"));
    message += "--b1z\nContent-Type: application/octet-stream\n\nafter\n--b1z--\n";
    int result = unpack(message);
    std::vector<std::string> expected;
    for (int level = 1; level <= kMaxNestingDepth; ++level)
        expected.push_back("L" + std::to_string(level));
    expected.push_back("after");
    EXPECT_EQ(result, static_cast<int>(expected.size()));
    EXPECT_EQ(contents(0), expected);
}

TEST_F(WalkerTest, MultipartsExactlyAtTheNestingLimitAreAllUnpacked) {
    EXPECT_EQ(unpack(nestedMultiparts(kMaxNestingDepth - 1)), kMaxNestingDepth);
    EXPECT_EQ(contents(0).back(), "innermost");
}

TEST_F(WalkerTest, HundredThousandNestedMultipartsNeitherOverflowNorUnpackTheDepths) {
    std::string message =
        "Content-Type: multipart/mixed; boundary=top\n\n--top\n"
        "Content-Type: application/octet-stream\n\nshallow\n--top\n";
    for (int level = 0; level < 100000; ++level)
        message += "Content-Type: multipart/mixed; boundary=n" + std::to_string(level) +
                   "z\n\n--n" + std::to_string(level) + "z\n";
    message += "Content-Type: application/octet-stream\n\ndeep\n";
    EXPECT_EQ(unpack(message), 1);
    EXPECT_EQ(contents(0), std::vector<std::string>{"shallow"});
}

TEST_F(WalkerTest, PartFileThatCannotBeCreatedKeepsTheNumberingAndGivesMinusOne) {
    std::string message =
        "Content-Type: multipart/mixed; boundary=x\n\n"
        "--x\nContent-Type: application/octet-stream\n\none\n"
        "--x\nContent-Type: application/octet-stream\n\ntwo\n"
        "--x\nContent-Type: application/octet-stream\n\nthree\n--x--\n";
    fs::create_directory(partFileName(folder_, 1, 1));  // part 1 cannot be created
    EXPECT_EQ(unpack(message, 1), -1);
    EXPECT_EQ(registeredPartFiles(1),
              (std::vector<std::string>{partFileName(folder_, 1, 0), partFileName(folder_, 1, 2)}));
    EXPECT_EQ(contents(1), (std::vector<std::string>{"one", "three"}));
    EXPECT_EQ(removePartFiles(1), 0);
    // The flag belongs to one call: the next message starts clean.
    fs::remove(partFileName(folder_, 1, 1));
    EXPECT_EQ(unpack(message, 2), 3);
}

TEST_F(WalkerTest, UuencodedBlockThatCannotBeCreatedGivesMinusOne) {
    std::string message = "Subject: x\n\nbegin 644 a\n%2&5L;&\\`\n`\nend\n";
    EXPECT_EQ(unpackMessage(std::make_unique<MemorySource>(message), 0, folder_ + "/missing"), -1);
}

TEST_F(WalkerTest, CountIncludesFilesStillRegisteredFromAnEarlierCall) {
    std::string message = "Content-Type: application/zip\n\nPK\n";
    EXPECT_EQ(unpack(message, 1), 1);
    // The second call numbers from 0 again and so rewrites the same file,
    // which is registered twice.
    EXPECT_EQ(unpack(message, 1), 2);
    EXPECT_EQ(unpack(message, 2), 1);
}

TEST_F(WalkerTest, SubPartWithBoundaryOnItsFirstBodyLineIsRecognised) {
    std::string message =
        "Content-Type: multipart/mixed; boundary=q\n\n--q\n"
        "Content-Type: multipart/mixed; boundary=r\n\n--r\n"
        "Content-Type: application/octet-stream\n\ninner\n--r--\n--q--\n";
    EXPECT_EQ(unpack(message), 1);
    EXPECT_EQ(contents(0), std::vector<std::string>{"inner"});
}

}  // namespace
}  // namespace tarnwick::unpacker
