// SPDX-License-Identifier: Apache-2.0
// message_input_test.cpp - the text-mode translation of TextModeFile (also
// with CR LF pairs split across file reads and caller reads) and where
// openMessageForUnpacking starts the message in each of the three cases.
#include "unpacker/message_input.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

namespace tarnwick::unpacker {
namespace {

namespace fs = std::filesystem;

// A name of this run's own, so that builds testing side by side never share
// a file.
const std::string& runTag() {
    static const std::string tag = std::to_string(std::random_device{}());
    return tag;
}

fs::path writeFile(const std::string& name, const std::string& content) {
    const fs::path path = fs::temp_directory_path() / ("tarnwick-input-" + runTag() + "-" + name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

// readAll - every byte of the source, in reads of readSize bytes.
std::string readAll(ByteSource& source, std::size_t readSize) {
    std::string out;
    std::string buffer(readSize, '\0');
    for (std::size_t n; (n = source.read(buffer.data(), readSize)) != 0;)
        out.append(buffer, 0, n);
    return out;
}

constexpr std::size_t kRawSizes[] = {2, 3, 5, TextModeFile::kRawBufferSize};
constexpr std::size_t kReadSizes[] = {1, 2, 4, 1024};

TEST(TextModeFile, FoldsCrLfKeepsLoneCrAndCtrlZWhereverReadsSplitThem) {
    const struct {
        std::string raw;
        std::string folded;
    } cases[] = {
        {"a\r\nb\r\n", "a\nb\n"},
        {"a\rb\r", "a\rb\r"},
        {"a\r\r\nb", "a\r\nb"},
        {"\r\n\r\n\r\n", "\n\n\n"},
        {"\n\r", "\n\r"},
        {"x\x1ay\r\n\x1a", "x\x1ay\n\x1a"},
        {std::string("\0\r\0\r\n\xff", 6), std::string("\0\r\0\n\xff", 5)},
        {"", ""},
        // Long enough for the sixteen-byte steps, with CRs at and around
        // their edges.
        {std::string(15, 'a') + "\r\n" + std::string(14, 'b') + "\r" + std::string(16, 'c') +
             "\r\n\r\r\n" + std::string(40, 'd') + "\r",
         std::string(15, 'a') + "\n" + std::string(14, 'b') + "\r" + std::string(16, 'c') +
             "\n\r\n" + std::string(40, 'd') + "\r"},
    };
    int file = 0;
    for (const auto& c : cases) {
        const fs::path path = writeFile("fold-" + std::to_string(file++), c.raw);
        for (std::size_t rawSize : kRawSizes) {
            for (std::size_t readSize : kReadSizes) {
                TextModeFile input(std::fopen(path.string().c_str(), "rb"), rawSize);
                EXPECT_EQ(readAll(input, readSize), c.folded)
                    << ::testing::PrintToString(c.raw) << " raw " << rawSize << " read "
                    << readSize;
                // Every folded byte maps back to its place in the file.
                for (std::size_t at = 0, raw = 0; at < c.folded.size(); ++at) {
                    std::uint64_t offset = 0;
                    ASSERT_TRUE(input.storedOffset(c.folded.size() - at, offset));
                    EXPECT_EQ(offset, raw) << ::testing::PrintToString(c.raw) << " at " << at;
                    raw += c.raw.compare(raw, 2, "\r\n") == 0 ? 2 : 1;
                }
            }
        }
        fs::remove(path);
    }
}

TEST(TextModeFile, CrLfSplitAcrossTwoFileReadsBecomesOneLf) {
    // The CR is the last byte of the first 64 KiB read, the LF the first
    // byte of the second.
    std::string raw(TextModeFile::kRawBufferSize - 1, 'a');
    raw += "\r\nb";
    const fs::path path = writeFile("split", raw);
    std::string expected(TextModeFile::kRawBufferSize - 1, 'a');
    expected += "\nb";
    {
        TextModeFile input(std::fopen(path.string().c_str(), "rb"));
        EXPECT_EQ(readAll(input, 4096), expected);
    }
    fs::remove(path);
}

TEST(MessageInput, StartsAtTheMessagesOwnHeaderBlock) {
    const struct {
        const char* name;
        std::string file;
        std::string message;
    } cases[] = {
        {"EnvelopeBlockIsSkipped", "U user@x\nR rcpt@y\n\nSubject: s\n\nbody\n",
         "Subject: s\n\nbody\n"},
        {"EnvelopeBlockWithCrLfIsSkipped", "U user@x\r\nR rcpt@y\r\n\r\nSubject: s\r\n\r\nb",
         "Subject: s\n\nb"},
        {"EnvelopeEndedByLfCr", "U x\n\n\rSubject: s\n", "Subject: s\n"},
        {"EnvelopeWithCrLineEnds", "U x\rR y\r\rSubject: s\r", "Subject: s\r"},
        {"EnvelopeWithWindowsLetters", "\xc0\t\xde x\n\nSubject: s\n", "Subject: s\n"},
        {"EnvelopeWithoutEmptyLineLeavesNothing", "U x\nR y\n", ""},
        {"HeaderLineFirstSkipsNothing", "Subject: s\n\nbody\n", "Subject: s\n\nbody\n"},
        {"ShortHeaderLineSkipsNothing", "A: b\r\n\r\nbody", "A: b\n\nbody"},
        {"HeaderLineWithCtrlZKeepsEverything", "Subject: \x1a\n\n\x1arest",
         "Subject: \x1a\n\n\x1arest"},
        {"OtherFirstLineSkipsThroughTheFirstEmptyLine",
         "From someone Mon Jan 1\nX-Y: z\n\nSubject: s\n", "Subject: s\n"},
        {"EmptyFirstLineIsAllThatIsSkipped", "\nSubject: s\n", "Subject: s\n"},
        {"BlankBeforeColonIsNoHeaderLine", "Subject : s\n\nbody", "body"},
        {"NoEmptyLineSkipsEverything", "abc def\nxyz", ""},
        {"EmptyFile", "", ""},
    };
    for (const auto& c : cases) {
        const fs::path path = writeFile(c.name, c.file);
        std::unique_ptr<ByteSource> input = openMessageForUnpacking(path.string());
        ASSERT_NE(input, nullptr) << c.name;
        EXPECT_EQ(readAll(*input, 3), c.message) << c.name;
        input.reset();
        fs::remove(path);
    }
}

TEST(MessageInput, OverlongFieldNameIsNoHeaderLine) {
    const std::string name(kMaxFirstLineLookAhead + 10, 'X');
    const fs::path path = writeFile("long-name", name + ": v\n\nbody");
    std::unique_ptr<ByteSource> input = openMessageForUnpacking(path.string());
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(readAll(*input, 1024), "body");
    input.reset();
    fs::remove(path);
}

TEST(MessageInput, LongHeaderLineFirstIsHandedBackWhole) {
    const std::string line = "X-Long: " + std::string(200000, 'v') + "\r\n\r\nbody";
    const fs::path path = writeFile("long-line", line);
    std::unique_ptr<ByteSource> input = openMessageForUnpacking(path.string());
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(readAll(*input, 1024), "X-Long: " + std::string(200000, 'v') + "\n\nbody");
    input.reset();
    fs::remove(path);
}

TEST(MessageInput, MissingFileYieldsNoInput) {
    EXPECT_EQ(openMessageForUnpacking((fs::temp_directory_path() / "tarnwick-no-such").string()),
              nullptr);
}

}  // namespace
}  // namespace tarnwick::unpacker
