// SPDX-License-Identifier: Apache-2.0
// shared_probe.cpp - the probe record in the scan folder, and who probes.
#include "scanner/shared_probe.h"

#include <chrono>
#include <cstdio>
#include <fstream>

#include "runtime/platform.h"
#include "scanfiles/scan_names.h"
#include "scanner/av_probe.h"

namespace tarnwick {

namespace {

constexpr const char* kLinePrefix = "* Anti-virus check: ";
// How often a waiting run looks at the record again.
constexpr std::int64_t kRecordLookMilliseconds = 100;

// ProbeRecord - the record's content: "passed SECONDS" or "failed SECONDS".
struct ProbeRecord {
    bool valid = false;
    bool passed = false;
    std::int64_t seconds = 0;
};

// readRecord - the record in folder; not valid when missing or unreadable
// (also while another run rewrites it).
ProbeRecord readRecord(const std::string& folder) {
    ProbeRecord record;
    std::ifstream file(probeRecordName(folder));
    std::string outcome;
    if (file >> outcome >> record.seconds && (outcome == "passed" || outcome == "failed")) {
        record.valid = true;
        record.passed = outcome == "passed";
    }
    return record;
}

// writeRecord - replaces the record (never written through a link).
void writeRecord(const std::string& folder, bool passed, std::int64_t seconds) {
    std::FILE* file = platform::createPrivateFile(probeRecordName(folder));
    if (file == nullptr)
        return;
    const std::string text = std::string(passed ? "passed " : "failed ") + std::to_string(seconds);
    std::fputs((text + "\n").c_str(), file);
    std::fclose(file);
}

// wallSeconds - the default clock.
std::int64_t wallSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// recentPass - a passed probe younger than the interval (not from the future).
bool recentPass(const ProbeRecord& record, std::int64_t now, int intervalSeconds) {
    return record.valid && record.passed && record.seconds <= now &&
           now - record.seconds < intervalSeconds;
}

// borrowed - the outcome taken from another run's record.
SharedProbeOutcome borrowed(const ProbeRecord& record, std::int64_t now) {
    SharedProbeOutcome outcome;
    outcome.watching = record.passed;
    outcome.lines.push_back(
        std::string(kLinePrefix) + "another run's check " + std::to_string(now - record.seconds) +
        " s ago " +
        (record.passed ? "saw the anti-virus react; the anti-virus is watching."
                       : "saw nothing happen; the anti-virus is not watching this folder."));
    return outcome;
}

}  // namespace

// probeUnlessRecent - a recent record, else the lock and a probe of our own.
SharedProbeOutcome probeUnlessRecent(const std::string& folder, int waitSeconds,
                                     int intervalSeconds, const SharedProbeClock& given) {
    SharedProbeClock clock = given;
    if (!clock.nowSeconds)
        clock.nowSeconds = wallSeconds;
    if (!clock.sleep)
        clock.sleep = [](std::int64_t ms) {
            platform::sleepMilliseconds(static_cast<std::uint64_t>(ms));
        };
    const std::int64_t started = clock.nowSeconds();
    const std::int64_t patience =
        static_cast<std::int64_t>(probeBoundSeconds(waitSeconds) + kSharedProbeExtraSeconds) * 1000;
    platform::LockHandle lock = 0;
    platform::FolderLock taken = platform::FolderLock::HeldByAnother;
    for (std::int64_t waited = 0;; waited += kRecordLookMilliseconds) {
        const ProbeRecord record = readRecord(folder);
        const std::int64_t now = clock.nowSeconds();
        if (recentPass(record, now, intervalSeconds) ||
            (record.valid && !record.passed && record.seconds >= started))
            return borrowed(record, now);
        taken = platform::lockUntilReleased(probeLockName(folder), lock);
        if (taken != platform::FolderLock::HeldByAnother || waited >= patience)
            break;
        clock.sleep(kRecordLookMilliseconds);
    }
    // The lock's holder may have written its record just before it let go.
    const ProbeRecord record = readRecord(folder);
    SharedProbeOutcome outcome;
    if (recentPass(record, clock.nowSeconds(), intervalSeconds)) {
        outcome = borrowed(record, clock.nowSeconds());
    } else {
        const ProbeResult result = runAvProbe(folder, waitSeconds);
        outcome.watching = reacted(result);
        outcome.probed = true;
        outcome.lines = probeLines(result, waitSeconds);
        writeRecord(folder, outcome.watching, clock.nowSeconds());
    }
    if (taken == platform::FolderLock::Owned)
        platform::releaseLock(lock);
    return outcome;
}

}  // namespace tarnwick
