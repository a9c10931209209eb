// SPDX-License-Identifier: Apache-2.0
// bridge_counters.cpp - the bridge's decisions as metrics.
#include "milter/bridge_counters.h"

#include <vector>

namespace tarnwick::milter {

namespace {

constexpr const char* kMessages = "tarnwick_milter_messages_total";
constexpr const char* kViruses = "tarnwick_milter_viruses_total";
constexpr const char* kPostponed = "tarnwick_milter_postponed_total";
constexpr const char* kInFlight = "tarnwick_milter_messages_in_flight";
constexpr const char* kTime = "tarnwick_milter_message_duration_seconds";

// The upper bounds of the time histogram, in seconds.
const std::vector<double> kTimeBuckets = {1, 2.5, 5, 10, 15, 20, 30, 60, 120, 300};

// postponementCause - from the filter's reason for its last refusal.
const char* postponementCause(const std::string& text) {
    if (text.find("disk space") != std::string::npos)
        return "no_space";
    if (text.find("not watching") != std::string::npos)
        return "antivirus_not_watching";
    return "filter_busy";
}

}  // namespace

// verdictClass - see the header.
const char* verdictClass(const ScanOutcome& outcome, const MilterDecision& decision) {
    if (decision.virusFound)
        return "virus";
    if (outcome.status == ScanOutcome::Status::Busy)
        return "postponed";
    if (outcome.status == ScanOutcome::Status::Answered && decision.verdict != notScannedVerdict)
        return "clean";
    return "not_scanned";
}

BridgeCounters::BridgeCounters() {
    metrics_.declare(kMessages, MetricType::Counter, "Messages decided, by the filter's verdict.");
    for (const char* verdict : {"virus", "clean", "postponed", "not_scanned"})
        metrics_.add(kMessages, labelPair("verdict", verdict), 0);
    metrics_.declare(kViruses, MetricType::Counter,
                     "Messages with a virus, by the file that showed it and the first sign.");
    metrics_.declare(kPostponed, MetricType::Counter,
                     "Messages tempfailed because the filter kept asking to try later, by "
                     "cause.");
    for (const char* cause : {"no_space", "antivirus_not_watching", "filter_busy"})
        metrics_.add(kPostponed, labelPair("cause", cause), 0);
    metrics_.declare(kInFlight, MetricType::Gauge, "Messages being scanned now.");
    metrics_.set(kInFlight, "", 0);
    metrics_.declare(kTime, MetricType::Histogram,
                     "Seconds from a message's end to the bridge's decision.", kTimeBuckets);
}

void BridgeCounters::messageStarted() {
    metrics_.add(kInFlight, "", 1);
}

void BridgeCounters::messageDecided(const ScanOutcome& outcome, const MilterDecision& decision,
                                    const VirusSign& sign, double seconds) {
    metrics_.add(kInFlight, "", -1);
    metrics_.observe(kTime, seconds);
    const std::string verdict = verdictClass(outcome, decision);
    metrics_.add(kMessages, labelPair("verdict", verdict));
    if (verdict == "postponed")
        metrics_.add(kPostponed, labelPair("cause", postponementCause(outcome.answer.text)));
    if (verdict == "virus")
        metrics_.add(kViruses,
                     labelPair("found_in", sign.foundIn.empty() ? "unknown" : sign.foundIn) + "," +
                         labelPair("reason", sign.reason.empty() ? "unknown" : sign.reason));
}

}  // namespace tarnwick::milter
