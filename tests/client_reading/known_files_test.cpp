// SPDX-License-Identifier: Apache-2.0
// known_files_test.cpp - which attachments the second reading recognises as
// copies of files already written: files learned by path and by a first
// reading's part number (several of one size, learned out of order), and the
// reading's own files, short and longer than what it holds in memory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "client_reading/extra_files.h"
#include "tests/common/temp_folder.h"

namespace tarnwick::client_reading::test {
namespace {

TEST(KnownFilesTest, CopiesOfLearnedAndOwnFilesAreRecognised) {
    const std::filesystem::path folder = test_support::makeTempFolder("tarnwick-known");
    const auto put = [&](const std::string& name, const std::string& bytes) {
        std::ofstream((folder / name).string(), std::ios::binary) << bytes;
        return (folder / name).string();
    };
    const std::string big(kHeldLeafBytes + 4096, 'b');
    ScanFileOwners owners;
    ScanLedger ledger(owners, folder.string(), std::string(), 7);
    ExtraFileSet set(ledger, UINT64_MAX, UINT64_MAX);
    for (const char* bytes : {"zzzzz", "abc", "yyyyy", "xxxxx", "beta\r\nline\r\n"})
        set.learnExisting(put(std::string("learned-") + bytes[0], bytes));
    WrittenParts parts(folder.string() + "/part-", ".bin");
    put("part-3.bin", "delta");
    parts.push_back(WrittenPart{.number = 3});
    set.learnPart(parts, 0, 5);
    const struct {
        std::string bytes;
        bool lineEndsMayDiffer;
        bool kept;
    } kRows[] = {
        {"yyyyy", false, false},
        {"xxxxx", false, false},
        {"delta", false, false},
        {"wwwww", false, true},
        {"wwwww", false, false},
        {"beta\nline\n", true, false},
        {"beta\nline\n", false, true},
        {"beta\r\nline\r\n", false, false},
        {big, false, true},
        {big, false, false},
        {big + "x", false, true},
    };
    for (const auto& row : kRows) {
        LeafSink sink(set, row.lineEndsMayDiffer);
        sink.write(row.bytes.data(), row.bytes.size());
        EXPECT_EQ(sink.finish(), row.kept) << row.bytes.substr(0, 20);
    }
    EXPECT_EQ(set.files().size(), 4u);
    ledger.forgetAll();
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace tarnwick::client_reading::test
