// SPDX-License-Identifier: Apache-2.0
// part_files_test.cpp - part-file naming and numbering, and the removal
// rounds of removePartFiles: files deleted by the anti-virus, files it
// still holds open, and the leftovers retried by later calls.
#include "unpacker/part_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "runtime/platform.h"
#include "tests/common/temp_folder.h"
#include "unpacker/unpacker.h"

namespace tarnwick::unpacker {
namespace {

namespace fs = std::filesystem;

// Paths the stand-in anti-virus holds open: their removal reports EACCES.
std::set<std::string> heldOpen;

int holdOpenFiles(const std::string& path) {
    return heldOpen.count(path) != 0 ? EACCES : -1;
}

class PartFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = tarnwick::test_support::makeTempFolder("tarnwick-part-files");
        heldOpen.clear();
        platform::setRemovalInterceptor(holdOpenFiles);
        forgetPartFiles();
    }
    void TearDown() override {
        platform::setRemovalInterceptor(nullptr);
        heldOpen.clear();
        for (int message : {1, 2, 3})
            removePartFiles(message);
        forgetPartFiles();
        fs::remove_all(folder_);
    }

    // createFiles - count part files of message, each holding one byte.
    std::vector<std::string> createFiles(int message, int count) {
        for (int i = 0; i < count; ++i) {
            auto output = openPartFile(message, folder_.string());
            EXPECT_NE(output, nullptr);
            if (output)
                output->put('x');
        }
        return registeredPartFiles(message);
    }

    // writeExtraFile - a file written beside the part files, not by them.
    std::string writeExtraFile(const std::string& name) {
        const std::string path = (folder_ / name).string();
        std::ofstream(path) << "extra";
        return path;
    }

    fs::path folder_;
};

TEST_F(PartFilesTest, NamesCarryFolderMessageAndPartNumberSigned) {
    EXPECT_EQ(partFileName("./ScanMe", 12, 0), "./ScanMe/msg-12-part-0.scanme");
    EXPECT_EQ(partFileName("d", -1, 3), "d/msg--1-part-3.scanme");
}

TEST_F(PartFilesTest, FilesAreNumberedInOrderAndRegisteredWithTheirData) {
    std::vector<std::string> paths = createFiles(1, 3);
    ASSERT_EQ(paths.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(paths[i], partFileName(folder_.string(), 1, i));
        EXPECT_EQ(fs::file_size(paths[i]), 1u);
    }
}

TEST_F(PartFilesTest, FileThatCannotBeCreatedUsesUpItsNumberAndIsNotRegistered) {
    createFiles(1, 1);
    fs::create_directory(partFileName(folder_.string(), 1, 1));  // blocks part 1
    EXPECT_EQ(openPartFile(1, folder_.string()), nullptr);
    createFiles(1, 1);
    EXPECT_EQ(registeredPartFiles(1),
              (std::vector<std::string>{partFileName(folder_.string(), 1, 0),
                                        partFileName(folder_.string(), 1, 2)}));
    fs::remove(partFileName(folder_.string(), 1, 1));
}

TEST_F(PartFilesTest, RemovingFilesThatAllExistReturnsZeroAndDropsTheEntry) {
    std::vector<std::string> paths = createFiles(1, 3);
    EXPECT_EQ(removePartFiles(1), 0);
    for (const std::string& path : paths)
        EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(registeredPartFiles(1).empty());
}

TEST_F(PartFilesTest, FileDeletedByAnotherProgramReturnsOne) {
    std::vector<std::string> paths = createFiles(1, 3);
    fs::remove(paths[1]);
    EXPECT_EQ(removePartFiles(1), 1);
    EXPECT_FALSE(fs::exists(paths[0]));
    EXPECT_FALSE(fs::exists(paths[2]));
    EXPECT_TRUE(registeredPartFiles(1).empty());
}

TEST_F(PartFilesTest, HeldFileReturnsMinusOneUntilReleased) {
    std::vector<std::string> paths = createFiles(1, 3);
    heldOpen.insert(paths[2]);
    EXPECT_EQ(removePartFiles(1), -1);
    EXPECT_EQ(registeredPartFiles(1), std::vector<std::string>{paths[2]});
    EXPECT_TRUE(fs::exists(paths[2]));
    heldOpen.clear();
    EXPECT_EQ(removePartFiles(1), 0);
    EXPECT_FALSE(fs::exists(paths[2]));
    EXPECT_TRUE(registeredPartFiles(1).empty());
}

