// SPDX-License-Identifier: Apache-2.0
// scan_tool_test.cpp - tarnwick-scan run in-process beside the stand-in
// anti-virus, which removes every scan file that carries a marker: the line
// per message, their order, the exit status (a virus outranks an error, an
// error outranks clean), folders, several messages at once, and that the run
// leaves nothing in its scan folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "../common/temp_folder.h"
#include "stand_in_av.h"
#include "tools/scan_tool.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

// The stand-in removes the scan files holding this (split so no file of the
// project holds it whole).
const std::string kMarker = std::string("TARNWICK-SCAN-") + "TEST-MARKER";
// The probe's test files, which the stand-in removes too unless a case says
// the anti-virus is not watching.
const e2e::AvRule kProbeRule{"probe-[0-9]+\\.scanme", std::string("STANDARD-") + "ANTIVIRUS-",
                             e2e::AvAction::Delete, 0};

// scanFilesIn - the files in folder but the probe record and its lock, which
// stay for the next run.
std::vector<std::string> scanFilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name != "tarnwick.probe" && name != "tarnwick-probe.lock")
            names.push_back(name);
    }
    return names;
}

// ScanCase - one run: the paths after the options ("{}" marks where the
// path of the test's mail folder goes), the lines expected on standard output
// with the same marks, the exit status, and the scan folder when it is not
// the usual one.
struct ScanCase {
    const char* name;
    std::vector<std::string> paths;
    std::string expectedOut;
    int expectedStatus;
    std::string scanFolder = {};
    std::vector<std::string> options = {};
    bool watched = true;  // the stand-in removes the probe's test file
};

// PrintTo - a case by its name in the test's messages.
void PrintTo(const ScanCase& scanCase, std::ostream* stream) {
    *stream << scanCase.name;
}

// expanded - text with every "{}" replaced by folder.
std::string expanded(std::string text, const std::string& folder) {
    for (std::size_t at = text.find("{}"); at != std::string::npos; at = text.find("{}", at))
        text.replace(at, 2, folder);
    return text;
}

class ScanToolTest : public ::testing::TestWithParam<ScanCase> {
  protected:
    void SetUp() override {
        root_ = test_support::makeTempFolder("tarnwick-scan-tool");
        fs::create_directories(root_ / "mail" / "folder");
        fs::create_directories(root_ / "mail" / "empty");
        write("mail/clean.eml", "Subject: clean\n\nnothing to see\n");
        write("mail/infected.eml", "Subject: infected\n\nhead\n" + kMarker + "\ntail\n");
        write("mail/folder/a.eml", "Subject: a\n\nclean too\n");
        write("mail/folder/b.eml", "Subject: b\n\n" + kMarker + "\n");
        // Never followed out of the folder given.
        fs::create_symlink(root_ / "mail" / "clean.eml", root_ / "mail" / "folder" / "c.eml");
        write("mail/new\nline.eml", "Subject: clean\n\nnothing\n");
        // The marker only once decoded, in the second of two attachments.
        write("mail/attached.eml",
              "Subject: attached\nMIME-Version: 1.0\n"
              "Content-Type: multipart/mixed; boundary=b\n\n--b\n"
              "Content-Type: text/plain\n\nclean\n--b\n"
              "Content-Type: application/octet-stream; name=invoice.exe\n"
              "Content-Transfer-Encoding: base64\n\n"
              "aGVhZApUQVJOV0lDSy1TQ0FOLVRFU1QtTUFSS0VSCnRhaWwK\n--b--\n");
    }
    void TearDown() override { fs::remove_all(root_); }

    void write(const std::string& name, const std::string& text) {
        std::ofstream(root_ / name, std::ios::binary) << text;
    }

    fs::path root_;
};

