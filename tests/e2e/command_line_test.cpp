// SPDX-License-Identifier: Apache-2.0
// command_line_test.cpp - --help and --version of tarnwick and
// tarnwick-unpack: each prints its text and exits 0 without doing its work.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "session.h"
#include "tarnwick/version.h"

namespace tarnwick::e2e {
namespace {

struct Printed {
    std::vector<std::string> lines;
    std::optional<int> exitStatus;
};

// runToEnd - runs program with args in folder, standard input closed at
// once, and collects every line it prints.
Printed runToEnd(const std::string& program, const std::vector<std::string>& args,
                 const std::string& folder) {
    ChildProcess child(program, args, folder);
    child.closeInput();
    Printed printed;
    while (auto line = child.readLine())
        printed.lines.push_back(*line);
    printed.exitStatus = child.waitExit();
    return printed;
}

// contains - true when one of lines holds text.
bool contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& line : lines) {
        if (line.find(text) != std::string::npos)
            return true;
    }
    return false;
}

TEST(CommandLine, TarnwickVersionPrintsTheVersionAndStartsNoFilter) {
    TempFolder folder;
    // After the wait, as an administrator might type it: still only the version.
    const Printed printed = runToEnd(TARNWICK_EXE, {"5", "--version"}, folder.path());
    EXPECT_EQ(printed.exitStatus, 0);
    ASSERT_FALSE(printed.lines.empty());
    EXPECT_EQ(printed.lines[0], "tarnwick " TARNWICK_VERSION);
    EXPECT_FALSE(contains(printed.lines, "running"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(folder.path()) / "ScanMe"));
}

TEST(CommandLine, TarnwickHelpNamesEveryOptionAndStartsNoFilter) {
    TempFolder folder;
    const Printed printed = runToEnd(TARNWICK_EXE, {"--help"}, folder.path());
    EXPECT_EQ(printed.exitStatus, 0);
    EXPECT_TRUE(contains(printed.lines, "Usage: tarnwick [WAIT]"));
    EXPECT_TRUE(contains(printed.lines, "--no-second-reading"));
    EXPECT_TRUE(contains(printed.lines, "--version"));
    EXPECT_FALSE(contains(printed.lines, "running"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(folder.path()) / "ScanMe"));
}

TEST(CommandLine, TarnwickUnpackHelpAndVersionPrintAndExitZero) {
    TempFolder folder;
    const Printed version = runToEnd(TARNWICK_UNPACK_EXE, {"--version"}, folder.path());
    EXPECT_EQ(version.exitStatus, 0);
    ASSERT_FALSE(version.lines.empty());
    EXPECT_EQ(version.lines[0], "tarnwick-unpack " TARNWICK_VERSION);

    const Printed help = runToEnd(TARNWICK_UNPACK_EXE, {"--help"}, folder.path());
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_TRUE(contains(help.lines, "Usage: tarnwick-unpack"));
    // Not taken for MESSAGE and DIR: nothing was unpacked.
    EXPECT_FALSE(contains(help.lines, "unpackMessage"));
}

}  // namespace
}  // namespace tarnwick::e2e
