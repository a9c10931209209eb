// SPDX-License-Identifier: Apache-2.0
// av_evidence.cpp - the freshness rule of the anti-virus probe.
#include "scanner/av_evidence.h"

#include <chrono>

namespace tarnwick {

// recordProbe - keeps the finishing time under the probe's outcome.
void AvEvidence::recordProbe(bool passed, std::int64_t finishedAt) {
    if (passed)
        lastPassed_.store(finishedAt);
    else
        lastFailed_.store(finishedAt);
}

// watching - a passed probe, and no failed one after it.
bool AvEvidence::watching() const {
    const std::int64_t passed = lastPassed_.load();
    return passed >= 0 && lastFailed_.load() <= passed;
}

// allowsVerdict - the last probe passed, recently, and none failed meanwhile.
bool AvEvidence::allowsVerdict(std::int64_t scanBegan, std::int64_t answerAt) const {
    const std::int64_t failed = lastFailed_.load();
    const std::int64_t passed = lastPassed_.load();
    if (passed < 0 || failed > passed || (failed >= 0 && failed >= scanBegan))
        return false;
    return intervalMilliseconds_ == 0 || answerAt - passed <= 2 * intervalMilliseconds_;
}

// steadyNowMilliseconds - milliseconds of the steady clock.
std::int64_t steadyNowMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace tarnwick
