// SPDX-License-Identifier: Apache-2.0
// shared_probe.h - one anti-virus probe per interval for every run that uses
// a scan folder.
//
// tarnwick-scan runs once per message under Exim and amavisd-new; a probe
// (and a detection in the anti-virus's log) per message is too much. The
// last probe's outcome and its time (wall-clock seconds, the same for every
// process) are kept in the folder (probeRecordName). A run that needs the
// anti-virus watching uses a passed probe younger than the interval, or a
// failed one that finished after the run started waiting; otherwise it
// probes, holding probeLockName, so that one run probes at a time while the
// others wait for its outcome.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tarnwick {

// How long a run waits for another run's probe beyond that probe's bound
// before it probes itself.
inline constexpr int kSharedProbeExtraSeconds = 35;

// SharedProbeClock - wall-clock seconds and sleeps; tests set their own.
struct SharedProbeClock {
    std::function<std::int64_t()> nowSeconds;
    std::function<void(std::int64_t milliseconds)> sleep;
};

// SharedProbeOutcome - whether the anti-virus is taken as watching, whether
// this run probed, and the lines to log.
struct SharedProbeOutcome {
    bool watching = false;
    bool probed = false;
    std::vector<std::string> lines;
};

// probeUnlessRecent - see the top of this file. folder must exist.
SharedProbeOutcome probeUnlessRecent(const std::string& folder, int waitSeconds,
                                     int intervalSeconds, const SharedProbeClock& clock = {});

}  // namespace tarnwick