TEST_P(ScanToolTest, LinesAndExitStatus) {
    const ScanCase& scanCase = GetParam();
    const std::string mail = (root_ / "mail").string();
    const std::string scanFolder = scanCase.scanFolder.empty()
                                       ? (root_ / "ScanMe").string()
                                       : expanded(scanCase.scanFolder, mail);
    std::vector<std::string> arguments = {"--wait", "1", "--scan-dir", scanFolder};
    arguments.insert(arguments.end(), scanCase.options.begin(), scanCase.options.end());
    for (const std::string& path : scanCase.paths)
        arguments.push_back(expanded(path, mail));

    std::ostringstream out;
    std::ostringstream err;
    int status = -1;
    {
        std::vector<e2e::AvRule> rules = {{"", kMarker, e2e::AvAction::Delete, 0}};
        if (scanCase.watched)
            rules.push_back(kProbeRule);
        e2e::StandInAv av(scanFolder, rules);
        status = runScanTool(arguments, out, err);
    }
    EXPECT_EQ(out.str(), expanded(scanCase.expectedOut, mail)) << err.str();
    EXPECT_EQ(status, scanCase.expectedStatus) << err.str();
    EXPECT_TRUE(!fs::exists(scanFolder) || scanFilesIn(scanFolder).empty())
        << "the run left files in its scan folder";
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ScanToolTest,
    ::testing::Values(
        ScanCase{"Clean", {"{}/clean.eml"}, "{}/clean.eml: OK\n", kScanToolClean},
        ScanCase{"Infected",
                 {"{}/infected.eml"},
                 "{}/infected.eml: Virus Found (the message removed)\n",
                 kScanToolVirusFound},
        ScanCase{"InfectedAttachment",
                 {"{}/attached.eml"},
                 "{}/attached.eml: Virus Found (invoice.exe removed)\n",
                 kScanToolVirusFound},
        ScanCase{
            "Missing", {"{}/missing.eml"}, "{}/missing.eml: ERROR no such file\n", kScanToolError},
        ScanCase{"ControlCharacterInName",
                 {"{}/new\nline.eml"},
                 "{}/new\\x0Aline.eml: OK\n",
                 kScanToolClean},
        ScanCase{"Folder",
                 {"{}/folder", "{}/empty"},
                 "{}/folder/a.eml: OK\n{}/folder/b.eml: Virus Found (the message removed)\n",
                 kScanToolVirusFound},
        ScanCase{"ErrorOutranksClean",
                 {"{}/clean.eml", "{}/missing.eml"},
                 "{}/clean.eml: OK\n{}/missing.eml: ERROR no such file\n",
                 kScanToolError},
        ScanCase{"NoScanFolder",
                 {"{}/clean.eml"},
                 "{}/clean.eml: ERROR cannot make the scan folder {}/no/ScanMe\n",
                 kScanToolError,
                 "{}/no/ScanMe"},
        ScanCase{"VirusOutranksError",
                 {"{}/missing.eml", "{}/clean.eml", "{}/infected.eml", "{}/folder/a.eml"},
                 "{}/missing.eml: ERROR no such file\n{}/clean.eml: OK\n"
                 "{}/infected.eml: Virus Found (the message removed)\n{}/folder/a.eml: OK\n",
                 kScanToolVirusFound},
        // The stand-in anti-virus ignores the probe's test file.
        ScanCase{"UnwatchedUnderRequireAv",
                 {"{}/clean.eml"},
                 "{}/clean.eml: ERROR the anti-virus is not watching {}/ScanMe\n",
                 kScanToolError,
                 "{}/ScanMe",
                 {},
                 false},
        ScanCase{"UnwatchedAllowed",
                 {"{}/clean.eml"},
                 "{}/clean.eml: OK\n",
                 kScanToolClean,
                 "{}/ScanMe",
                 {"--allow-unwatched"},
                 false},
        // Values after '=' and short spellings, as every program reads them.
        ScanCase{"QuietWithWaitAfterEquals",
                 {"{}/clean.eml", "{}/infected.eml"},
                 "{}/infected.eml: Virus Found (the message removed)\n",
                 kScanToolVirusFound,
                 {},
                 {"--wait=1", "-q"}}),
    [](const ::testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.name); });

// Runs started together share one probe: one probes while the others wait
// for its record, and every one of them scans.
TEST(ScanToolParallel, RunsShareOneProbe) {
    const fs::path root = test_support::makeTempFolder("tarnwick-scan-parallel");
    const fs::path folder = root / "ScanMe";
    fs::create_directories(folder);
    std::ofstream(root / "clean.eml") << "Subject: clean\n\nnothing to see\n";
    const std::string run = std::string("'") + TARNWICK_SCAN_EXE + "' --wait 1 --scan-dir '" +
                            folder.string() + "' '" + (root / "clean.eml").string() + "' >>'" +
                            (root / "out").string() + "'";
    {
        e2e::StandInAv av(folder.string(), {kProbeRule});
        const std::string runs = "(" + run + " & " + run + " & " + run + " & " + run + " & wait)";
        ASSERT_EQ(std::system(runs.c_str()), 0);
        EXPECT_EQ(av.acted().size(), 1u);
    }
    std::ifstream out(root / "out");
    const std::string lines((std::istreambuf_iterator<char>(out)),
                            std::istreambuf_iterator<char>());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 4) << lines;
    EXPECT_EQ(lines.find("ERROR"), std::string::npos) << lines;
    fs::remove_all(root);
}

}  // namespace
}  // namespace tarnwick
