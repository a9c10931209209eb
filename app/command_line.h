// SPDX-License-Identifier: Apache-2.0
// command_line.h - tarnwick's command line: `tarnwick [OPTIONS] [WAIT]`.
//
// --help and --version ask the program about itself and win wherever they
// stand. Everything else is read strictly: WAIT is an integer (a negative
// one counts as 0), and an unknown option, a WAIT that is not an integer or
// a second operand is refused with one line, before anything is made.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tarnwick {

// What the command line asks for instead of a filter run.
enum class InformationRequest { None, Help, Version };

// StartOptions - what the words ask of a filter run (or of --check).
struct StartOptions {
    int waitSeconds = 5;
    bool secondReading = true;
    bool limitsFailClosed = true;  // false: --on-limit clean
    std::string scanFolder;        // empty: the filter's default
    bool check = false;            // --check: self-check and one probe, then exit
    int checkSizeMegabytes = 0;    // --size: a test file that large too
    bool probe = true;             // false: --no-av-check
    int probeEverySeconds = -1;    // -1: not given
    bool requireAv = false;
    std::string statsFile;  // --stats-file: where the counters go; empty: nowhere
    // error - empty when the words were understood; else the refusal text.
    std::string error;
};

// findInformationRequest - Help when an argument after the program name is
// exactly "--help", Version when it is exactly "--version" (the first such
// argument decides), else None.
InformationRequest findInformationRequest(int argumentCount, const char* const* argumentWords);

// writeInformation - writes the help or version text of request to stream
// and returns the exit code 0.
// REQUIRES: request is not InformationRequest::None.
int writeInformation(InformationRequest request, std::ostream& stream);

// readCommandLine - the words after the program name (without --help and
// --version) read into StartOptions; error set for anything not understood.
StartOptions readCommandLine(const std::vector<std::string>& words);

}  // namespace tarnwick
