// SPDX-License-Identifier: Apache-2.0
// line_reader_test.cpp - reading lines from files and from a real pipe, and
// stepping over the envelope block of a message file.
#include <cstdio>
#include <thread>

#include "front/filter_base.h"
#include "front/input_reader.h"
#include "front/protocol.h"
#include "front_harness.h"

namespace tarnwick {
namespace {

using test::Pipe;

std::vector<std::string> fileLines(const std::string& bytes) {
    std::FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    std::vector<std::string> lines;
    for (std::string line; readTextLine(file, line);)
        lines.push_back(line);
    std::fclose(file);
    return lines;
}

// pipeLines - the bytes written in pieces of chunk bytes by another thread.
std::vector<std::string> pipeLines(const std::string& bytes, std::size_t chunk) {
    Pipe pipe;
    std::thread writer([&] {
        for (std::size_t at = 0; at < bytes.size(); at += chunk)
            pipe.write(bytes.substr(at, chunk));
        pipe.closeWrite();
    });
    InputLineReader reader(pipe.readEnd());
    std::vector<std::string> lines;
    for (std::string line; readTextLine(reader, line);)
        lines.push_back(line);
    writer.join();
    return lines;
}

TEST(ReadTextLine, EveryLineEndAndPairEndsOneLineWhateverTheSourceAndSplit) {
    using Lines = std::vector<std::string>;
    const struct {
        std::string bytes;
        Lines lines;
    } cases[] = {
        {"A\rB", {"A", "B"}},
        {"A\r\nB\n", {"A", "B"}},
        {"A\n\rB\n\r", {"A", "B"}},
        {"A\r\rB", {"A", "", "B"}},
        {"A\n\n\nB", {"A", "", "", "B"}},
        {"A\r\n\r\nB", {"A", "", "B"}},
        {"", {}},
        {"\n", {""}},
        {std::string("1\0 key\xff\n", 8), {std::string("1\0 key\xff", 7)}},
        {std::string(inputBufferSize - 1, 'x') + "\r\ny",
         {std::string(inputBufferSize - 1, 'x'), "y"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fileLines(c.bytes), c.lines);
        EXPECT_EQ(pipeLines(c.bytes, c.bytes.size() + 1), c.lines);
        EXPECT_EQ(pipeLines(c.bytes, 1), c.lines);
    }
}

TEST(ReadTextLine, APairSplitAcrossTwoWritesIsOneLineEndAndNothingWaitsForIt) {
    for (const std::string first : {"1 key\r", "1 key\n"}) {
        Pipe pipe;
        InputLineReader reader(pipe.readEnd());
        std::string line;
        pipe.write(first);
        // Returns without the second byte: the test would hang otherwise.
        ASSERT_TRUE(reader.readTextLine(line));
        EXPECT_EQ(line, "1 key");
        pipe.write(first.back() == '\r' ? "\n\r2 key\n" : "\r\r2 key\n");
        ASSERT_TRUE(reader.readTextLine(line));
        EXPECT_EQ(line, "") << "a CR after the completed pair is a line of its own";
        ASSERT_TRUE(reader.readTextLine(line));
        EXPECT_EQ(line, "2 key");
    }
}

TEST(SkipEnvelope, SkipsTheBlockOnlyWhenTheFirstLineHasItsShape) {
    const struct {
        std::string bytes;
        bool skipped;
        std::string nextLine;
    } cases[] = {
        {"Received: from x\n\nbody\n", false, "Received: from x"},
        {"F a@b\r\nT c@d\r\n\r\nSubject: hi\r\n", true, "Subject: hi"},
        {"\xC9 \xDEnvelope\n\nrest\n", true, "rest"},
        {"F a@b\nno empty line at all", true, ""},
        {"ab\n", false, "ab"},
        {"", false, ""},
    };
    for (const auto& c : cases) {
        std::FILE* file = std::tmpfile();
        std::fwrite(c.bytes.data(), 1, c.bytes.size(), file);
        EXPECT_EQ(skipEnvelope(file), c.skipped) << c.bytes;
        std::string line;
        readTextLine(file, line);
        EXPECT_EQ(line, c.nextLine) << c.bytes;
        std::fclose(file);
    }
    EXPECT_FALSE(skipEnvelope(nullptr));
}

}  // namespace
}  // namespace tarnwick
