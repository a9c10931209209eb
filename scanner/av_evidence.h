// SPDX-License-Identifier: Apache-2.0
// av_evidence.h - when the anti-virus was last seen reacting, and whether
// that is recent enough to answer a message with a verdict.
//
// Under --require-av the probe repeats every interval. A message gets a
// verdict only while the last probe passed, that probe finished within two
// intervals of the answer, and no probe failed after the message's scan
// began: the anti-virus going away while a message is in flight postpones
// that message too, not just the next ones. An interval of 0 (probe at
// start-up only) keeps the last passed probe good for ever.
//
// Times are milliseconds of a steady clock; the probing thread writes, every
// scan job reads.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarnwick {

// The repeat interval of the probe under --require-av when none is given.
inline constexpr int kDefaultProbeIntervalSeconds = 60;
// A failed probe is tried again after this many seconds.
inline constexpr int kProbeRetrySeconds = 3;

// AvEvidence - the times of the last passed and the last failed probe.
class AvEvidence {
  public:
    // setInterval - the repeat interval in seconds; 0: no repeat, never stale.
    // REQUIRES: called before the first probe.
    void setInterval(std::int64_t seconds) { intervalMilliseconds_ = seconds * 1000; }

    // recordProbe - a probe that passed (the anti-virus reacted) or failed,
    // finished at the given time.
    void recordProbe(bool passed, std::int64_t finishedAt);

    // allowsVerdict - whether a message whose scan began at scanBegan may be
    // answered with a verdict at answerAt (see the top of this file).
    bool allowsVerdict(std::int64_t scanBegan, std::int64_t answerAt) const;

    // watching - whether the last finished probe passed.
    bool watching() const;

    // lastPassedAt - when the last passed probe finished; -1 before any.
    std::int64_t lastPassedAt() const { return lastPassed_.load(); }

  private:
    std::int64_t intervalMilliseconds_ = 0;
    std::atomic<std::int64_t> lastPassed_{-1};
    std::atomic<std::int64_t> lastFailed_{-1};
};

// steadyNowMilliseconds - the steady clock the product's evidence uses.
std::int64_t steadyNowMilliseconds();

}  // namespace tarnwick
