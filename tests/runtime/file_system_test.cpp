// SPDX-License-Identifier: Apache-2.0
// file_system_test.cpp - the file-system helpers on a scratch folder.
#include "runtime/file_system.h"
#include "tests/common/temp_folder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

class FileSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        root = tarnwick::test_support::makeTempFolder("tarnwick-fs");
        std::ofstream(root / "file", std::ios::binary) << std::string(12345, 'x');
    }
    void TearDown() override { fs::remove_all(root); }
    std::string at(const std::string& name) const { return (root / name).string(); }
    fs::path root;
};

TEST(NormalisePath, EveryBackslashBecomesASlash) {
    const struct {
        std::string path, normalised;
    } cases[] = {
        {"a\\b\\c", "a/b/c"}, {"a/b/c", "a/b/c"}, {"\\\\srv\\x/y\\", "//srv/x/y/"}, {"", ""}};
    for (const auto& c : cases) {
        std::string path = c.path;
        normalisePath(path);
        EXPECT_EQ(path, c.normalised);
    }
}

TEST_F(FileSystem, ExistenceTellsFilesFromFoldersAndMissingEntries) {
    EXPECT_TRUE(fileExists(at("file")));
    EXPECT_FALSE(isDirectory(at("file")));
    EXPECT_FALSE(fileExists(root.string()));
    EXPECT_TRUE(isDirectory(root.string()));
    EXPECT_FALSE(fileExists(at("missing")));
    EXPECT_FALSE(isDirectory(at("missing")));
}

TEST_F(FileSystem, SizesAreMeasuredInSixtyFourBits) {
    EXPECT_EQ(fileSize(at("file")), 12345);
    EXPECT_EQ(fileSize(at("missing")), -1);
    // A sparse file beyond 4 GiB costs no disk space where sparse files exist.
    const std::uintmax_t huge = (std::uintmax_t(5) << 30) + 7;
    std::ofstream(root / "huge").close();
    std::error_code error;
    fs::resize_file(root / "huge", huge, error);
    if (error)
        GTEST_SKIP() << "no sparse file here: " << error.message();
    EXPECT_EQ(fileSize(at("huge")), std::int64_t(huge));
}

TEST_F(FileSystem, MakeDirectoryCreatesOneLevelAndAcceptsAnExistingFolder) {
    EXPECT_TRUE(makeDirectory(at("made/")));
    EXPECT_TRUE(isDirectory(at("made")));
    EXPECT_TRUE(makeDirectory(at("made")));
    EXPECT_TRUE(makeDirectory(root.string() + "\\made\\inner"));
    EXPECT_TRUE(isDirectory(at("made/inner")));
    EXPECT_FALSE(makeDirectory(at("absent/child")));
    EXPECT_FALSE(isDirectory(at("absent")));
    EXPECT_FALSE(makeDirectory(at("file")));
}

TEST_F(FileSystem, RemoveFileTellsAMissingFileFromOtherFailures) {
    int error = 0;
    EXPECT_TRUE(removeFile(at("file"), &error));
    EXPECT_FALSE(fileExists(at("file")));
    EXPECT_FALSE(removeFile(at("file"), &error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(errno, ENOENT);
    fs::create_directory(root / "folder");
    EXPECT_FALSE(removeFile(at("folder"), &error));
    EXPECT_NE(error, ENOENT);
    EXPECT_NE(error, 0);
}

}  // namespace
}  // namespace tarnwick
