// SPDX-License-Identifier: Apache-2.0
// header_parser_test.cpp - header blocks (where they end, what stays in the
// input, the three fields), Content-Type splitting, parameter and file-name
// values, transfer encodings, and blanks with comments.
#include "unpacker/header_parser.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::unpacker {
namespace {

using Text = std::optional<std::string>;

Text text(const char* p) {
    return p ? Text(p) : std::nullopt;
}

// fieldText - a HeaderFields value up to the end of its line.
Text fieldText(const char* p) {
    if (p == nullptr)
        return std::nullopt;
    std::string s(p);
    return s.substr(0, s.find('\n'));
}

struct BlockCase {
    const char* name;
    std::string input;
    Text contentType;
    TransferEncoding encoding;
    Text disposition;
    std::string body;  // what the reader delivers after the block
};

void PrintTo(const BlockCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kLongLine = "X-Long: " + std::string(5000, 'a') + "\n";

std::vector<BlockCase> blockCases() {
    const auto none = TransferEncoding::Identity;
    return {
        {"FieldsAreFoundAndTheEmptyLineIsConsumed",
         "Content-Type: text/plain; charset=us-ascii\nContent-Transfer-Encoding: base64\n"
         "Content-Disposition: attachment; filename=a\n\nbody\n",
         "text/plain; charset=us-ascii", TransferEncoding::Base64, "attachment; filename=a",
         "body\n"},
        {"FieldNamesInCapitalsAreRecognised", "CONTENT-TYPE: image/png\n\nb", "image/png", none,
         std::nullopt, "b"},
        {"BlankBeforeTheColonEndsTheBlockThere", "Subject: x\nContent-Type : image/png\n\nbody",
         std::nullopt, none, std::nullopt, "Content-Type : image/png\n\nbody"},
        {"FirstLineWithoutColonStaysAsTheFirstBodyLine", "plain text here\nmore", std::nullopt,
         none, std::nullopt, "plain text here\nmore"},
        {"LineOfBlanksIsAContinuationLine", "Subject: a\n   \nContent-Type: image/gif\n\nbody",
         "image/gif", none, std::nullopt, "body"},
        {"BlankFirstLineIsNoContinuation", " x: y\nContent-Type: image/gif\n\nbody", std::nullopt,
         none, std::nullopt, " x: y\nContent-Type: image/gif\n\nbody"},
        {"LongHeaderLineIsStoredWhole", kLongLine + "Content-Type: image/png\n\nbody", "image/png",
         none, std::nullopt, "body"},
        {"EmptyFirstLineEndsAnEmptyBlock", "\nContent-Type: image/png\n", std::nullopt, none,
         std::nullopt, "Content-Type: image/png\n"},
        {"BlockMayEndAtTheEndOfInput", "Content-Type: image/png", "image/png", none, std::nullopt,
         ""},
        {"LaterFieldReplacesEarlierOne",
         "Content-Type: image/png\nContent-Transfer-Encoding: base64\nContent-Type: "
         "text/html\nContent-Transfer-Encoding: 7bit\n\n",
         "text/html", none, std::nullopt, ""},
        {"EmptyValueIsNoValue", "Content-Type: image/png\nContent-Type:   \n\n", "image/png", none,
         std::nullopt, ""},
        {"ColonMustFollowTheNameDirectly", "Content-Type:image/png\nContent-Typex: a/b\n\n",
         "image/png", none, std::nullopt, ""},
        {"FoldedValueContinuesOnTheNextLine",
         "Content-Type:\n  (comment) multipart/mixed;\n\tboundary=\"a;b\"\n\nbody",
         "multipart/mixed;", none, std::nullopt, "body"},
        {"ZeroByteInAHeaderLineDoesNotHideLaterFields",
         std::string("Subject: a\0b\nContent-Type: image/gif\n\nbody", 42), "image/gif", none,
         std::nullopt, "body"},
        {"EveryHighByteIsOrdinaryText", "Subject: \xff\x80\r\nContent-Type: a/b\n\n\xfe", "a/b",
         none, std::nullopt, "\xfe"},
    };
}

class HeaderBlocks : public ::testing::TestWithParam<BlockCase> {};

TEST_P(HeaderBlocks, EndWhereTheyShouldAndYieldTheirFields) {
    const BlockCase& c = GetParam();
    for (std::size_t readSize : {std::size_t{1}, std::size_t{3}, std::size_t{1024}}) {
        PartReader reader(std::make_unique<MemorySource>(c.input, readSize));
        const HeaderFields fields = readHeaderBlock(reader);
        EXPECT_EQ(fieldText(fields.contentType), c.contentType) << readSize;
        EXPECT_EQ(fields.transferEncoding, c.encoding) << readSize;
        EXPECT_EQ(fieldText(fields.disposition), c.disposition) << readSize;
        std::string body;
        for (int ch; (ch = reader.nextChar()) != PartReader::kEndOfPart;)
            body += static_cast<char>(ch);
        EXPECT_EQ(body, c.body) << readSize;
    }
}

INSTANTIATE_TEST_SUITE_P(HeaderParser, HeaderBlocks, ::testing::ValuesIn(blockCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HeaderParser, HeaderBlockEndsAtTheBoundaryOfItsPart) {
    PartReader reader(std::make_unique<MemorySource>("Content-Type: image/png\n--b\nnext"));
    reader.pushBoundary("b");
    const HeaderFields fields = readHeaderBlock(reader);
    EXPECT_EQ(fieldText(fields.contentType), "image/png");
    EXPECT_EQ(reader.nextChar(), PartReader::kEndOfPart);
    EXPECT_FALSE(reader.finishBoundaryLine());
}

TEST(HeaderParser, FiveThousandByteContentTypeIsKeptWhole) {
    const std::string value = "application/" + std::string(5000, 'x');
    PartReader reader(std::make_unique<MemorySource>("Content-Type: " + value + "\n\n"));
    const ContentType split = splitContentType(readHeaderBlock(reader).contentType);
    EXPECT_EQ(std::string(split.type), value);
}

// bodyAfter - what the reader delivers after the header block.
std::string bodyAfter(PartReader& reader) {
    std::string body;
    for (int ch; (ch = reader.nextChar()) != PartReader::kEndOfPart;)
        body += static_cast<char>(ch);
    return body;
}

TEST(HeaderParser, BlockBeyondTheKeptSizeEndsWhereItEndsAndKeepsItsFirstFields) {
    // A field before the limit is found, one after it is not; the dropped
    // rest of the block still ends at its empty line, at a line that is no
    // header line (put back), or at a line cut by the limit.
    const std::string longLine = "X-Long: " + std::string(kMaxKeptHeaderBytes + 5000, 'a') + "\n";
    std::string manyLines;
    while (manyLines.size() <= kMaxKeptHeaderBytes)
        manyLines += "X-Filler: " + std::string(990, 'f') + "\n\t" + std::string(500, 'g') + "\n";
    const struct {
        const char* name;
        std::string input;
        std::string body;
    } cases[] = {
        {"one long line", "Content-Type: image/png\n" + longLine + "Content-Type: a/b\n\nbody",
         "body"},
        {"many lines", "Content-Type: image/png\n" + manyLines + "Content-Type: a/b\n\nbody",
         "body"},
        {"many lines, then a body line", "Content-Type: image/png\n" + manyLines + "no colon\nx",
         "no colon\nx"},
    };
    for (const auto& c : cases) {
        for (std::size_t readSize : {std::size_t{7}, std::size_t{1} << 20}) {
            PartReader reader(std::make_unique<MemorySource>(c.input, readSize));
            const HeaderFields fields = readHeaderBlock(reader);
            EXPECT_EQ(fieldText(fields.contentType), "image/png") << c.name;
            EXPECT_EQ(bodyAfter(reader), c.body) << c.name;
        }
    }
}

TEST(HeaderParser, FieldThatStartsInsideTheKeptPartIsCutAtItsEnd) {
    const std::string filler = "X-Filler: " + std::string(kMaxKeptHeaderBytes - 100, 'f') + "\n";
    const std::string input =
        filler + "Content-Type: application/x; name=" + std::string(500, 'n') + "\n\nbody";
    PartReader reader(std::make_unique<MemorySource>(input));
    const HeaderFields fields = readHeaderBlock(reader);
    const std::string kept = fieldText(fields.contentType).value_or("");
    EXPECT_EQ(kept.size(),
              kMaxKeptHeaderBytes - filler.size() - std::string("Content-Type: ").size());
    EXPECT_EQ(std::string(splitContentType(fields.contentType).type), "application/x");
    EXPECT_EQ(bodyAfter(reader), "body");
}

TEST(HeaderParser, ReleasedBuffersReadTheNextBlockAsIfItWereTheFirst) {
    // A header buffer grown by one message would give the next one longer
    // pieces, and a field name of 2000 bytes would pass as a header line
    // only then. After releaseHeaderBuffers both readings agree.
    const std::string longName = "X-" + std::string(2000, 'n') + ": v\nContent-Type: a/b\n\nbody";
    auto contentTypeOf = [](const std::string& input) {
        PartReader reader(std::make_unique<MemorySource>(input));
        return fieldText(readHeaderBlock(reader).contentType);
    };
    releaseHeaderBuffers();
    const auto fresh = contentTypeOf(longName);
    contentTypeOf("X-Big: " + std::string(100000, 'b') + "\n\n");
    releaseHeaderBuffers();
    EXPECT_EQ(contentTypeOf(longName), fresh);
    EXPECT_EQ(fresh, std::nullopt);
}

struct SplitCase {
    const char* value;
    std::string type;
    std::optional<std::vector<std::string>> parameters;
};

TEST(HeaderParser, SplitContentTypeCompactsTheTypeAndKeepsRawParameters) {
    const SplitCase cases[] = {
        {"text/plain; charset=us-ascii\n", "text/plain", {{"charset=us-ascii"}}},
        {"text/plain (a comment)\n", "text/plain", std::nullopt},
        {"text/plain   \n", "text/plain", std::nullopt},
        {"text / plain\n", "text/plain", std::nullopt},
        {"text/plain;\n", "text/plain", {{}}},
        {"text/plain; a=1 ;b=2\n", "text/plain", {{"a=1 ", "b=2"}}},
        {"text/plain; a=1 (c) ; b=2\n", "text/plain", {{"a=1     ", "b=2"}}},
        {"multipart/mixed;\n\tboundary=\"a;b\"\n", "multipart/mixed", {{"boundary=\"a;b\""}}},
        {"text/plain; a=1\nSubject: x; b=2\n", "text/plain", {{"a=1"}}},
        {"text/plain; name=\"x;y\n", "text/plain", {{"name=\"x;y"}}},
        {"text/plain (unclosed; a=1\n", "text/plain", std::nullopt},
        {"a/b; x=1 (open\n", "a/b", {{"x=1 ", "open"}}},
    };
    for (const SplitCase& c : cases) {
        const ContentType split = splitContentType(c.value);
        EXPECT_EQ(std::string(split.type), c.type) << c.value;
        std::optional<std::vector<std::string>> got;
        if (split.parameters != nullptr) {
            got.emplace();
            for (const char* const* p = split.parameters; *p != nullptr; ++p)
                got->push_back(*p);
        }
        EXPECT_EQ(got, c.parameters) << c.value;
    }
}

TEST(HeaderParser, FindParameterReadsQuotedAndPlainValues) {
    const struct {
        const char* value;
        const char* name;
        Text expected;
    } cases[] = {
        {"a/b; name = \"two words\"", "name", "two words"},
        {"a/b; filename=a", "name", std::nullopt},
        {"a/b; filename=a; name=b", "name", "b"},
        {"a/b; NAME=v", "name", "v"},
        {"a/b; name=\"\"", "name", ""},
        {"a/b; name=\"open", "name", std::nullopt},
        {"a/b; name", "name", std::nullopt},
        {"a/b; name=", "name", std::nullopt},
        {"a/b; name=one two", "name", "one"},
        {"a/b; name=\"a\\\"b\"", "name", "a\"b"},
        {"multipart/mixed;\n boundary=\"a;b\"", "boundary", "a;b"},
        {"a/b", "name", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(findParameter(splitContentType(c.value).parameters, c.name)), c.expected)
            << c.value;
    EXPECT_EQ(findParameter(nullptr, "name"), nullptr);
}

TEST(HeaderParser, DispositionFilenameIsFoundOnlyInItsPlainForm) {
    const struct {
        const char* disposition;
        Text expected;
    } cases[] = {
        {"attachment; filename=a.txt\n", "a.txt"},
        {"attachment; FileName = \"x y.zip\"\n", "x y.zip"},
        {"attachment; filename*=UTF-8''a.txt\n", std::nullopt},
        {"attachment; filename=\"\"\n", ""},
        {"attachment\n", std::nullopt},
        {"attachment; x=\"a;filename=y\"\n", std::nullopt},
        {"attachment (c;) ; size=3; filename (note) = z(d)\n", "z"},
        {"attachment; filenames=a\n", std::nullopt},
        {"inline; filename=\"open\n", std::nullopt},
        {"inline\nX-Other: a; filename=q\n", "q"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(findDispositionFilename(c.disposition)), c.expected) << c.disposition;
    EXPECT_EQ(findDispositionFilename(nullptr), nullptr);
}

TEST(HeaderParser, ClassifyEncodingNeedsTheWholeNameFollowedByABlank) {
    const struct {
        const char* text;
        TransferEncoding expected;
    } cases[] = {
        {" base64\n", TransferEncoding::Base64},
        {" BASE64\n", TransferEncoding::Base64},
        {" (old) Quoted-Printable (x)\n", TransferEncoding::QuotedPrintable},
        {"\n quoted-printable\n", TransferEncoding::QuotedPrintable},
        {" base64x\n", TransferEncoding::Identity},
        {" base64", TransferEncoding::Identity},
        {" x-uuencode\n", TransferEncoding::Identity},
        {" binary\n", TransferEncoding::Identity},
        {" 8bit\n", TransferEncoding::Identity},
        {"\nbase64\n", TransferEncoding::Identity},
    };
    for (const auto& c : cases)
        EXPECT_EQ(classifyEncoding(c.text), c.expected) << c.text;
}

TEST(HeaderParser, SkipBlanksAndCommentsStopsAtTheFieldEnd) {
    const struct {
        const char* text;
        Text expected;
    } cases[] = {
        {"  x", "x"},
        {"(a (nested) c) x", "x"},
        {"(a\\) still) y", "y"},
        {"(a\n b) y", "y"},
        {"(a\nb) y", std::nullopt},
        {"\n\tx", "x"},
        {"\nx", std::nullopt},
        {"(unclosed", std::nullopt},
        {"(a\\", std::nullopt},
        {" \t\r\v\f", std::nullopt},
        {"\xa0x", "\xa0x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text(skipBlanksAndComments(c.text)), c.expected) << c.text;
    EXPECT_EQ(skipBlanksAndComments(nullptr), nullptr);
}

TEST(HeaderParser, IsHeaderLineNeedsPrintableNameDirectlyBeforeTheColon) {
    EXPECT_TRUE(isHeaderLine("Subject: x"));
    EXPECT_TRUE(isHeaderLine("X-a:"));
    EXPECT_FALSE(isHeaderLine(":x"));
    EXPECT_FALSE(isHeaderLine("Subject : x"));
    EXPECT_FALSE(isHeaderLine("Subject"));
    EXPECT_FALSE(isHeaderLine("Sub\xe9ject: x"));
    EXPECT_FALSE(isHeaderLine(""));
}

}  // namespace
}  // namespace tarnwick::unpacker
