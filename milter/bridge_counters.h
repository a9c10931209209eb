// SPDX-License-Identifier: Apache-2.0
// bridge_counters.h - tarnwick-milter's counters, named tarnwick_milter_* so
// that they never clash with those of a filter that keeps its own file
// beside them: messages by verdict, viruses by the file that showed them,
// postponements by cause, messages in flight and the time each one took.
#pragma once

#include <string>

#include "milter/message_summary.h"
#include "milter/verdict_action.h"
#include "runtime/metrics.h"

namespace tarnwick::milter {

class BridgeCounters {
  public:
    // BridgeCounters - every series at 0.
    BridgeCounters();

    // messageStarted - a message's end arrived; it is scanned from now on.
    void messageStarted();
    // messageDecided - what became of it, seconds after messageStarted.
    void messageDecided(const ScanOutcome& outcome, const MilterDecision& decision,
                        const VirusSign& sign, double seconds);
    // exposition - the text of the counters file.
    std::string exposition() const { return metrics_.exposition(); }

  private:
    Metrics metrics_;
};

// verdictClass - the verdict label of one message: "virus", "clean",
// "postponed" (the filter kept asking to try later) or "not_scanned".
const char* verdictClass(const ScanOutcome& outcome, const MilterDecision& decision);

}  // namespace tarnwick::milter
