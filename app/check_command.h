// SPDX-License-Identifier: Apache-2.0
// check_command.h - `tarnwick --check [WAIT]`: the self-check of the scan
// folder and one anti-virus probe, reported for a person or a monitoring
// system, instead of a filter run.
#pragma once

#include <ostream>
#include <string>

namespace tarnwick {

// Exit codes of --check.
inline constexpr int kCheckWatching = 0;     // the anti-virus reacted to the test file
inline constexpr int kCheckNotWatching = 1;  // nothing happened to it
inline constexpr int kCheckUnusable = 2;     // the folder or the test file cannot be written

// The largest test file --check --size writes, in megabytes.
inline constexpr int kLargestCheckSizeMegabytes = 4096;

// runCheckCommand - checks folder, probes it for the base wait and writes
// the report to out: the folder, the user, the check's lines as the filter
// logs them and a closing "Result:" line with advice that fits the failure.
// With sizeMegabytes above 0 and the anti-virus watching, a second test
// file of that size follows (the test file, then blank lines): nothing
// happening to it means the anti-virus skips files that large. Returns one
// of the exit codes above.
int runCheckCommand(const std::string& folder, int waitSeconds, std::ostream& out,
                    int sizeMegabytes = 0);

}  // namespace tarnwick
