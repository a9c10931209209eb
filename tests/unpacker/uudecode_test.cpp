// SPDX-License-Identifier: Apache-2.0
// uudecode_test.cpp - the uuencode state machine over whole text bodies and
// the line decoder.
#include "unpacker/uudecode.h"
#include "tests/common/temp_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "unpacker/unpacker.h"

namespace tarnwick::unpacker {
namespace {

namespace fs = std::filesystem;

// Lines of a 100-byte block (bytes 0..99): two full lines of 45 bytes and a
// short line of 10.
const std::string kFull1 = "M``$\"`P0%!@<(\"0H+#`T.#Q`1$A,4%187&!D:&QP='A\\@(2(C)\"4F)R@I*BLL\n";
const std::string kFull2 = "M+2XO,#$R,S0U-C<X.3H[/#T^/T!!0D-$149'2$E*2TQ-3D]045)35%565UA9\n";
const std::string kShort = "*6EM<75Y?8&%B8P``\n";
const std::string kHelloLine = "%2&5L;&\\`\n";

std::string bytesRange(int from, int to) {
    std::string bytes;
    for (int i = from; i < to; ++i)
        bytes += static_cast<char>(i);
    return bytes;
}

class UudecodeTest : public ::testing::Test {
  protected:
    void SetUp() override { folder_ = tarnwick::test_support::makeTempFolder("tarnwick-uudecode"); }
    void TearDown() override { fs::remove_all(folder_); }

    // scan - runs the scanner over body (read readSize bytes at a time) and
    // returns the contents of the part files it wrote.
    std::vector<std::string> scan(const std::string& body, std::size_t readSize = 1024,
                                  int* result = nullptr) {
        PartReader reader(std::make_unique<MemorySource>(body, readSize));
        ScanLedger ledger(owners_, folder_.string(), "", kMessage);
        int status = scanForUuencoded(reader, ledger);
        if (result != nullptr)
            *result = status;
        std::vector<std::string> contents;
        for (const std::string& path : ledger.paths(ScanFileKind::Part)) {
            std::ifstream in(path, std::ios::binary);
            contents.emplace_back(std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>());
        }
        ledger.removeShown();
        return contents;
    }

    static constexpr int kMessage = 44;
    fs::path folder_;
    ScanFileOwners owners_;
};

struct BlockCase {
    const char* name;
    std::string body;
    std::vector<std::string> files;
};

TEST_F(UudecodeTest, StateMachineOverWholeBodies) {
    const std::string hundred = bytesRange(0, 100);
    const BlockCase cases[] = {
        {"HelloBlock", "text\nbegin 644 test.txt\n" + kHelloLine + "`\nend\nafter\n", {"Hello"}},
        {"HundredBytes", "begin 644 a\n" + kFull1 + kFull2 + kShort + "`\nend\n", {hundred}},
        {"ShortLineThenSpaceClosingLine", "begin 600 a\n" + kHelloLine + " \nend \n", {"Hello"}},
        {"FourDigitModeNotRecognised", "begin 0644 a\n" + kHelloLine + "`\nend\n", {}},
        {"ModeBelow400NotRecognised", "begin 377 a\n" + kHelloLine + "`\nend\n", {}},
        {"UpperCaseBeginNotRecognisedWhileSeeking", "BEGIN 644 a\n" + kHelloLine + "`\nend\n", {}},
        {"BeginWithoutNameNotRecognised", "begin 644 \n" + kHelloLine + "`\nend\n", {}},
        {"MissingEndKeepsOnlyFullLines",
         "begin 644 a\n" + kFull1 + kFull2 + kShort + "`\n",
         {bytesRange(0, 90)}},
        {"EndWithoutWhitespaceIsNoEnd",
         "begin 644 a\n" + kFull1 + kShort + "`\nend",
         {bytesRange(0, 45)}},
        {"ShortTextAfterAFullLineSkipsTheNextFullLine",
         "begin 644 a\n" + kFull1 + "some text\n" + kFull2 + kFull1 + kShort + "`\nend\n",
         {bytesRange(0, 45) + bytesRange(0, 45) + bytesRange(90, 100)}},
        {"LongTextResynchronisesAtTheNextFullLine",
         "begin 644 a\n" + kFull1 + std::string(70, 't') + "\n" + kFull2 + kShort + "`\nend\n",
         {hundred}},
        {"BeginLineLeadsBackIntoTheBlock",
         "begin 644 a\n" + kFull1 + std::string(70, 't') + "\nBEGIN\n" + kShort + "`\nend\n",
         {bytesRange(0, 45) + bytesRange(90, 100)}},
        {"OnlyTheFirstBlockIsDecoded",
         "begin 644 a\n" + kHelloLine + "`\nend\nbegin 644 b\n" + kShort + "`\nend\n",
         {"Hello"}},
        {"PieceOfALongLineCountsAsALine",
         std::string(1023, 'x') + "begin 644 a\n" + kHelloLine + "`\nend\n",
         {"Hello"}},
    };
    for (const BlockCase& c : cases) {
        for (std::size_t readSize : {std::size_t{1}, std::size_t{7}, std::size_t{1024}}) {
            SCOPED_TRACE(std::string(c.name) + " read size " + std::to_string(readSize));
            EXPECT_EQ(scan(c.body, readSize), c.files);
        }
    }
}

TEST_F(UudecodeTest, ScanStopsAfterEndLineAndLeavesTheRestUnread) {
    PartReader reader(std::make_unique<MemorySource>("begin 644 a\n" + kHelloLine + "`\nend\nZ"));
    ScanLedger ledger(owners_, folder_.string(), "", kMessage);
    EXPECT_EQ(scanForUuencoded(reader, ledger), 0);
    ledger.removeShown();
    EXPECT_EQ(reader.nextChar(), 'Z');
}

TEST_F(UudecodeTest, BlockThatCannotBeCreatedEndsTheScanAndCountsAsAFailedWrite) {
    int result = 0;
    PartReader reader(std::make_unique<MemorySource>("begin 644 a\n" + kHelloLine + "`\nend\n"));
    ScanLedger ledger(owners_, (folder_ / "missing").string(), "", kMessage);
    EXPECT_EQ(scanForUuencoded(reader, ledger), 1);
    EXPECT_TRUE(ledger.writeFailed());
    EXPECT_TRUE(scan("no block here\n", 1024, &result).empty());
    EXPECT_EQ(result, 0);
}

TEST_F(UudecodeTest, LineDecoderWritesTheCountedBytesAndZerosForMissingCharacters) {
    fs::path path = folder_ / "line.bin";
    {
        PartFileOutput output(std::fopen(path.string().c_str(), "wb"));
        decodeUuLine(kHelloLine, output);
        decodeUuLine("`\n", output);      // count 0
        decodeUuLine("%2&5L\n", output);  // promises 5, holds 3
        decodeUuLine(kFull2, output);     // a full line
        output.close();
    }
    std::ifstream in(path, std::ios::binary);
    std::string written{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(written, std::string("Hello") + std::string("Hel\0\0", 5) + bytesRange(45, 90));
}

}  // namespace
}  // namespace tarnwick::unpacker
