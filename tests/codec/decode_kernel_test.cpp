// SPDX-License-Identifier: Apache-2.0
// decode_kernel_test.cpp - the shared decoding kernel against each reader's
// own byte-by-byte handling. Awkward inputs, set at every alignment inside
// ordinary data, must decode alike in one piece (the kernel takes the
// ordinary data), one byte at a time (it never sees a whole group or escape)
// and, for the second reader, split in two anywhere.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "codec/block_lines.h"
#include "codec/decoders.h"
#include "tests/common/temp_folder.h"
#include "unpacker/decoders.h"
#include "unpacker/uudecode.h"

namespace tarnwick {
namespace {

struct Awkward {
    bool base64;  // else quoted-printable
    std::string bytes;
};

const Awkward kAwkward[] = {
    {true, "\r\n"},     {true, "\n"},        {true, " \t"},        {true, "QUJ="},
    {true, "QU=JD"},    {true, "="},         {true, "QUJDRE=="},   {true, "*!\x80\xff"},
    {true, "Q\r\nUJD"}, {false, "=3D"},      {false, "=3d=0D=0A"}, {false, "=\r\n"},
    {false, "=\n"},     {false, "= \t\r\n"}, {false, "  \t\r\n"},  {false, "=4"},
    {false, "=4G"},     {false, "=G1"},      {false, "=="},        {false, "a  =41"},
    {false, "\r"},      {false, "=\r"},      {false, " "},         {false, "=C3=A9  "},
};

// kOrdinary - data the kernel takes whole, long enough for several steps
// (set at 17 alignments, awkward bytes fall on every place of a vector step).
const std::string kBase64Ordinary = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldY";
const std::string kTextOrdinary = "plain text of a line, long enough\tfor words";

// outputPath - a file of this test process's own for the first reader.
const std::string& outputPath() {
    static const std::string path =
        (test_support::makeTempFolder("tarnwick-kernel") / "decoded.bin").string();
    return path;
}

// firstReading - the first reader's decoder over input in reads of readSize.
std::string firstReading(bool base64, const std::string& input, std::size_t readSize) {
    const std::string& path = outputPath();
    unpacker::PartReader reader(std::make_unique<unpacker::MemorySource>(input, readSize));
    {
        unpacker::PartFileOutput output(std::fopen(path.c_str(), "wb"));
        base64 ? unpacker::decodeBase64(reader, output)
               : unpacker::decodeQuotedPrintable(reader, output);
        EXPECT_TRUE(output.close());
    }
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

struct StringSink final : codec::ByteSink {
    std::string bytes;
    void write(const char* data, std::size_t size) override { bytes.append(data, size); }
};

// secondReading - the second reader's decoder fed input in the given pieces
// (a piece size of 0 feeds it split in two at splitAt).
std::string secondReading(bool base64, const std::string& input, std::size_t piece,
                          std::size_t splitAt = 0) {
    StringSink sink;
    auto decoder = codec::makeDecoder(
        base64 ? codec::TransferEncoding::Base64 : codec::TransferEncoding::QuotedPrintable, sink);
    if (piece == 0) {
        decoder->feed(input.data(), splitAt);
        decoder->feed(input.data() + splitAt, input.size() - splitAt);
    }
    for (std::size_t at = 0; piece != 0 && at < input.size(); at += piece)
        decoder->feed(input.data() + at, std::min(piece, input.size() - at));
    decoder->finish();
    return sink.bytes;
}

TEST(DecodeKernelTest, SecondReaderHandsQuotedPrintableOnInBlocksNotLineByLine) {
    struct CountingSink final : codec::ByteSink {
        std::string bytes;
        std::size_t writes = 0;
        void write(const char* data, std::size_t size) override {
            ++writes;
            bytes.append(data, size);
        }
    } sink;
    std::string text;
    while (text.size() < 200000)
        text += "caf=E9 and a short line of text\r\n";
    auto decoder = codec::makeDecoder(codec::TransferEncoding::QuotedPrintable, sink);
    decoder->feed(text.data(), text.size());
    decoder->finish();
    EXPECT_EQ(sink.bytes, secondReading(false, text, 1));
    EXPECT_LE(sink.writes, sink.bytes.size() / 8192 + 1);
}

TEST(DecodeKernelTest, AwkwardBytesAnywhereDecodeAsTheByteByBytePathDecodesThem) {
    for (const Awkward& awkward : kAwkward) {
        const std::string& ordinary = awkward.base64 ? kBase64Ordinary : kTextOrdinary;
        for (std::size_t align = 0; align < 17; ++align) {
            const std::string input = ordinary.substr(0, align) + awkward.bytes + ordinary +
                                      awkward.bytes + ordinary + awkward.bytes;
            SCOPED_TRACE(testing::PrintToString(input));
            const std::string first = firstReading(awkward.base64, input, 1);
            EXPECT_EQ(firstReading(awkward.base64, input, input.size()), first);
            EXPECT_EQ(firstReading(awkward.base64, input, 5 + align), first);
            const std::string second = secondReading(awkward.base64, input, 1);
            EXPECT_EQ(secondReading(awkward.base64, input, input.size()), second);
            for (std::size_t split = 1; split < input.size(); ++split)
                ASSERT_EQ(secondReading(awkward.base64, input, 0, split), second) << split;
        }
    }
}

// Escapes packed close together, cut by line ends and malformed ones, at
// random: the kernel takes many of them in one step and must stop where the
// byte-by-byte path would.
TEST(DecodeKernelTest, DenseQuotedPrintableDecodesAsOneByteAtATime) {
    const std::string alphabet = "====0123456789abcdefABCDEFGz \t\r\n";
    std::mt19937 random(20261208);
    for (int round = 0; round < 400; ++round) {
        std::string input(random() % 90, ' ');
        for (char& c : input)
            c = alphabet[random() % alphabet.size()];
        SCOPED_TRACE(testing::PrintToString(input));
        EXPECT_EQ(firstReading(false, input, input.size() + 1), firstReading(false, input, 1));
        EXPECT_EQ(secondReading(false, input, input.size() + 1), secondReading(false, input, 1));
    }
}

// Blanks the kernel copies before a line end: a one-byte piece goes through
// it too, so the second reader's rule for them is checked against its result.
TEST(DecodeKernelTest, SecondReaderDropsOnlyRawBlanksBeforeALineEnd) {
    const std::pair<std::string, std::string> rows[] = {
        {kTextOrdinary + " \t \r\nx", kTextOrdinary + "\r\nx"},
        {kTextOrdinary + "=20\t\n", kTextOrdinary + " \n"},
        {kTextOrdinary + " \t=41 \n", kTextOrdinary + " \tA\n"},
        {kTextOrdinary + "  ", kTextOrdinary},
        {kTextOrdinary + " =\r\n ", kTextOrdinary + " "},
    };
    for (const auto& [input, expected] : rows) {
        EXPECT_EQ(secondReading(false, input, input.size()), expected) << input;
        EXPECT_EQ(secondReading(false, input, 1), expected) << input;
    }
}

// uuBytes - what a uuencoded line gives, one character at a time: its count
// character's number of bytes, missing characters read as zero bits.
std::string uuBytes(const std::string& line) {
    auto six = [&](std::size_t i) { return i < line.size() ? (line[i] - 32u) & 63u : 0u; };
    std::string out;
    for (std::size_t i = 1; out.size() < six(0); i += 4) {
        const unsigned bits = six(i) << 18 | six(i + 1) << 12 | six(i + 2) << 6 | six(i + 3);
        for (int shift = 16; shift >= 0 && out.size() < six(0); shift -= 8)
            out.push_back(static_cast<char>(bits >> shift));
    }
    return out;
}

TEST(DecodeKernelTest, UuencodedLinesDecodeAsOneCharacterAtATimeInBothReaders) {
    const std::string lines[] = {"M" + std::string(60, '`'),
                                 "M" + std::string(60, '~'),
                                 "M86QL;&\\@=V]R;&0*86QL;&\\@=V]R",
                                 "%2&5L;&\\`",
                                 "%2&5L",
                                 "#",
                                 "`",
                                 "!\xff\xfe",
                                 "M" + std::string(59, 'a'),
                                 "_" + kTextOrdinary};
    for (const std::string& line : lines) {
        std::string second;
        codec::appendUuLine(line, second);
        EXPECT_EQ(second, uuBytes(line)) << line;
        {
            unpacker::PartFileOutput output(std::fopen(outputPath().c_str(), "wb"));
            unpacker::decodeUuLine(line + "\n", output);
            EXPECT_TRUE(output.close());
        }
        std::ifstream in(outputPath(), std::ios::binary);
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), uuBytes(line)) << line;
    }
}

}  // namespace
}  // namespace tarnwick
