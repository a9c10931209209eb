// SPDX-License-Identifier: Apache-2.0
// start_up.h - everything between the process start and the command loop:
// the command line, the banner, the temporary folder and its checks.
//
// A folder that cannot be used is reported once at start-up, and by every
// scan job again; such messages are accepted unchanged.
#pragma once

#include <cstdint>
#include <ostream>

#include "scanner/av_filter.h"

namespace tarnwick {

// The wait in seconds when the command line gives none.
inline constexpr int kDefaultWaitSeconds = 5;
// The command-line option that turns the second, tolerant reading of every
// message off (it is on by default).
inline constexpr const char* kNoSecondReadingOption = "--no-second-reading";

// parseWaitArgument - the base wait from an argument read the way atoi
// reads it (leading white space, an optional sign, decimal digits up to the
// first other character; no digits gives 0). A negative value counts as 0;
// a value too large for an int gives the largest int instead of wrapping.
int parseWaitArgument(const char* argument);

// writeBanner - the three start-up lines, written straight to stream (no
// other thread exists yet).
void writeBanner(std::ostream& stream, int waitSeconds);

// The exit code of a command line that is refused.
inline constexpr int kCommandLineRefused = 2;

// startUp - reads the command line (app/command_line.h); refuses one it does
// not understand with one "* Error: " line on the console stream and on
// standard error and the exit code kCommandLineRefused, making nothing.
// Otherwise sets the filter's wait, second reading, scan folder and
// requireAv; with --check runs the check (app/check_command.h) and returns
// its exit code; else writes the banner to the console stream, runs the
// self-check of the scan folder (making it when missing) and starts the
// anti-virus probe (scanner/av_watch.h), runs the command loop on
// inputDescriptor until that input ends, and returns the exit code 0.
int startUp(AvFilter& filter, int argumentCount, char** argumentWords, int inputDescriptor = 0);

}  // namespace tarnwick
