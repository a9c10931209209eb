// SPDX-License-Identifier: Apache-2.0
// command_line_test.cpp - the command lines of tarnwick and tarnwick-unpack:
// --help and --version print their text and exit 0 without doing the work;
// words not understood are refused with one line on each stream, exit 2.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "session.h"
#include "stand_in_av.h"
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
    // --check is silent while it watches its test file (5 s at least).
    while (auto line = child.readLine(Millis(15000)))
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
    EXPECT_TRUE(contains(printed.lines, "Usage: tarnwick [OPTIONS] [WAIT]"));
    EXPECT_TRUE(contains(printed.lines, "--scan-dir PATH"));
    EXPECT_TRUE(contains(printed.lines, "--check"));
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
    EXPECT_FALSE(contains(help.lines, "first reading: "));
}

TEST(CommandLine, WordsNotUnderstoodAreRefusedOnBothStreamsBeforeAnythingIsMade) {
    const std::string tarnwick = TARNWICK_EXE;
    const std::string unpack = TARNWICK_UNPACK_EXE;
    const struct {
        std::string program;
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {tarnwick, {"-w", "5"}, "* Error: unknown option '-w' (see tarnwick --help)"},
        {tarnwick, {"--wait=5"}, "* Error: unknown option '--wait=5' (see tarnwick --help)"},
        {tarnwick, {"-h"}, "* Error: unknown option '-h' (see tarnwick --help)"},
        {tarnwick,
         {"5", "--no-second-readin"},
         "* Error: unknown option '--no-second-readin' (see tarnwick --help)"},
        {tarnwick, {"abc"}, "* Error: WAIT must be a whole number of seconds, not 'abc'"},
        {tarnwick, {"5s"}, "* Error: WAIT must be a whole number of seconds, not '5s'"},
        {tarnwick, {"7", "9"}, "* Error: only one WAIT may be given, not also '9'"},
        {tarnwick,
         {"--scan-dir"},
         "* Error: option --scan-dir needs a value (see tarnwick --help)"},
        {tarnwick,
         {"--no-second-reading=yes"},
         "* Error: option --no-second-reading takes no value (see tarnwick --help)"},
        {tarnwick,
         {"--av-check-every", "often"},
         "* Error: --av-check-every needs seconds (30s) or minutes (5m, or a plain 5) up to a "
         "week, not 'often'"},
        {tarnwick,
         {"--on-limit", "ignore"},
         "* Error: --on-limit takes virus or clean, not 'ignore'"},
        {tarnwick,
         {"--require-av", "--no-av-check"},
         "* Error: --no-av-check cannot go with --require-av"},
        {unpack,
         {"-x", "message.eml", "parts"},
         "* Error: unknown option '-x' (see tarnwick-unpack --help)"},
    };
    for (const auto& c : cases) {
        TempFolder folder;
        // Standard error joined to standard output: the line must come twice.
        std::vector<std::string> args{"-c", "\"$0\" \"$@\" 2>&1", c.program};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Printed printed = runToEnd("/bin/sh", args, folder.path());
        EXPECT_EQ(printed.exitStatus, 2) << c.line;
        EXPECT_EQ(printed.lines, (std::vector<std::string>{c.line, c.line}));
        EXPECT_TRUE(std::filesystem::is_empty(folder.path())) << c.line;
    }
}

// startsWithLine - true when one of lines begins with text.
bool startsWithLine(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& line : lines) {
        if (line.rfind(text, 0) == 0)
            return true;
    }
    return false;
}

TEST(CommandLine, CheckExitCodeAndReportFollowWhatBecameOfTheTestFile) {
    const std::string probeFiles = "probe-[0-9]+\\.scanme";
    const std::string watching = "* Anti-virus check: the test file in ScanMe was ";
    const struct {
        std::string name;
        std::vector<AvRule> rules;
        bool scanMeIsAFile;
        std::string wait;
        int exitStatus;
        std::string line;  // the start of a line of the report
    } cases[] = {
        {"removes",
         {{probeFiles, "", AvAction::Delete, 0, 0}},
         false,
         "0",
         0,
         watching + "removed after "},
        // Acts once the probe has written the file, not on the empty file it creates.
        {"cleans",
         {{probeFiles, "", AvAction::Truncate, 10, 200}},
         false,
         "0",
         0,
         watching + "changed after "},
        {"slow",
         {{probeFiles, "", AvAction::Delete, 0, 1200}},
         false,
         "1",
         0,
         "* Anti-virus check: the anti-virus took "},
        {"none",
         {},
         false,
         "0",
         1,
         "* Anti-virus check: nothing happened to the test file in ScanMe within 5 s; the "
         "anti-virus is not watching this folder, and verdicts mean nothing until it does."},
        {"unwritable", {}, true, "0", 2, "* Error: ScanMe ("},
    };
    for (const auto& c : cases) {
        TempFolder folder;
        const std::string scanMe = folder.path() + "/ScanMe";
        if (c.scanMeIsAFile)
            std::ofstream(scanMe) << "not a folder";
        std::unique_ptr<StandInAv> av;
        if (!c.rules.empty())
            av = std::make_unique<StandInAv>(scanMe, c.rules);
        const Printed printed = runToEnd(TARNWICK_EXE, {"--check", c.wait}, folder.path());
        EXPECT_EQ(printed.exitStatus, c.exitStatus) << c.name;
        EXPECT_TRUE(contains(printed.lines, "Folder: " + scanMe)) << c.name;
        EXPECT_TRUE(startsWithLine(printed.lines, c.line)) << c.name;
        EXPECT_TRUE(startsWithLine(printed.lines, "Result: ")) << c.name;
        if (!c.scanMeIsAFile) {
            EXPECT_TRUE(std::filesystem::is_empty(scanMe)) << c.name;
        }
    }
}

}  // namespace
}  // namespace tarnwick::e2e
