// SPDX-License-Identifier: Apache-2.0
// protocol_test.cpp - field splitting, command words, request numbers and
// quoting, each as a table of the inputs that tend to break them.
#include <gtest/gtest.h>

#include "front/protocol.h"

namespace tarnwick {
namespace {

TEST(SplitFields, SeparatorsTokensAndTheArgumentTailFollowTheLine) {
    const struct {
        std::string line;
        std::vector<std::string> fields;
    } cases[] = {
        {"1 intf", {"1", "intf"}},
        {"  7   QuIt  ", {"7", "QuIt"}},
        {"5 FILE /tmp/a b  ", {"5", "FILE", "/tmp/a b  "}},
        {"5 file   \r spaced  path ", {"5", "file", "spaced  path "}},
        {"1\tx intf", {"1\tx", "intf"}},
        {"5", {"5"}},
        {"", {}},
        {" \r\n ", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(splitFields(c.line), c.fields) << c.line;
}

TEST(ToRequestNumber, ReadsLikeUnsignedDecimalExtractionWithin32Bits) {
    const struct {
        std::string token;
        std::uint32_t number;
    } cases[] = {
        {"12", 12},
        {"007", 7},
        {"08", 8},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"+12", 12},
        {"+-1", 0},
        {" \t42x", 42},
        {"-1", 4294967295u},
        {"-0", 0},
        {"4294967295", 4294967295u},
        {"4294967296", 0},
        {"-4294967296", 0},
        {"000000000000000000000042", 42},
    };
    for (const auto& c : cases)
        EXPECT_EQ(toRequestNumber(c.token), c.number) << c.token;
}

TEST(QuoteText, EscapesAndJoinsLinesIntoOneLine) {
    const struct {
        std::vector<std::string> lines;
        std::string quoted;
    } cases[] = {
        {{"X-A: 1", "X-B: 2"}, "X-A: 1\\eX-B: 2"},
        {{}, ""},
        {{"say \"hi\""}, "say \\\"hi\\\""},
        {{"a\tb"}, "a\\tb"},
        {{"a", "", "b"}, "a\\eb"},
        {{"a", "", "", "b"}, "a\\eb"},
        {{"a\r\nb", "c\n\rd"}, "a\\eb\\ec\\ed"},
        {{"a\rb"}, "ab"},
        {{"c:\\dir"}, "c:\\\\dir"},
        // A doubled backslash before "e" pairs with the following break.
        {{"a\\e", "b"}, "a\\\\eb"},
        {{"", ""}, "\\e"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(quoteText(c.lines), c.quoted) << c.quoted;
}

}  // namespace
}  // namespace tarnwick
