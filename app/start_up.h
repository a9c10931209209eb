// SPDX-License-Identifier: Apache-2.0
// start_up.h - everything between the process start and the command loop:
// the wait time from the command line, the banner, the temporary folder.
//
// Start-up reports nothing about the folder: a folder that cannot be made is
// reported by every scan job instead, and such messages are accepted
// unchanged.
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

// startUp - sets filter.waitSeconds from the first argument after the
// program name that is not kNoSecondReadingOption (the default without one;
// further arguments are ignored), sets filter.secondReading unless
// kNoSecondReadingOption is among the arguments,
// writes the banner to the console stream, makes sure "ScanMe" exists in the
// current working directory, runs the command loop on inputDescriptor until
// that input ends, and returns the exit code 0.
int startUp(AvFilter& filter, int argumentCount, char** argumentWords, int inputDescriptor = 0);

}  // namespace tarnwick
