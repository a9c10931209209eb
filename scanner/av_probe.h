// SPDX-License-Identifier: Apache-2.0
// av_probe.h - the anti-virus probe: does the resident anti-virus watch the
// scan folder at all?
//
// The probe writes the standard 68-byte anti-virus test file into the scan
// folder under a name no message can have (probeFileName), closes it,
// offers it once more as every scan file is offered, and then looks at it
// every kProbeLookMilliseconds until a bound: a file removed, changed or
// refused (locked, access denied) means the anti-virus reacted. Whatever is
// left is removed. The test file is assembled at run time from pieces, so
// that no source and no binary of ours holds it whole.
//
// One probe runs at a time per process: its file name carries only the
// process id. The probe blocks its caller for up to the bound and is meant
// for a thread of its own (or for tarnwick --check).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tarnwick {

// The probe watches the test file for the base wait, but at least and at
// most this many seconds.
inline constexpr int kProbeShortestBoundSeconds = 5;
inline constexpr int kProbeLongestBoundSeconds = 30;
// How often the test file is looked at.
inline constexpr std::int64_t kProbeLookMilliseconds = 100;
// How long a test file the anti-virus holds is waited for before it is left.
inline constexpr std::int64_t kProbeRemovalMilliseconds = 30000;

// ProbeReaction - what became of the test file.
enum class ProbeReaction {
    Removed,     // it disappeared
    Changed,     // its content or size changed
    Locked,      // writing or opening it was refused
    Nothing,     // it stayed as written until the bound
    NotWritten,  // it could not be written for a reason of the disk (full, no folder)
};

// ProbeResult - the outcome of one probe.
struct ProbeResult {
    ProbeReaction reaction = ProbeReaction::Nothing;
    // From the close of the written file to the look that saw the reaction;
    // for Nothing the whole watch.
    std::int64_t milliseconds = 0;
    int boundSeconds = kProbeShortestBoundSeconds;
    // NotWritten: the C library's error code.
    int error = 0;
    // The test file could not be removed afterwards (its path, and why).
    bool leftBehind = false;
    std::string path;
    int removalError = 0;
    // The probe was stopped through ProbeClock::stopRequested: no verdict.
    bool stopped = false;
};

// ProbeClock - the probe's clock. The product uses a steady clock and real
// sleeps; tests act as the anti-virus in sleep and count time themselves.
struct ProbeClock {
    std::function<std::int64_t()> nowMilliseconds;
    std::function<void(std::int64_t milliseconds)> sleep;
    // stopRequested - asked before the test file is written and before every
    // look; true ends the probe there (its file removed, result.stopped set).
    std::function<bool()> stopRequested;
};

// probeBoundSeconds - how long the probe watches for a base wait.
int probeBoundSeconds(int waitSeconds);

// antivirusTestFile - the 68 bytes of the standard anti-virus test file.
std::string antivirusTestFile();

// reacted - true for the three reactions of an anti-virus.
bool reacted(const ProbeResult& result);

// runAvProbe - one probe in folder (which must exist) for the base wait.
// Blocks for up to probeBoundSeconds, plus the removal of a held test file.
// With fileBytes above the test file's length, the test file is followed by
// blank lines up to that size (for the anti-virus's size limits), and a
// change of its size counts as a change too.
ProbeResult runAvProbe(const std::string& folder, int waitSeconds, const ProbeClock& clock = {},
                       std::uint64_t fileBytes = 0);

// probeLines - the log lines of a result, each starting "* Anti-virus check: ".
std::vector<std::string> probeLines(const ProbeResult& result, int waitSeconds);

}  // namespace tarnwick
