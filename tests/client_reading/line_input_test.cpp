// SPDX-License-Identifier: Apache-2.0
// line_input_test.cpp - LineInput hands out every byte once, whatever the
// line lengths and wherever a CR LF falls against its buffer and head sizes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "client_reading/line_input.h"
#include "tests/common/temp_folder.h"

namespace tarnwick::client_reading {
namespace {

struct ReadBack {
    std::string bytes;  // heads, rests and line ends joined again
    std::size_t lines = 0;
    bool offsetsAgree = true;
};

ReadBack readBack(const std::string& path, std::uint64_t begin, std::uint64_t end) {
    RangeReader reader(path, begin, end);
    LineInput input(reader, begin);
    ReadBack result;
    Line line;
    while (input.next(line)) {
        ++result.lines;
        if (line.offset != begin + result.bytes.size())
            result.offsetsAgree = false;
        result.bytes.append(line.head);
        std::string_view piece;
        while (input.rest(piece))
            result.bytes.append(piece);
        if (input.contentEnd() != begin + result.bytes.size())
            result.offsetsAgree = false;
        result.bytes.append(input.lineEnd());
    }
    return result;
}

TEST(LineInput, EveryByteComesBackOnceAcrossBufferAndHeadEdges) {
    const std::filesystem::path folder = test_support::makeTempFolder("tarnwick-line-input");
    const std::string path = (folder / "input").string();
    // Line lengths around the head size and the buffer size, every line end.
    for (const std::size_t length :
         {std::size_t{0}, std::size_t{1}, kLineHeadBytes - 1, kLineHeadBytes, kLineHeadBytes + 1,
          std::size_t{65535}, std::size_t{65536}, std::size_t{70000}}) {
        for (const char* end : {"\r\n", "\n", "\r"}) {
            std::string text;
            std::size_t lines = 0;
            while (text.size() < 200000) {
                text += std::string(length, 'a') + end;
                ++lines;
            }
            std::ofstream(path, std::ios::binary) << text;
            const ReadBack back = readBack(path, 0, text.size());
            EXPECT_EQ(back.bytes, text) << length << " " << end[0];
            EXPECT_EQ(back.lines, lines) << length;
            EXPECT_TRUE(back.offsetsAgree) << length;
            // A range from the middle reads exactly its own bytes.
            const ReadBack middle = readBack(path, 1000, 150000);
            EXPECT_EQ(middle.bytes, text.substr(1000, 149000)) << length;
        }
    }
    std::filesystem::remove_all(folder);
}

TEST(LineInput, RunsStopBeforeLinesBeginningWithTheAvoidedByte) {
    const std::filesystem::path folder = test_support::makeTempFolder("tarnwick-line-input");
    const std::string path = (folder / "input").string();
    // Short and long lines, every line end, some beginning with "-"; the
    // many short lengths put a CR LF across some buffer edge.
    std::vector<std::size_t> lengths = {75, 65533};
    for (std::size_t length = 0; length < 24; ++length)
        lengths.push_back(length);
    for (const std::size_t length : lengths) {
        std::string text;
        std::size_t dashLines = 0;
        const char* ends[] = {"\r\n", "\n", "\r"};
        for (std::size_t i = 0; text.size() < 300000; ++i) {
            const bool dash = i % 7 == 3;
            dashLines += dash ? 1 : 0;
            text += (dash ? "--b" : "") + std::string(length + i % 3, 'a') + ends[i % 3];
        }
        std::ofstream(path, std::ios::binary) << text;
        RangeReader reader(path, 0, text.size());
        LineInput input(reader, 0);
        std::string back;
        std::size_t dashLinesByNext = 0;
        bool offsetsAgree = true;
        bool runHeldDash = false;
        bool crLfKept = true;  // no CR LF handed out as a CR and an LF line
        const auto appendLineEnd = [&] {
            back.append(input.lineEnd());
            crLfKept = crLfKept && !(input.lineEnd() == "\r" && back.size() < text.size() &&
                                     text[back.size()] == '\n');
        };
        for (;;) {
            std::string_view run;
            while (input.nextRun('-', run)) {
                runHeldDash = runHeldDash || run.substr(0, 1) == "-" ||
                              run.find("\n-") != run.npos || run.find("\r-") != run.npos;
                back.append(run);
                offsetsAgree = offsetsAgree && input.contentEnd() == back.size();
                appendLineEnd();
            }
            Line line;
            if (!input.next(line))
                break;
            dashLinesByNext += line.head.substr(0, 1) == "-" ? 1 : 0;
            back.append(line.head);
            std::string_view piece;
            while (input.rest(piece))
                back.append(piece);
            offsetsAgree = offsetsAgree && input.contentEnd() == back.size();
            appendLineEnd();
        }
        EXPECT_EQ(back, text) << length;
        EXPECT_TRUE(crLfKept) << length;
        EXPECT_TRUE(offsetsAgree) << length;
        EXPECT_FALSE(runHeldDash) << length;
        EXPECT_EQ(dashLinesByNext, dashLines) << length;
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace tarnwick::client_reading
