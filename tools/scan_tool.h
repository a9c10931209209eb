// SPDX-License-Identifier: Apache-2.0
// scan_tool.h - what `tarnwick-scan [OPTIONS] PATH...` does, callable
// in-process.
//
// The tool runs the filter's scan job on message files given on its command
// line, in the convention of command-line virus scanners: one line per
// message on standard output, "PATH: Virus Found (WHY)" (WHY in a few
// words, "invoice.exe removed", when the scan job can say), "PATH: OK" or
// "PATH: ERROR reason", and an exit status that mail servers, content
// filters and scripts read the same way (0 clean, 1 a virus found, 2 a
// message could not be scanned). Messages given together are scanned at the
// same time, at most kMaxScansInFlight at once, so their waits overlap.
//
// The scan job is the filter's own: the same copy, waits, checks and both
// readings, with the same limits. Its files carry the run's prefix
// (runFilePrefix, "scan-PID-"), so they never meet those of a filter or another run using
// the same folder, and whatever of them is still there when the run ends is
// removed. The filter's "* " progress lines never reach standard output.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace tarnwick {

// Exit statuses, in the command-line scanners' convention. A virus outranks
// an error, an error outranks clean.
enum ScanToolStatus : int {
    kScanToolClean = 0,       // every message scanned, no virus found
    kScanToolVirusFound = 1,  // at least one message holds a virus
    kScanToolError = 2,       // a message could not be scanned, or bad usage
};

// kMaxScansInFlight - messages scanned at the same time at most: as many as
// the filter takes requests at once.
inline constexpr std::size_t kMaxScansInFlight = 50;

// ScanToolOptions - the command line, read.
struct ScanToolOptions {
    int waitSeconds = 5;                  // --wait SECONDS
    bool secondReading = true;            // --no-second-reading clears it
    bool limitsFailClosed = true;         // --on-limit clean clears it
    std::string scanFolder = "./ScanMe";  // --scan-dir PATH, made when missing
    bool quiet = false;                   // -q: only the infected on standard output
    bool summary = false;                 // --summary: a closing line with the counts
    bool verbose = false;                 // --verbose: the filter's progress lines on err
    // --require-av (the default; --allow-unwatched clears it): the anti-virus
    // must have reacted to a probe in the scan folder within
    // probeIntervalSeconds (this run's or another run's, see
    // scanner/shared_probe.h), else every message is an error instead of a
    // verdict nobody watched.
    bool requireAv = true;
    int probeIntervalSeconds = 60;  // --av-check-every
    // The prefix of this run's file names in the folder.
    std::string filePrefix;
    std::vector<std::string> paths;
};

// parseScanArguments - reads the arguments (without the program name) into
// options, with filePrefix that of this process. On a usage error writes a
// message and the usage text to err and returns false.
bool parseScanArguments(const std::vector<std::string>& arguments, ScanToolOptions& options,
                        std::ostream& err);

// runScan - scans every message that options.paths names: a file is one
// message, a folder each ordinary file directly in it (in name order; an
// empty folder names none), "-" the message on standard input (kept as a
// file of the run in the scan folder while it is scanned; its line names it
// "stdin"). Writes the lines to out as the messages finish,
// in the order given; with quiet only the "Virus Found" lines, and each
// error line to err instead. The filter's progress lines go to err with
// verbose, else nowhere. Removes the run's remaining files before it
// returns. Returns a ScanToolStatus.
// REQUIRES: no other scan and no unpacking in this process meanwhile (the
// unpacker's state is process-wide).
int runScan(const ScanToolOptions& options, std::ostream& out, std::ostream& err);

// runScanTool - parseScanArguments, then runScan; kScanToolError on a usage
// error.
int runScanTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace tarnwick
