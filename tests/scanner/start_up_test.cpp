// SPDX-License-Identifier: Apache-2.0
// start_up_test.cpp - the wait argument, the banner and start-up as a whole.
#include "app/start_up.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/console_log.h"
#include "runtime/platform.h"
#include "scanfiles/folder_claim.h"
#include "tests/common/temp_folder.h"

namespace tarnwick {
namespace {

TEST(StartUp, WaitArgumentIsReadTheWayAtoiReadsIt) {
    const struct {
        const char* argument;
        int expected;
    } cases[] = {
        {"12", 12},
        {"  7", 7},
        {"+3", 3},
        {"4x", 4},
        {"abc", 0},
        {"", 0},
        {"-5", 0},
        {" -0", 0},
        {"0012", 12},
        {"\t\n 9", 9},
        {"2147483647", INT_MAX},
        {"99999999999999999999", INT_MAX},
        {"- 5", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseWaitArgument(c.argument), c.expected) << '"' << c.argument << '"';
}

TEST(StartUp, BannerNamesTheWait) {
    std::ostringstream out;
    writeBanner(out, 12);
    EXPECT_EQ(out.str(),
              "* Quillmark's Tarnwick v1.12a running (12)...\n"
              "* This software uses a built-in MIME unpacker\n"
              "* See tarnwick-readme for details\n");
}

#ifndef _WIN32
// StartUpRun - start-up in a fresh working directory with the command loop
// reading an empty input.
class StartUpRun : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        folder_ = tarnwick::test_support::makeTempFolder("tarnwick-start");
        std::filesystem::current_path(folder_);
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(folder_);
    }
    // run - start-up with the arguments (and no anti-virus probe, whose
    // thread would outlive the filter); returns the first console line and
    // stores the exit code and the whole output.
    std::string run(std::vector<std::string> words, AvFilter& filter) {
        words.push_back("--no-av-check");
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        std::FILE* input = std::tmpfile();
        std::ostringstream out;
        {
            ConsoleRedirect redirect(out);
            status = startUp(filter, static_cast<int>(argv.size()), argv.data(), fileno(input));
        }
        std::fclose(input);
        output = out.str();
        return output.substr(0, output.find('\n'));
    }
    int status = -1;
    std::string output;

  private:
    std::filesystem::path previous_;
    std::filesystem::path folder_;
};

TEST_F(StartUpRun, TheWaitArgumentSetsTheWaitAndScanMeIsCreated) {
    const struct {
        std::vector<std::string> words;
        int wait;
    } cases[] = {
        {{"tarnwick"}, 5},
        {{"tarnwick", "12"}, 12},
        {{"tarnwick", "-4"}, 0},
        {{"tarnwick", "--scan-dir", "ScanMe", "6"}, 6},
    };
    for (const auto& c : cases) {
        AvFilter filter;
        const std::string banner = run(c.words, filter);
        EXPECT_EQ(banner,
                  "* Quillmark's Tarnwick v1.12a running (" + std::to_string(c.wait) + ")...");
        EXPECT_EQ(filter.waitSeconds, c.wait);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(std::filesystem::is_directory("ScanMe"));
    }
}

TEST_F(StartUpRun, NoSecondReadingOptionTurnsItOffWhereverItStandsAndIsNoWait) {
    const struct {
        std::vector<std::string> words;
        int wait;
        bool secondReading;
    } cases[] = {
        {{"tarnwick", "3"}, 3, true},
        {{"tarnwick", "3", "--no-second-reading"}, 3, false},
        {{"tarnwick", "--no-second-reading", "4"}, 4, false},
        {{"tarnwick", "--no-second-reading"}, 5, false},
    };
    for (const auto& c : cases) {
        AvFilter filter;
        filter.secondReading = !c.secondReading;
        run(c.words, filter);
        EXPECT_EQ(filter.waitSeconds, c.wait) << c.words.back();
        EXPECT_EQ(filter.secondReading, c.secondReading) << c.words.back();
    }
}

TEST_F(StartUpRun, ScanMeThatCannotBeUsedIsReportedOnceAndLeftAlone) {
    std::FILE* plain = std::fopen("ScanMe", "w");
    ASSERT_NE(plain, nullptr);
    std::fclose(plain);
    AvFilter filter;
    run({"tarnwick", "0"}, filter);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(std::filesystem::is_regular_file("ScanMe"));
    const std::string line =
        "* Error: ScanMe (" + (std::filesystem::current_path() / "ScanMe").string() +
        ") cannot be made by user " + platform::currentUserName() + ": Not a directory\n";
    EXPECT_NE(output.find("* See tarnwick-readme for details\n" + line), std::string::npos)
        << output;
}

TEST_F(StartUpRun, ScanDirNamesTheFolderOfEveryLineAndIsMadeWithItsModes) {
    AvFilter filter;
    run({"tarnwick", "--scan-dir", "queue-scan", "0"}, filter);
    EXPECT_EQ(filter.scanFolder, "queue-scan");
    EXPECT_TRUE(std::filesystem::is_directory("queue-scan"));
    EXPECT_FALSE(std::filesystem::exists("ScanMe"));
    const auto others = std::filesystem::perms::group_all | std::filesystem::perms::others_all;
    EXPECT_EQ(std::filesystem::status("queue-scan").permissions() & others,
              std::filesystem::perms::none);
    // Nothing of the self-check is left in it: only the owner's lock file.
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator("queue-scan"))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{kScanFolderLockName});
}
#endif

}  // namespace
}  // namespace tarnwick
