// SPDX-License-Identifier: Apache-2.0
// windows_paths_test.cpp - the file-system helpers on Windows with paths the
// narrow calls could not reach: longer than MAX_PATH (written with either
// separator, with "." and ".."), and names outside the ANSI code page given
// as UTF-8. Built and run only for Windows (under Wine in CI).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/file_system.h"
#include "runtime/platform.h"
#include "tests/common/temp_folder.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

// writeThrough - writes text to path with the platform layer; true when the
// whole text went out.
bool writeThrough(const std::string& path, const std::string& text) {
    std::FILE* file = platform::openSharedFile(path, "wb");
    if (file == nullptr)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

// readThrough - the file's text read with the platform layer; "<none>" when
// it cannot be opened.
std::string readThrough(const std::string& path) {
    std::FILE* file = platform::openSharedFile(path, "rb");
    if (file == nullptr)
        return "<none>";
    std::string text;
    char block[256];
    for (std::size_t count; (count = std::fread(block, 1, sizeof block, file)) > 0;)
        text.append(block, count);
    std::fclose(file);
    return text;
}

class WindowsPaths : public ::testing::Test {
  protected:
    void SetUp() override { root_ = test_support::makeTempFolder("tarnwick-winpaths"); }
    void TearDown() override {
        // The standard library does not reach long paths: the deep folders
        // go first, through their "\\?\" form, innermost first.
        std::error_code ignored;
        for (std::size_t level = deepFolders_.size(); level > 0; --level)
            fs::remove(L"\\\\?\\" + fs::path(deepFolders_[level - 1]).make_preferred().wstring(),
                       ignored);
        fs::remove_all(root_, ignored);
    }
    fs::path root_;
    std::vector<std::string> deepFolders_;
};

TEST_F(WindowsPaths, PathsLongerThanMaxPathWorkThroughEveryHelper) {
    // Five folders of 60 characters: well over 260 characters in all.
    std::string folder = root_.string();
    for (char name = 'a'; name < 'f'; ++name) {
        folder += (name % 2 == 0 ? "/" : "\\") + std::string(60, name);
        ASSERT_TRUE(makeDirectory(folder)) << folder.size();
        deepFolders_.push_back(folder);
        EXPECT_TRUE(isDirectory(folder));
    }
    const std::string file = folder + "\\message.eml";
    ASSERT_GT(file.size(), 300u);
    ASSERT_TRUE(writeThrough(file, "twelve bytes"));
    // The same file reached through "." and ".." on the way.
    const std::string roundabout = folder + "/./../" + std::string(60, 'e') + "/message.eml";
    for (const std::string& path : {file, roundabout}) {
        EXPECT_TRUE(fileExists(path));
        EXPECT_FALSE(isDirectory(path));
        EXPECT_EQ(fileSize(path), 12);
        EXPECT_EQ(readThrough(path), "twelve bytes");
    }
    EXPECT_TRUE(removeFile(roundabout));
    int error = 0;
    EXPECT_FALSE(removeFile(file, &error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_FALSE(fileExists(file));
}

TEST_F(WindowsPaths, NameOutsideTheAnsiCodePageIsFoundAsUtf8) {
    // Cyrillic and Japanese letters: in no Western ANSI code page.
    const std::u8string name = u8"письмо-日本.eml";
    const fs::path wide = root_ / name;
    std::ofstream(wide, std::ios::binary) << "hello";
    ASSERT_TRUE(fs::exists(wide));
    const std::string utf8 = root_.string() + "\\" +
                             std::string(reinterpret_cast<const char*>(name.data()), name.size());

    EXPECT_TRUE(fileExists(utf8));
    EXPECT_EQ(fileSize(utf8), 5);
    EXPECT_EQ(readThrough(utf8), "hello");
    EXPECT_TRUE(removeFile(utf8));
    EXPECT_FALSE(fs::exists(wide));
}

TEST_F(WindowsPaths, FilesAreMadeInAFolderNamedInUtf8) {
    const std::u8string name = u8"папка-日本";
    const fs::path wide = root_ / name;
    fs::create_directory(wide);
    const std::string folder =
        root_.string() + "/" + std::string(reinterpret_cast<const char*>(name.data()), name.size());

    EXPECT_TRUE(isDirectory(folder));
    EXPECT_TRUE(makeDirectory(folder + "/"));
    ASSERT_TRUE(writeThrough(folder + "/msg-0-part-0.scanme", "part"));
    EXPECT_TRUE(fs::exists(wide / "msg-0-part-0.scanme"));
    EXPECT_TRUE(makeDirectory(folder + "/inner"));
    EXPECT_TRUE(fs::is_directory(wide / "inner"));
}

}  // namespace
}  // namespace tarnwick
