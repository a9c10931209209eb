// SPDX-License-Identifier: Apache-2.0
// tarnwick_scan.cpp - entry point of `tarnwick-scan [OPTIONS] PATH...`, the
// one-shot scanner for mail servers, content filters and scripts that call
// command-line virus scanners.
//
// All the scanning is in scan_tool.cpp; this file answers --help and
// --version, and makes sure that a request to end the process (Ctrl+C, a
// mail server's time-out) removes this run's files from the scan folder
// before the process ends.
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/platform.h"
#include "scanfiles/folder_claim.h"
#include "scanfiles/scan_file_create.h"
#include "scanfiles/scan_names.h"
#include "tarnwick/version.h"
#include "tools/scan_tool.h"

namespace {

// The usage summary printed by --help; the man page says the rest.
constexpr const char* kHelpText =
    "Usage: tarnwick-scan [OPTIONS] PATH...\n"
    "       tarnwick-scan --help | --version\n"
    "\n"
    "Scans each message file PATH (a folder: each file in it) the way the tarnwick\n"
    "filter does, by showing the message and its attachments to the machine's\n"
    "on-access anti-virus in the scan folder, and prints one line per message:\n"
    "  PATH: OK | PATH: Virus Found (why) | PATH: ERROR reason\n"
    "Exit status: 0 no virus found, 1 a virus found, 2 a message could not be\n"
    "scanned (a virus found outranks an error). Up to 50 messages at once.\n"
    "\n"
    "  --wait SECONDS       base wait for the anti-virus (default 5)\n"
    "  --no-second-reading  shows only what the first reading unpacks\n"
    "  --on-limit virus|clean\n"
    "                       the answer for a message the second reading cannot\n"
    "                       read to the end within its limits (default virus)\n"
    "  --scan-dir PATH      the scan folder (default ./ScanMe, made when missing)\n"
    "  -q, --quiet          prints only the infected messages\n"
    "  --summary            ends with a line of counts\n"
    "  --verbose            the filter's progress lines on standard error\n"
    "  --require-av         the default: the anti-virus must have reacted to a\n"
    "                       test file in the scan folder within the interval\n"
    "                       (one run probes, the others use its outcome); when\n"
    "                       it did not, every message is an ERROR (exit status 2)\n"
    "  --allow-unwatched    scans without that check\n"
    "  --av-check-every N|Ns|Nm\n"
    "                       the interval: N minutes, 30s, 5m (default 60s)\n"
    "  --help               prints this text and exits\n"
    "  --version            prints the version and exits\n"
    "\n"
    "See tarnwick-scan(1).\n";

// The run's files, for the removal when the process is asked to end. Set
// once before the request is watched for, read-only afterwards.
std::string runFolder;
std::string runPrefix;

// Rounds of removal when the process is asked to end, and the pause between
// two: a file a worker is writing at that moment cannot be removed on
// Windows until it is closed, which takes a moment at most.
constexpr int kRemovalRounds = 20;
constexpr std::uint64_t kRemovalPauseMilliseconds = 100;

// onTermination - no new scan file from here on, and this run's files go.
void onTermination() {
    tarnwick::stopScanFiles();
    for (int round = 1;
         tarnwick::removeRunFiles(runFolder, runPrefix) > 0 && round < kRemovalRounds; ++round)
        tarnwick::platform::sleepMilliseconds(kRemovalPauseMilliseconds);
}

// answerInformation - prints the help or version text when an argument asks
// for it; true when it did.
bool answerInformation(const std::vector<std::string>& arguments) {
    for (const std::string_view argument : arguments) {
        if (argument == "--") {
            return false;
        }
        if (argument == "--help") {
            std::cout << kHelpText << std::flush;
            return true;
        }
        if (argument == "--version") {
            std::cout << "tarnwick-scan " TARNWICK_VERSION "\n"
                      << "Licensed under the Apache License, Version 2.0.\n"
                      << std::flush;
            return true;
        }
    }
    return false;
}

}  // namespace

// main - answers --help and --version, or scans.
int main(int argc, char** argv) {
    const std::vector<std::string> arguments = tarnwick::platform::commandLineArguments(argc, argv);
    if (answerInformation(arguments))
        return 0;
    tarnwick::ScanToolOptions options;
    if (!tarnwick::parseScanArguments(arguments, options, std::cerr))
        return tarnwick::kScanToolError;
    tarnwick::platform::prepareStandardStreams();
    runFolder = options.scanFolder;
    runPrefix = options.filePrefix;
    // Before any thread starts: the workers must inherit the blocked signals.
    if (!tarnwick::platform::watchTerminationRequests(onTermination))
        std::cerr << "tarnwick-scan: cannot watch for interruptions; an interrupted run may "
                     "leave files in "
                  << runFolder << "\n";
    const int status = tarnwick::runScan(options, std::cout, std::cerr);
    // Ended at once, as the filter ends: a worker may still be letting go of
    // the run's shared state, and must not meet the process-wide pools of
    // handles already destroyed by the exit handlers.
    std::cout.flush();
    std::cerr.flush();
    std::_Exit(status);
}
