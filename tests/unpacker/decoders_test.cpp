// SPDX-License-Identifier: Apache-2.0
// decoders_test.cpp - the three body decoders on tricky input, fed in reads
// of every awkward size, and the part-file output's failure reporting.
#include "unpacker/decoders.h"
#include "tests/common/temp_folder.h"
#include "unpacker/unpacker.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

namespace tarnwick::unpacker {
namespace {

namespace fs = std::filesystem;

// Reads sizes that split runs, escapes and groups at every position.
constexpr std::size_t kReadSizes[] = {1, 2, 3, 5, 1024};

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// decode - runs one decoder over body (with the boundary "b" active when
// bounded) into a file and returns the file's bytes; also reports whether
// the reader then stands at the boundary line.
std::string decode(TransferEncoding encoding, const std::string& body, std::size_t readSize,
                   bool bounded = false, bool* atBoundary = nullptr) {
    const fs::path folder = tarnwick::test_support::makeTempFolder("tarnwick-decoders");
    const fs::path path = folder / "decoded.bin";
    PartReader reader(std::make_unique<MemorySource>(body, readSize));
    if (bounded)
        reader.pushBoundary("b");
    {
        PartFileOutput output(std::fopen(path.string().c_str(), "wb"));
        if (encoding == TransferEncoding::Base64)
            decodeBase64(reader, output);
        else if (encoding == TransferEncoding::QuotedPrintable)
            decodeQuotedPrintable(reader, output);
        else
            copyBody(reader, output);
        EXPECT_TRUE(output.close());
    }
    if (atBoundary != nullptr)
        *atBoundary = reader.finishBoundaryLine();
    std::string result = readFile(path);
    fs::remove_all(folder);
    return result;
}

struct DecodeCase {
    const char* name;
    TransferEncoding encoding;
    std::string input;
    std::string expected;
};

const DecodeCase kCases[] = {
    {"Base64Padded", TransferEncoding::Base64, "SGVsbG8=", "Hello"},
    {"Base64IncompleteGroupWritesNothing", TransferEncoding::Base64, "SGVsbG8", "Hel"},
    {"Base64BreaksAndBlanksInsideAGroup", TransferEncoding::Base64, "SG\nVs b\tG8\r=\n", "Hello"},
    {"Base64TextAfterPaddingIgnored", TransferEncoding::Base64, "SGk=QUJD\nQUJD\n", "Hi"},
    {"Base64DoublePaddingWritesOneByte", TransferEncoding::Base64, "SG==QUJD", "H"},
    {"Base64PaddingInSecondPlaceWritesNothing", TransferEncoding::Base64, "Q=AAQUJD", ""},
    {"Base64PaddingFirstWritesNothing", TransferEncoding::Base64, "=QUJDQUJD", ""},
    {"Base64ThirdPlacePaddingNeedsAFourthCharacter", TransferEncoding::Base64, "SG=", ""},
    {"Base64StrayBytesSkipped", TransferEncoding::Base64, "Q*U-J.D\x80", "ABC"},
    {"Base64CarriageReturnDecodedIsWritten", TransferEncoding::Base64, "DQo=", "\r\n"},
    {"QuotedPrintableEscapedEquals", TransferEncoding::QuotedPrintable, "a=3Db", "a=b"},
    {"QuotedPrintableLowerCaseDigits", TransferEncoding::QuotedPrintable, "=3d=c3=A9", "=\xC3\xA9"},
    {"QuotedPrintableSoftLineBreakJoinsLines", TransferEncoding::QuotedPrintable, "ab=\ncd\n",
     "abcd\n"},
    {"QuotedPrintableEncodedCrLfYieldsOneNewline", TransferEncoding::QuotedPrintable, "x=0D=0Ay",
     "x\ny"},
    {"QuotedPrintableBadDigitCountsAs127", TransferEncoding::QuotedPrintable, "=G1", "\xF1"},
    {"QuotedPrintableLoneEqualsAtEndGivesFF", TransferEncoding::QuotedPrintable, "x=", "x\xFF"},
    {"QuotedPrintableOneDigitAtEnd", TransferEncoding::QuotedPrintable, "x=4", "x\x7F"},
    {"QuotedPrintableNewlineAsSecondDigit", TransferEncoding::QuotedPrintable, "=A\nz", "\xFFz"},
    {"QuotedPrintableTrailingBlanksAndBareCrKept", TransferEncoding::QuotedPrintable, "a  \nb\rc\n",
     "a  \nb\rc\n"},
    {"CopyKeepsEveryByteValue", TransferEncoding::Identity, std::string("\0\r\n\x1A\xFF=", 6),
     std::string("\0\r\n\x1A\xFF=", 6)},
};

TEST(DecodersTest, DecodeTrickyInputInEveryReadSize) {
    for (const DecodeCase& c : kCases) {
        for (std::size_t readSize : kReadSizes) {
            SCOPED_TRACE(std::string(c.name) + " read size " + std::to_string(readSize));
            EXPECT_EQ(decode(c.encoding, c.input, readSize), c.expected);
        }
    }
}

struct BoundedCase {
    const char* name;
    TransferEncoding encoding;
    std::string input;
    std::string expected;
};

// The part ends at "\n--b"; that newline belongs to the boundary line.
const BoundedCase kBoundedCases[] = {
    {"CopyLeavesTheNewlineBeforeTheBoundary", TransferEncoding::Identity, "one\ntwo\n\n--b--\nrest",
     "one\ntwo\n"},
    {"Base64StopsAtTheBoundary", TransferEncoding::Base64, "SGVs\nbG8=\n--b--\nQUJD", "Hello"},
    {"Base64AfterPaddingStillReadsToTheBoundary", TransferEncoding::Base64, "SGk=\nxx\n--b--\n",
     "Hi"},
    {"QuotedPrintableEqualsBeforeTheBoundaryLineGivesFF", TransferEncoding::QuotedPrintable,
     "a=\n--b--\n", "a\xFF"},
    {"DashesOfAnotherBoundaryAreBodyText", TransferEncoding::Identity, "x\n--c\n--b--\n", "x\n--c"},
};

TEST(DecodersTest, DecodersStopAtTheBoundaryLineAndLeaveItForTheWalker) {
    for (const BoundedCase& c : kBoundedCases) {
        for (std::size_t readSize : kReadSizes) {
            SCOPED_TRACE(std::string(c.name) + " read size " + std::to_string(readSize));
            bool finished = false;
            EXPECT_EQ(decode(c.encoding, c.input, readSize, true, &finished), c.expected);
            EXPECT_TRUE(finished) << "the closing boundary line was not next";
        }
    }
}

TEST(DecodersTest, LongBase64BodySpanningManyBuffersDecodesWhole) {
    std::string data;
    for (int i = 0; i < 200000; ++i)
        data += static_cast<char>((i * 7919) >> 3);
    static const char* alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    for (std::size_t i = 0; i + 2 < data.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(data[i]) << 16 |
                     static_cast<unsigned char>(data[i + 1]) << 8 |
                     static_cast<unsigned char>(data[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6)
            encoded += alphabet[(v >> shift) & 63];
        if (encoded.size() % 77 == 76)
            encoded += '\n';
    }
    std::string whole = data.substr(0, data.size() / 3 * 3);
    EXPECT_EQ(decode(TransferEncoding::Base64, encoded, 1024), whole);
    EXPECT_EQ(decode(TransferEncoding::Base64, encoded, 333), whole);
}

#if defined(__linux__)
TEST(DecodersTest, OutputThatCannotBeWrittenReportsFailureAndKeepsGoing) {
    std::FILE* full = std::fopen("/dev/full", "wb");
    if (full == nullptr)
        GTEST_SKIP() << "no /dev/full";
    PartFileOutput output(full);
    std::string chunk(PartFileOutput::kBufferSize + 10, 'x');
    output.append(chunk.data(), chunk.size());
    output.put('y');
    EXPECT_TRUE(output.failed());
    EXPECT_FALSE(output.close());
}

TEST(DecodersTest, ShortOutputThatFailsOnlyAtCloseStillReportsFailure) {
    std::FILE* full = std::fopen("/dev/full", "wb");
    if (full == nullptr)
        GTEST_SKIP() << "no /dev/full";
    PartFileOutput output(full);
    output.put('y');
    EXPECT_FALSE(output.close());
}
#endif

TEST(DecodersTest, PartFileThatCannotBeCreatedSetsWriteFailedAndDrainsThePart) {
    PartReader reader(std::make_unique<MemorySource>("SGVsbG8=\n--b\nnext"));
    reader.pushBoundary("b");
    std::string folder = (fs::temp_directory_path() / "tarnwick-no-such-folder").string();
    ScanFileOwners owners;
    ScanLedger ledger(owners, folder, "", 5);
    EXPECT_EQ(writePartFile(reader, TransferEncoding::Base64, ledger), 1);
    EXPECT_TRUE(ledger.writeFailed());
    EXPECT_EQ(ledger.count(ScanFileKind::Part), 0u);
    EXPECT_FALSE(reader.finishBoundaryLine());
    EXPECT_EQ(reader.nextChar(), 'n');
}

}  // namespace
}  // namespace tarnwick::unpacker
