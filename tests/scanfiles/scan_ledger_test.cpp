// SPDX-License-Identifier: Apache-2.0
// scan_ledger_test.cpp - the ledger finds its files by name, though it
// keeps no names: through a name given back and taken again, an adopted
// file, and the owners' question whether a live ledger holds a path.
#include "scanfiles/scan_ledger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/common/temp_folder.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

// made - creates the next file of kind in ledger with one byte written.
std::string made(ScanLedger& ledger, ScanFileKind kind) {
    std::string path;
    std::FILE* file = ledger.create(kind, path);
    EXPECT_NE(file, nullptr) << path;
    if (file != nullptr) {
        std::fputc('x', file);
        std::fclose(file);
        ledger.written(path);
    }
    return path;
}

TEST(ScanLedgerTest, FilesAreFoundByTheirNamesThroughGiveBackAdoptionAndTheLedgersEnd) {
    const fs::path folder = test_support::makeTempFolder("tarnwick-ledger");
    ScanFileOwners owners;
    std::vector<std::string> left;
    {
        ScanLedger ledger(owners, folder.string(), "", 7);
        const std::string first = made(ledger, ScanFileKind::Part);
        const std::string second = made(ledger, ScanFileKind::Part);
        const std::string extra = made(ledger, ScanFileKind::Extra);
        ledger.describe(first, {"a.exe", "application/x-a", "first reading"});
        ledger.describe(second, {"b.exe", "application/x-a", "first reading"});
        EXPECT_EQ(ledger.account(first),
                  "attachment 1: a.exe (application/x-a, 1 bytes, first reading, "
                  "msg-7-part-0.scanme)");
        EXPECT_EQ(ledger.description(second).displayName, "b.exe");
        EXPECT_EQ(ledger.description(second).contentType, "application/x-a");

        // The last part's name is given back and taken again by the next part.
        ledger.forget(second);
        fs::remove(second);
        EXPECT_FALSE(owners.holds(second));
        EXPECT_EQ(made(ledger, ScanFileKind::Part), second);
        EXPECT_TRUE(owners.holds(second));
        EXPECT_EQ(ledger.description(second).displayName, "");
        EXPECT_EQ(ledger.paths(ScanFileKind::Part), (std::vector<std::string>{first, second}));

        const std::string foreign = (folder / "foreign.bin").string();
        std::FILE* file = std::fopen(foreign.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
        ledger.adopt(foreign);
        EXPECT_EQ(ledger.shownPaths(), (std::vector<std::string>{first, extra, second, foreign}));

        // Names the ledger never made: another request, an index not in
        // scanFileName's form, another folder.
        const std::string other = (folder / "msg-8-part-0.scanme").string();
        const std::string padded = (folder / "msg-7-part-00.scanme").string();
        const std::string elsewhere = (folder / "x" / "msg-7-part-0.scanme").string();
        for (const std::string& path : {first, extra, foreign})
            EXPECT_TRUE(owners.holds(path)) << path;
        for (const std::string& path : {other, padded, elsewhere})
            EXPECT_FALSE(owners.holds(path)) << path;

        EXPECT_EQ(ledger.remove(first).error, 0);
        EXPECT_FALSE(owners.holds(first));
        EXPECT_EQ(ledger.shortName(first), "");
        left = {extra, second, foreign};
    }
    // What the ledger still recorded is on the deferred list, held by nobody.
    for (const std::string& path : left)
        EXPECT_FALSE(owners.holds(path)) << path;
    std::vector<std::string> deferred = owners.deferredPaths();
    std::sort(deferred.begin(), deferred.end());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(deferred, left);
    fs::remove_all(folder);
}

}  // namespace
}  // namespace tarnwick
