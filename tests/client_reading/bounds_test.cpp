// SPDX-License-Identifier: Apache-2.0
// bounds_test.cpp - the second reading on inputs built to make a reader
// slow or deep: nesting to the limit and beyond, a hundred thousand
// boundaries, fields repeated a hundred thousand times. These check the
// results; time and memory are measured by the benchmarks.
#include <gtest/gtest.h>

#include "client_reading/siphash.h"
#include "tests/client_reading/reading_fixture.h"

namespace tarnwick::client_reading::test {
namespace {

using Contents = std::vector<std::string>;

// nested - levels multiparts inside each other around one attachment, and
// an attachment "after" beside the outermost level's first part.
std::string nested(int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) {
        const std::string b = std::string("b").append(std::to_string(i));
        text += "Content-Type: multipart/mixed; boundary=" + b + "\n\n--" + b + "\n";
    }
    text += "Content-Type: application/x-a\n\ndeep\n";
    for (int i = levels - 1; i > 0; --i)
        text += "--b" + std::to_string(i) + "--\n";
    return text + "--b0\nContent-Type: application/x-b\n\nafter\n--b0--\n";
}

TEST_F(ReadingTest, NestingIsFollowedToAThousandLevels) {
    const ReadResult result = read(nested(1000));
    EXPECT_EQ(result.contents, (Contents{"deep", "after"}));
    EXPECT_TRUE(result.signs.empty());
}

TEST_F(ReadingTest, DeeperNestingIsDrainedAndReported) {
    const ReadResult result = read(nested(1001));
    EXPECT_EQ(result.contents, (Contents{"after"}));
    EXPECT_EQ(result.signs, (Contents{"nesting limit"}));
}

TEST_F(ReadingTest, AHundredThousandNestedMultipartsAreReadToTheEnd) {
    const ReadResult result = read(nested(100000));
    EXPECT_EQ(result.contents, (Contents{"after"}));
    EXPECT_EQ(result.signs, (Contents{"nesting limit"}));
}

TEST_F(ReadingTest, AHundredThousandBoundariesGiveEachNewAttachmentOnce) {
    std::vector<std::string> parts(100000, "Content-Type: application/x-a\n\nsame");
    parts.push_back("Content-Type: application/x-a\n\nlast");
    const ReadResult result = read(multipart("b", parts));
    EXPECT_EQ(result.contents, (Contents{"same", "last"}));
}

TEST_F(ReadingTest, AHundredThousandRepeatedFieldsAreReadFirstAndLast) {
    std::string header = "Content-Type: application/x-a\n";
    for (int i = 0; i < 100000; ++i)
        header += "Content-Type: text/plain\n";
    header += "Content-Type: multipart/mixed; boundary=b\n\n";
    const std::string body = "--b\nContent-Type: application/x-c\n\ninner\n--b--\n";
    const ReadResult result = read(header + body);
    EXPECT_EQ(result.contents, (Contents{body, "inner"}));
    EXPECT_EQ(result.signs, (Contents{"duplicate field", "ambiguous boundary"}));
}

TEST_F(ReadingTest, LinesLongerThanEveryBufferKeepAllTheirBytes) {
    // Lines of 100,000 bytes cross the input buffer; a CR falls on its edge.
    std::string data(100000, 'x');
    for (std::size_t i = 4095; i < data.size(); i += 4096)
        data[i] = '\r';
    data += "\r\nend";
    const ReadResult result = read(multipart(
        "b", {"Content-Type: application/x-a\nContent-Transfer-Encoding: binary\n\n" + data}));
    EXPECT_EQ(result.contents, (Contents{data}));
}

TEST(SipHash, MatchesThePublishedTestVectors) {
    SipHashKey key;
    key.k0 = 0x0706050403020100ULL;
    key.k1 = 0x0f0e0d0c0b0a0908ULL;
    unsigned char message[15];
    for (unsigned char i = 0; i < 15; ++i)
        message[i] = i;
    SipHasher empty(key);
    EXPECT_EQ(empty.finish(), 0x726fdb47dd0e0e31ULL);
    SipHasher pieces(key);  // fed in uneven pieces
    pieces.update(message, 3);
    pieces.update(message + 3, 9);
    pieces.update(message + 12, 3);
    EXPECT_EQ(pieces.finish(), 0xa129ca6149be45e5ULL);
}

}  // namespace
}  // namespace tarnwick::client_reading::test
