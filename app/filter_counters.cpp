// SPDX-License-Identifier: Apache-2.0
// filter_counters.cpp - the filter's events as metrics.
#include "app/filter_counters.h"

namespace tarnwick {

namespace {

// The upper bounds of the request-to-answer histogram, in seconds: a clean
// message with the default wait takes some 5 to 20 seconds.
const std::vector<double> kAnswerBuckets = {1, 2.5, 5, 10, 15, 20, 30, 60, 120, 300};

constexpr const char* kMessages = "tarnwick_messages_total";
constexpr const char* kViruses = "tarnwick_viruses_total";
constexpr const char* kPostponed = "tarnwick_postponed_total";
constexpr const char* kCheckState = "tarnwick_antivirus_check_state";
constexpr const char* kChecks = "tarnwick_antivirus_checks_total";
constexpr const char* kReaction = "tarnwick_antivirus_reaction_seconds";
constexpr const char* kLastPassed = "tarnwick_antivirus_last_passed_timestamp_seconds";
constexpr const char* kSincePassed = "tarnwick_antivirus_seconds_since_passed";
constexpr const char* kFiles = "tarnwick_unpacked_files_total";
constexpr const char* kBytes = "tarnwick_unpacked_bytes_total";
constexpr const char* kInFlight = "tarnwick_requests_in_flight";
constexpr const char* kAnswerTime = "tarnwick_request_duration_seconds";

// wallSeconds - now, in seconds since the epoch.
double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

const char* verdictWord(FilterEvents::Verdict verdict) {
    switch (verdict) {
        case FilterEvents::Verdict::Virus:
            return "virus";
        case FilterEvents::Verdict::Clean:
            return "clean";
        case FilterEvents::Verdict::Postponed:
            return "postponed";
        case FilterEvents::Verdict::NotScanned:
            break;
    }
    return "not_scanned";
}

const char* shownWord(FilterEvents::Shown shown) {
    switch (shown) {
        case FilterEvents::Shown::Copy:
            return "copy";
        case FilterEvents::Shown::FirstReading:
            return "first_reading";
        case FilterEvents::Shown::SecondReading:
            break;
    }
    return "second_reading";
}

const char* signWord(FilterEvents::Sign sign) {
    switch (sign) {
        case FilterEvents::Sign::Removed:
            return "removed";
        case FilterEvents::Sign::Changed:
            return "changed";
        case FilterEvents::Sign::Locked:
            return "locked";
        case FilterEvents::Sign::CouldNotWrite:
            return "could_not_write";
        case FilterEvents::Sign::Limit:
            break;
    }
    return "limit";
}

const char* causeWord(FilterEvents::Postponement cause) {
    switch (cause) {
        case FilterEvents::Postponement::NoSpace:
            return "no_space";
        case FilterEvents::Postponement::ReadingBusy:
            return "reading_busy";  // counted from its first occurrence on
        case FilterEvents::Postponement::AntivirusNotWatching:
            break;
    }
    return "antivirus_not_watching";
}

const char* stateWord(FilterEvents::AvState state) {
    switch (state) {
        case FilterEvents::AvState::NotChecked:
            return "not_checked";
        case FilterEvents::AvState::Watching:
            return "watching";
        case FilterEvents::AvState::NotWatching:
            break;
    }
    return "not_watching";
}

// virusLabels - the labels of one kind of virus sign.
std::string virusLabels(FilterEvents::Shown shown, FilterEvents::Sign sign) {
    return labelPair("found_in", shownWord(shown)) + "," + labelPair("reason", signWord(sign));
}

}  // namespace

FilterCounters::FilterCounters() : startedAt_(wallSeconds()) {
    metrics_.declare(kMessages, MetricType::Counter, "Messages answered, by verdict.");
    for (const Verdict verdict :
         {Verdict::Virus, Verdict::Clean, Verdict::Postponed, Verdict::NotScanned})
        metrics_.add(kMessages, labelPair("verdict", verdictWord(verdict)), 0);
    metrics_.declare(kViruses, MetricType::Counter,
                     "Messages answered Virus Found, by the file that showed it (the copy of "
                     "the message, a file of the first or of the second reading) and the first "
                     "sign seen.");
    for (const Shown shown : {Shown::Copy, Shown::FirstReading, Shown::SecondReading})
        for (const Sign sign : {Sign::Removed, Sign::Changed, Sign::Locked, Sign::CouldNotWrite})
            metrics_.add(kViruses, virusLabels(shown, sign), 0);
    metrics_.add(kViruses, virusLabels(Shown::SecondReading, Sign::Limit), 0);
    metrics_.declare(kPostponed, MetricType::Counter, "Messages postponed, by cause.");
    for (const Postponement cause : {Postponement::NoSpace, Postponement::AntivirusNotWatching})
        metrics_.add(kPostponed, labelPair("cause", causeWord(cause)), 0);
    metrics_.declare(kCheckState, MetricType::Gauge,
                     "1 for what the last anti-virus check saw, 0 for the others.");
    metrics_.declare(kChecks, MetricType::Counter, "Anti-virus checks ended, by result.");
    metrics_.add(kChecks, labelPair("result", "watching"), 0);
    metrics_.add(kChecks, labelPair("result", "not_watching"), 0);
    metrics_.declare(kReaction, MetricType::Gauge,
                     "Seconds the anti-virus took to react to the last check it passed.");
    metrics_.declare(kLastPassed, MetricType::Gauge,
                     "When the last check the anti-virus passed ended, in seconds since the "
                     "epoch (0: none yet).");
    metrics_.set(kLastPassed, "", 0);
    metrics_.declare(kSincePassed, MetricType::Gauge,
                     "Seconds since the last check the anti-virus passed, or since the start "
                     "while none has.");
    metrics_.declare(kFiles, MetricType::Counter,
                     "Files written for the anti-virus by each reading of the messages.");
    metrics_.declare(kBytes, MetricType::Counter,
                     "Bytes written for the anti-virus by each reading of the messages.");
    for (const char* reading : {"first", "second"}) {
        metrics_.add(kFiles, labelPair("reading", reading), 0);
        metrics_.add(kBytes, labelPair("reading", reading), 0);
    }
    metrics_.declare(kInFlight, MetricType::Gauge, "Requests accepted and not answered yet.");
    metrics_.set(kInFlight, "", 0);
    metrics_.declare(kAnswerTime, MetricType::Histogram,
                     "Seconds from a request's arrival to its answer.", kAnswerBuckets);
    antivirusCheckedState(AvState::NotChecked);
}

void FilterCounters::requestStarted() {
    metrics_.add(kInFlight, "", 1);
}

void FilterCounters::requestAnswered(double seconds) {
    metrics_.add(kInFlight, "", -1);
    metrics_.observe(kAnswerTime, seconds);
}

void FilterCounters::messageJudged(Verdict verdict) {
    metrics_.add(kMessages, labelPair("verdict", verdictWord(verdict)));
}

void FilterCounters::virusShown(Shown shown, Sign sign) {
    metrics_.add(kViruses, virusLabels(shown, sign));
}

void FilterCounters::postponed(Postponement cause) {
    metrics_.add(kPostponed, labelPair("cause", causeWord(cause)));
}

void FilterCounters::unpacked(Shown reading, std::uint64_t files, std::uint64_t bytes) {
    const std::string labels =
        labelPair("reading", reading == Shown::FirstReading ? "first" : "second");
    metrics_.add(kFiles, labels, static_cast<double>(files));
    metrics_.add(kBytes, labels, static_cast<double>(bytes));
}

void FilterCounters::antivirusChecked(AvState state, double reactionSeconds) {
    antivirusCheckedState(state);
    if (state == AvState::NotChecked)
        return;
    metrics_.add(kChecks, labelPair("result", stateWord(state)));
    if (state != AvState::Watching)
        return;
    metrics_.set(kReaction, "", reactionSeconds);
    const double now = wallSeconds();
    metrics_.set(kLastPassed, "", now);
    MutexLock held(timeLock_);
    lastPassedAt_ = now;
}

// antivirusCheckedState - 1 for state, 0 for the others.
void FilterCounters::antivirusCheckedState(AvState state) {
    for (const AvState each : {AvState::NotChecked, AvState::Watching, AvState::NotWatching})
        metrics_.set(kCheckState, labelPair("state", stateWord(each)), each == state ? 1 : 0);
}

std::string FilterCounters::exposition() {
    double since = 0;
    {
        MutexLock held(timeLock_);
        since = wallSeconds() - (lastPassedAt_ > 0 ? lastPassedAt_ : startedAt_);
    }
    metrics_.set(kSincePassed, "", since < 0 ? 0 : since);
    return metrics_.exposition();
}

}  // namespace tarnwick
