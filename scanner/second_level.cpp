// SPDX-License-Identifier: Apache-2.0
// second_level.cpp - the second level of the scan job: the attachments of a
// message that passed the first level are unpacked, decoded, into ScanMe,
// the message is read a second time the tolerant way mail clients read it
// and what only that reading finds is written as extra files beside them,
// the anti-virus gets a second wait, and all of those files are removed
// again. Extra files are recorded in the request's ledger beside the part
// files, so they are verified, waited for and cleaned up exactly alike.
//
// The unpacker's walker keeps process-wide state and has no lock of its own,
// so every unpacking runs under the filter's lock. The second reading keeps
// no shared state and runs without the lock, so its time delays no other
// message. The lock is never held while sleeping; lines written while it is
// held take the console lock inside it, never the other way round.
//
// A request verifies only the files of its own ledger: what it gives up on
// goes to the deferred clean-up, so a later request with the same number
// starts with none of them, and the clean-up never takes a file that a
// request in progress has created under the same name.
#include <string>
#include <vector>

#include "client_reading/second_reading.h"
#include "runtime/console_log.h"
#include "runtime/file_system.h"
#include "scanner/av_filter.h"
#include "unpacker/message_input.h"
#include "unpacker/unpacker.h"

namespace tarnwick {

namespace {

// The line of a request whose part files could not all be removed at once.
constexpr const char* kUnableToClean =
    "Unable to clean temp files, files may remain in ScanMe folder. Will try to clean them later.";

// logEach - one progress line of the request per text.
void logEach(std::uint32_t requestId, const std::vector<std::string>& texts) {
    for (const std::string& text : texts)
        logForRequest(requestId, text);
}

// commaSeparated - the names joined by ", ".
std::string commaSeparated(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace

// reopenMessage - the message again, positioned at its own header block.
std::unique_ptr<unpacker::ByteSource> AvFilter::reopenMessage(std::uint32_t requestId,
                                                              const std::string& path) {
    // An anti-virus that found a virus in the original may refuse every
    // open of it, or hold it while it scans, or quarantine it.
    std::unique_ptr<unpacker::ByteSource> input = unpacker::openMessageForUnpacking(path);
    for (int round = 0; !input && round < timing_.maxLockedRounds && fileExists(path); ++round) {
        logForRequest(requestId, "Unable to reopen the message, waiting 1 sec");
        pause(requestId, ScanPause::ReopenRound, timing_.lockedRoundSeconds);
        input = unpacker::openMessageForUnpacking(path);
    }
    if (input)
        return input;
    if (!fileExists(path))
        logForRequest(requestId,
                      "The message file is gone, the AV probably removed it because of virus in "
                      "data. Virus found, skipping second-level verification");
    else
        logForRequest(requestId,
                      "Unable to reopen the message, giving up waiting; the AV probably keeps it "
                      "locked because of virus in data. Virus found, skipping second-level "
                      "verification");
    return nullptr;
}

// runSecondLevel - unpack, wait, verify, and wait for locked part files.
AvFilter::SecondLevelEnd AvFilter::runSecondLevel(ScanLedger& ledger, const std::string& path,
                                                  std::int64_t waitTime, bool& virusFound) {
    const std::uint32_t requestId = ledger.requestId();

    std::unique_ptr<unpacker::ByteSource> input = reopenMessage(requestId, path);
    if (!input) {
        const bool kept = fileExists(path);
        ledger.noteVirusDetail(kept ? "the message file kept locked" : "the message file removed",
                               ScanFileKind::Copy,
                               kept ? VirusSign::KeptLocked : VirusSign::Removed);
        virusFound = true;
        return SecondLevelEnd::Checked;
    }
    logForRequest(requestId, "Unpacking attachments, if any");
    int unpacked = 0;
    {
        MutexLock held(lock);
        unpacked = unpacker::unpackMessage(std::move(input), ledger);
    }

    // The second reading, when the first wrote everything it meant to (after
    // a failed write the verdict is decided already). Its files are the
    // request's from the moment they are created, so removeShown verifies
    // the extra files too and no clean-up takes them meanwhile.
    client_reading::SecondReadingOutcome second;
    if (secondReading && unpacked >= 0) {
        const ReadingReservation reservation(
            readingBudget_, estimateReadingBytes(ledger.createdCount(ScanFileKind::Part)));
        if (!reservation.held()) {
            // Not judged on the first reading alone: tried again later.
            logForRequest(requestId, kReadingBusyLine);
            MutexLock held(lock);
            if (ledger.removeShown() == -1) {
                logForRequest(requestId, kUnableToClean);
                ledger.deferShown();
            }
            return SecondLevelEnd::Busy;
        }
        second = client_reading::readSecondTimeAfterFirst(path, ledger, ledger.writtenParts());
    }
    if (!second.signs.empty())
        logForRequest(requestId, "Unusual MIME structure: " + commaSeparated(second.signs));
    // Everything either reading writes for the anti-virus is written by now.
    for (const ScanFileKind kind : {ScanFileKind::Part, ScanFileKind::Extra}) {
        const WrittenTally tally = ledger.writtenTally(kind);
        if (tally.files > 0)
            events().unpacked(kind == ScanFileKind::Part ? FilterEvents::Shown::FirstReading
                                                         : FilterEvents::Shown::SecondReading,
                              tally.files, tally.bytes);
    }

    if (ledger.noSpaceLeft()) {
        // Not the anti-virus: nothing to wait for. What was written goes at
        // once, so that the next try finds the space it needs.
        logForRequest(requestId, kNoSpaceLine);
        MutexLock held(lock);
        if (ledger.removeShown() == -1) {
            logForRequest(requestId, kUnableToClean);
            ledger.deferShown();
        }
        return SecondLevelEnd::NoSpace;
    }
    bool decided = false;
    if (second.spillTouched) {
        // A temporary file of the second reading counts like a file shown.
        logForRequest(requestId,
                      "A temporary file of the second reading disappeared or changed before it "
                      "was read back, the AV probably acted on it because of virus in data.");
        ledger.noteVirusDetail("a temporary file removed or changed", ScanFileKind::Extra,
                               VirusSign::Changed);
        decided = true;
    } else if (!second.limits.empty() && limitsFailClosed) {
        logForRequest(requestId, "The message hides more than Tarnwick may unpack (" +
                                     commaSeparated(second.limits) + "); treated as a virus");
        ledger.noteVirusDetail("unpacking limit: " + commaSeparated(second.limits),
                               ScanFileKind::Extra, VirusSign::Limit);
        decided = true;
    }
    if (decided && !ledger.writeFailed()) {
        // Decided already: no wait, only the clean-up.
        MutexLock held(lock);
        if (ledger.removeShown() == -1) {
            logForRequest(requestId, kUnableToClean);
            ledger.deferShown();
        }
        virusFound = true;
        return SecondLevelEnd::Checked;
    }
    if (ledger.writeFailed()) {
        logForRequest(requestId,
                      "Error while unpacking attachments, the AV probably prevented disk write "
                      "because of virus in data.");
        logForRequest(requestId, ledger.writeFailureLine());
        ledger.noteVirusDetail(ledger.writeFailureDetail(), ledger.writeFailureKind(),
                               VirusSign::CouldNotWrite);
        logForRequest(requestId,
                      "Virus found, skipping second-level verification but waiting a few seconds "
                      "for the files to be unlocked.");
        pause(requestId, ScanPause::FailurePause, timing_.failurePauseSeconds);
        logForRequest(requestId, "Trying to clean");
        {
            MutexLock held(lock);
            if (ledger.removeShown() == -1) {
                logForRequest(requestId, kUnableToClean);
                ledger.deferShown();
            }
        }
        virusFound = true;
        return SecondLevelEnd::Checked;
    }
    const std::size_t extra = second.extraFiles.size();
    if (unpacked == 0 && extra == 0) {
        logForRequest(requestId, "Nothing unpacked, skipping second-level verification");
        return SecondLevelEnd::Checked;
    }

    logForRequest(requestId, "Unpacked " + std::to_string(unpacked) + " attachments");
    if (extra > 0)
        logForRequest(requestId,
                      "Second reading found " + std::to_string(extra) + " more attachments");
    logForRequest(requestId, "Waiting " + std::to_string(waitTime) + " seconds again");
    pause(requestId, ScanPause::SecondWait, waitTime);
    logForRequest(requestId, "Second-Level verification");
    // A file gone or changed (cleaned in place) is the anti-virus's doing.
    std::vector<std::string> actedOn;
    int removal = ledger.removeShown(&actedOn);
    logEach(requestId, actedOn);
    if (removal == 1)
        virusFound = true;

    // Part files the anti-virus still holds: wait for them, a bounded number
    // of rounds, then leave them to the deferred clean-up.
    for (int round = 0; removal == -1 && round < timing_.maxLockedRounds; ++round) {
        logForRequest(requestId, "Temp files are locked by the AV, waiting 1 sec");
        pause(requestId, ScanPause::LockedRound, timing_.lockedRoundSeconds);
        actedOn.clear();
        removal = ledger.removeShown(&actedOn);
        logEach(requestId, actedOn);
        if (removal == 1)
            virusFound = true;
    }
    if (removal == -1) {
        MutexLock held(lock);
        logForRequest(requestId,
                      "The AV kept the temp files locked, giving up waiting; files may remain in "
                      "ScanMe folder. Will try to clean them later.");
        std::vector<std::string> keptLocked;
        ledger.deferShown(&keptLocked);
        logEach(requestId, keptLocked);
        virusFound = true;
    }
    return SecondLevelEnd::Checked;
}

}  // namespace tarnwick
