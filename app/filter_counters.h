// SPDX-License-Identifier: Apache-2.0
// filter_counters.h - the filter's counters: what its front end and its scan
// job report (FilterEvents), kept as Prometheus metrics named tarnwick_*.
//
// The names follow the format's conventions: counters end in _total, times
// are in seconds, sizes in bytes. See the guide for what each one means and
// how node_exporter's textfile collector reads the file.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "front/filter_events.h"
#include "runtime/metrics.h"

namespace tarnwick {

class FilterCounters final : public FilterEvents {
  public:
    // FilterCounters - every series at 0, the anti-virus not checked yet.
    FilterCounters();

    void requestStarted() override;
    void requestAnswered(double seconds) override;
    void messageJudged(Verdict verdict) override;
    void virusShown(Shown shown, Sign sign) override;
    void postponed(Postponement cause) override;
    void antivirusChecked(AvState state, double reactionSeconds) override;
    void unpacked(Shown reading, std::uint64_t files, std::uint64_t bytes) override;

    // exposition - the text of the counters file, with the seconds since the
    // anti-virus was last seen watching as of now.
    std::string exposition();

  private:
    // antivirusCheckedState - the state gauge: 1 for state, 0 for the others.
    void antivirusCheckedState(AvState state);

    Metrics metrics_;
    // Since the epoch: the start, and the end of the last check passed (0:
    // none yet), under timeLock_.
    const double startedAt_;
    double lastPassedAt_ = 0;
    SimpleMutex timeLock_;
};

}  // namespace tarnwick
