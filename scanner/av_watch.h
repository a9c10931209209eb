// SPDX-License-Identifier: Apache-2.0
// av_watch.h - the checks start-up runs on the scan folder and the
// anti-virus: the self-check before the command loop, then the probe on a
// thread of its own, once or repeatedly.
//
// The probe never delays a command or a message: it runs beside the command
// loop, and its result matters to messages only when the filter requires a
// watching anti-virus (AvFilter::requireAv), through
// AvFilter::antivirusEvidence.
#pragma once

#include <atomic>
#include <memory>

#include "scanner/av_filter.h"

namespace tarnwick {

// AvCheckSettings - what start-up was told about the probe.
struct AvCheckSettings {
    bool probe = true;     // false: --no-av-check
    int everySeconds = 0;  // repeat the probe this often; 0: at start-up only
};

// How long AvWatch::end waits for a probe in progress to remove its file.
inline constexpr int kProbeEndMilliseconds = 1000;

// AvWatch - the probing thread's stop switch, shared by start-up and the
// thread.
class AvWatch {
  public:
    // end - at the end of the run: no further probe starts, a probe in
    // progress stops at its next look and removes its test file, and that
    // is waited for, at most kProbeEndMilliseconds. Nothing more is logged.
    void end();

    // For the thread: stop requested, and whether a probe is in progress.
    std::atomic<bool> ending{false};
    std::atomic<bool> probing{false};
};

// startAvChecks - runs the self-check of filter.scanFolder (one error line
// when it fails), then, when settings.probe, starts the thread that probes
// the anti-virus: at once, again every settings.everySeconds, and every
// kProbeRetrySeconds while the last probe failed under filter.requireAv.
// The thread records every probe in filter.antivirusEvidence and writes the
// probe's lines, except those of a failure that repeats the one before.
// Returns at once, with the thread's stop switch (which does nothing when
// no thread was started).
// REQUIRES: filter.scanFolder, waitSeconds, requireAv and the interval of
// filter.antivirusEvidence are final, and the filter outlives the process's
// threads.
std::shared_ptr<AvWatch> startAvChecks(AvFilter& filter, const AvCheckSettings& settings);

}  // namespace tarnwick
