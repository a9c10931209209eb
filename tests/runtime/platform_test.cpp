// SPDX-License-Identifier: Apache-2.0
// platform_test.cpp - the file operations of the platform layer and the
// removal seam that the scanner's tests rely on.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "runtime/platform.h"
#include "runtime/worker_pool.h"
#include "tests/common/temp_folder.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace tarnwick {
namespace {

// ScratchDirectory - a fresh directory under the system's temporary folder.
struct ScratchDirectory {
    ScratchDirectory() {
        parent = test_support::makeTempFolder("tarnwick-platform").string();
        path = parent + "/scratch";
        EXPECT_TRUE(platform::makeOneDirectory(path));
    }
    ~ScratchDirectory() { std::filesystem::remove_all(parent); }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string parent;
    std::string path;
};

// writeFile - a file holding `size` bytes.
void writeFile(const std::string& path, std::size_t size) {
    std::FILE* file = platform::openSharedFile(path, "wb");
    ASSERT_NE(file, nullptr);
    const std::string bytes(size, 'x');
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

TEST(PlatformFilesTest, StatTellsFilesFromDirectoriesAndReportsTheSize) {
    ScratchDirectory scratch;
    writeFile(scratch.file("seven"), 7);
    platform::PathStatus status;
    ASSERT_TRUE(platform::statPath(scratch.file("seven"), status));
    EXPECT_FALSE(status.isDirectory);
    EXPECT_EQ(status.size, 7);
    ASSERT_TRUE(platform::statPath(scratch.path, status));
    EXPECT_TRUE(status.isDirectory);
    EXPECT_FALSE(platform::statPath(scratch.file("missing"), status));
    EXPECT_TRUE(platform::pathExists(scratch.file("seven")));
    EXPECT_FALSE(platform::pathExists(scratch.file("missing")));
    EXPECT_FALSE(platform::makeOneDirectory(scratch.path));         // already there
    EXPECT_FALSE(platform::makeOneDirectory(scratch.file("a/b")));  // two levels
}

TEST(PlatformFilesTest, WindowsDeviceNamesAreToldFromFileNames) {
    const struct {
        const char* path;
        bool device;
    } cases[] = {
        {"NUL", true},
        {"nul", true},
        {"C:\\spool\\con.eml", true},
        {"spool/Aux.tar.gz", true},
        {"PRN  .txt", true},
        {"C:NUL", true},
        {"COM1", true},
        {"lpt9.msg", true},
        {"COM1:", true},
        {"COM\xB9", true},
        {"lpt\xC2\xB3.eml", true},
        {"CONIN$", true},
        {"conout$.txt", true},
        {"\\\\.\\pipe\\spool", true},
        {"//./COM1", true},
        {"\\\\?\\GLOBALROOT\\Device\\Null", true},
        {"\\\\?\\C:\\spool\\1.eml", false},
        {"\\\\?\\UNC\\server\\share\\1.eml", false},
        {"\\\\.\\Volume{0a1b}\\1.eml", false},
        {"NULL", false},
        {"CONSOLE.eml", false},
        {"COM10", false},
        {"LPT", false},
        {"nul-1.eml", false},
        {"spool/NUL/1.eml", false},
        {"C:\\spool\\", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::detail::namesWindowsDevice(c.path), c.device) << c.path;
}

TEST(PlatformFilesTest, RemovePathReportsTheErrorCode) {
    ScratchDirectory scratch;
    writeFile(scratch.file("doomed"), 1);
    EXPECT_EQ(platform::removePath(scratch.file("doomed")), 0);
    EXPECT_FALSE(platform::pathExists(scratch.file("doomed")));
    EXPECT_EQ(platform::removePath(scratch.file("doomed")), ENOENT);
}

int lockEverythingNamedLocked(const std::string& path) {
    return path.find("locked") != std::string::npos ? EACCES : -1;
}

TEST(PlatformFilesTest, RemovalInterceptorDecidesBeforeTheRealUnlink) {
    ScratchDirectory scratch;
    writeFile(scratch.file("locked"), 1);
    writeFile(scratch.file("free"), 1);
    platform::setRemovalInterceptor(lockEverythingNamedLocked);
    const int lockedResult = platform::removePath(scratch.file("locked"));
    const int freeResult = platform::removePath(scratch.file("free"));
    platform::setRemovalInterceptor(nullptr);
    EXPECT_EQ(lockedResult, EACCES);
    EXPECT_TRUE(platform::pathExists(scratch.file("locked")));
    EXPECT_EQ(freeResult, 0);
    EXPECT_FALSE(platform::pathExists(scratch.file("free")));
    // Without the seam the real unlink runs again.
    EXPECT_EQ(platform::removePath(scratch.file("locked")), 0);
}

#ifndef _WIN32
TEST(PlatformInputTest, PendingInputIncludesTheEndOfInput) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    EXPECT_FALSE(platform::inputPending(ends[0]));
    ASSERT_EQ(write(ends[1], "QUIT\n", 5), 5);
    EXPECT_TRUE(platform::inputPending(ends[0]));
    char buffer[16];
    EXPECT_EQ(platform::readDescriptor(ends[0], buffer, sizeof buffer), 5);
    EXPECT_FALSE(platform::inputPending(ends[0]));
    close(ends[1]);
    EXPECT_TRUE(platform::inputPending(ends[0]));  // the next read returns 0
    EXPECT_EQ(platform::readDescriptor(ends[0], buffer, sizeof buffer), 0);
    close(ends[0]);
}
#endif

TEST(SleepSecondsTest, DurationNeverWrapsAndNegativeCountsSleepNothing) {
    struct Case {
        std::int64_t seconds;
        std::uint64_t milliseconds;
    };
    const Case cases[] = {
        {-5, 0},
        {0, 0},
        {2, 2000},
        {2147483, 2147483000u},  // the last count that fits 32 signed bits
        {2147484, 2147484000u},  // would wrap negative in 32 bits
        {4294968, 4294968000u},  // would wrap to a short sleep in 32 unsigned bits
        {kLongestSleepSeconds + 1, static_cast<std::uint64_t>(kLongestSleepSeconds) * 1000u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(sleepMillisecondsFor(c.seconds), c.milliseconds);
    }
}

}  // namespace
}  // namespace tarnwick