TEST_F(PartFilesTest, MissingAndHeldFileGivesOneAndTheHeldFileIsRetriedByAnyMessage) {
    std::vector<std::string> paths = createFiles(1, 3);
    fs::remove(paths[0]);
    heldOpen.insert(paths[1]);
    EXPECT_EQ(removePartFiles(1), 1);
    EXPECT_TRUE(registeredPartFiles(1).empty());
    EXPECT_EQ(pendingLeftoverFiles(), std::vector<std::string>{paths[1]});

    // Still held: a call for a message without files keeps it pending.
    EXPECT_EQ(removePartFiles(2), 0);
    EXPECT_EQ(pendingLeftoverFiles(), std::vector<std::string>{paths[1]});
    heldOpen.clear();
    EXPECT_EQ(removePartFiles(2), 0);
    EXPECT_TRUE(pendingLeftoverFiles().empty());
    EXPECT_FALSE(fs::exists(paths[1]));
}

TEST_F(PartFilesTest, LeftoverThatVanishedMeanwhileIsDropped) {
    std::vector<std::string> paths = createFiles(1, 2);
    fs::remove(paths[0]);
    heldOpen.insert(paths[1]);
    EXPECT_EQ(removePartFiles(1), 1);
    heldOpen.clear();
    fs::remove(paths[1]);
    EXPECT_EQ(removePartFiles(3), 0);
    EXPECT_TRUE(pendingLeftoverFiles().empty());
}

TEST_F(PartFilesTest, LeftoversAreRetriedAfterTheMessagesOwnFiles) {
    std::vector<std::string> first = createFiles(1, 2);
    fs::remove(first[0]);
    heldOpen.insert(first[1]);
    EXPECT_EQ(removePartFiles(1), 1);
    // A second message loses a file too while both of its others are held:
    // its held files join the older leftover, after it.
    std::vector<std::string> second = createFiles(2, 3);
    fs::remove(second[0]);
    heldOpen.insert(second[1]);
    heldOpen.insert(second[2]);
    EXPECT_EQ(removePartFiles(2), 1);
    EXPECT_EQ(pendingLeftoverFiles(), (std::vector<std::string>{second[1], second[2], first[1]}));
}

TEST_F(PartFilesTest, AddedFilesAreCheckedWaitedForAndDeferredLikePartFiles) {
    const std::vector<std::string> parts = createFiles(1, 1);
    const std::string gone = writeExtraFile("msg-1-extra-0.scanme");
    addPartFiles(1, {gone, gone});
    EXPECT_EQ(registeredPartFiles(1), (std::vector<std::string>{parts[0], gone}));
    fs::remove(gone);
    EXPECT_EQ(removePartFiles(1), 1);

    const std::string held = writeExtraFile("msg-2-extra-0.scanme");
    addPartFiles(2, {held});
    heldOpen.insert(held);
    EXPECT_EQ(removePartFiles(2), -1);
    deferPartFiles(2);
    EXPECT_TRUE(registeredPartFiles(2).empty());
    EXPECT_EQ(retryDeferredPartFiles(2), -1);
    heldOpen.clear();
    EXPECT_EQ(retryDeferredPartFiles(2), 0);
    EXPECT_FALSE(fs::exists(held));
}

TEST_F(PartFilesTest, LeftoverWrittenAgainByARequestInProgressIsLeftToThatRequest) {
    std::vector<std::string> old = createFiles(1, 2);
    fs::remove(old[0]);
    heldOpen.insert(old[1]);
    EXPECT_EQ(removePartFiles(1), 1);
    heldOpen.clear();
    // Message 1 again writes the same two names; another message's removal
    // retries the leftovers meanwhile.
    createFiles(1, 2);
    EXPECT_EQ(removePartFiles(2), 0);
    EXPECT_TRUE(fs::exists(old[1]));
    EXPECT_EQ(removePartFiles(1), 0);
}

}  // namespace
}  // namespace tarnwick::unpacker
