// SPDX-License-Identifier: Apache-2.0
// scan_job.cpp - AvFilter::processMessage: set-up, the copy, the first wait,
// the first-level verification, the waiting for a locked copy and the verdict.
// A copy or part file that cannot be written because the disk is full is not
// the anti-virus's doing: that message is postponed, not judged.
//
// The second level lives in second_level.cpp, the deferred clean-up in
// leftovers.cpp. Nothing here holds the filter's lock: the copy, the waits
// and the checks of the copy run concurrently with other requests.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/console_log.h"
#include "runtime/file_system.h"
#include "runtime/platform.h"
#include "runtime/worker_pool.h"
#include "scanfiles/folder_check.h"
#include "scanner/av_filter.h"
#include "scanner/message_copy.h"
#include "scanner/wait_time.h"

namespace tarnwick {

namespace {

// closeFile - closes a stream if it is open.
void closeFile(std::FILE*& file) {
    if (file != nullptr)
        std::fclose(file);
    file = nullptr;
}

// copyFailureLine - the copy's failure in the words of the other failures
// that make a message a virus.
std::string copyFailureLine(const CopyOutcome& copied) {
    const char* why = copied.error != 0 ? std::strerror(copied.error) : "unknown error";
    return std::string(copied.readFailed ? "Could not read the message: "
                                         : "Could not write the copy of the message: ") +
           why + "; treated as a virus";
}

// closeCopy - closes the copy; true when that failed because the disk is
// full (buffered bytes could not be written out).
bool closeCopy(std::FILE*& copy) {
    errno = 0;
    const bool failed = std::fclose(copy) != 0;
    copy = nullptr;
    return failed && platform::isNoSpaceError(errno);
}

// signOf - the sign of what the anti-virus did.
VirusSign signOf(ScanFileAction action) {
    switch (action) {
        case ScanFileAction::Removed:
            return VirusSign::Removed;
        case ScanFileAction::Changed:
            return VirusSign::Changed;
        case ScanFileAction::KeptLocked:
            break;
    }
    return VirusSign::KeptLocked;
}

// postponedForNoSpace - the answer for a message whose files could not be
// written because the disk is full: the mail server tries it again later.
FilterResult postponedForNoSpace() {
    FilterResult result(FilterResult::Postpone);
    result.lines.push_back(kNoSpaceReason);
    return result;
}

// postponedForNoWatch - the answer while the anti-virus is not seen watching.
FilterResult postponedForNoWatch(std::uint32_t requestId) {
    logForRequest(requestId, kNotWatchingLine);
    FilterResult postponed(FilterResult::Postpone);
    postponed.lines.push_back(kNotWatchingReason);
    return postponed;
}

}  // namespace

// messageNumberOf - the unpacker's signed view of a request number.
int messageNumberOf(std::uint32_t requestId) {
    // Modulo 2^32: a one-to-one mapping, so two requests in progress never
    // share part-file names.
    return static_cast<int>(requestId);
}

// logForRequest - one progress line of a request.
void logForRequest(std::uint32_t requestId, const std::string& text) {
    writeLogLine("* (" + std::to_string(requestId) + ") " + text);
}

AvFilter::AvFilter() : AvFilter(ScanTiming{}) {}

AvFilter::AvFilter(ScanTiming timing) : FilterBase(true), timing_(std::move(timing)) {}

AvFilter::~AvFilter() = default;

// pause - one pause of the scan job.
void AvFilter::pause(std::uint32_t requestId, ScanPause reason, std::int64_t seconds) {
    if (timing_.pause)
        timing_.pause(requestId, reason, seconds);
    else
        sleepSeconds(seconds);
}

// processMessage - the scan job within the requireAv rule (asked before the
// scan and again before a verdict is sent), and what it answered to the
// counters.
FilterResult AvFilter::processMessage(std::uint32_t requestId, const std::string& path) {
    const std::int64_t began = nowMilliseconds();
    FilterResult result = requireAv && !antivirusEvidence.allowsVerdict(began, began)
                              ? postponedForNoWatch(requestId)
                              : scanMessage(requestId, path);
    if (requireAv && result.kind == FilterResult::AddHeader &&
        !antivirusEvidence.allowsVerdict(began, nowMilliseconds()))
        result = postponedForNoWatch(requestId);
    FilterEvents& reported = events();
    if (result.kind == FilterResult::Postpone) {
        reported.messageJudged(FilterEvents::Verdict::Postponed);
        const std::string reason = result.lines.empty() ? std::string() : result.lines[0];
        reported.postponed(reason == kNoSpaceReason ? FilterEvents::Postponement::NoSpace
                           : reason == kReadingBusyReason
                               ? FilterEvents::Postponement::ReadingBusy
                               : FilterEvents::Postponement::AntivirusNotWatching);
    } else if (result.kind == FilterResult::AddHeader) {
        const bool virus = !result.lines.empty() && result.lines[0] == kVirusFoundHeader;
        reported.messageJudged(virus ? FilterEvents::Verdict::Virus : FilterEvents::Verdict::Clean);
    } else {
        reported.messageJudged(FilterEvents::Verdict::NotScanned);
    }
    return result;
}

// reportVirusCause - which file showed the virus, and how.
void AvFilter::reportVirusCause(const ScanLedger& ledger) {
    const VirusCause& cause = ledger.virusCause();
    if (!cause.known)
        return;
    const FilterEvents::Shown shown = cause.kind == ScanFileKind::Copy ? FilterEvents::Shown::Copy
                                      : cause.kind == ScanFileKind::Part
                                          ? FilterEvents::Shown::FirstReading
                                          : FilterEvents::Shown::SecondReading;
    FilterEvents::Sign sign = FilterEvents::Sign::Removed;
    switch (cause.sign) {
        case VirusSign::Removed:
            break;
        case VirusSign::Changed:
            sign = FilterEvents::Sign::Changed;
            break;
        case VirusSign::KeptLocked:
            sign = FilterEvents::Sign::Locked;
            break;
        case VirusSign::CouldNotWrite:
            sign = FilterEvents::Sign::CouldNotWrite;
            break;
        case VirusSign::Limit:
            sign = FilterEvents::Sign::Limit;
            break;
    }
    events().virusShown(shown, sign);
}

// scanMessage - the scan job.
FilterResult AvFilter::scanMessage(std::uint32_t requestId, const std::string& path) {
    // Set-up: any failure here accepts the message unchanged, with no wait.
    CopyStreamBuffers streamBuffers;
    std::FILE* message = platform::openSharedFile(path, "rb");
    if (message == nullptr) {
        writeLogLine("* Unexpected error, contact Quillmark");
        return okResult;
    }
    streamBuffers.useForMessage(message);
    if (!isDirectory(scanFolder))
        makeDirectory(scanFolder);
    if (!isDirectory(scanFolder)) {
        writeLogLine("* Unable to create temp dir (" + scanFolder + "), please verify rights.");
        closeFile(message);
        return okResult;
    }
    // Nothing of a message is written where someone else could read or
    // replace it.
    if (std::string refusal; !scanFolderTrusted(scanFolder, refusal)) {
        writeLogLine(refusal);
        closeFile(message);
        return okResult;
    }
    // Every file of the request, from its creation on.
    ScanLedger ledger(scanFiles_, scanFolder, scanFilePrefix, requestId);
    std::string copyPath;
    std::FILE* copy = ledger.create(ScanFileKind::Copy, copyPath);
    if (copy == nullptr) {
        const int error = errno;
        closeFile(message);
        if (platform::isNoSpaceError(error)) {
            logForRequest(requestId, kNoSpaceLine);
            return postponedForNoSpace();
        }
        writeLogLine("* Unable to create temp file (" + copyPath + "), please verify rights.");
        if (error == EEXIST)
            logForRequest(requestId, "The name " + printableName(copyPath) +
                                         " is taken by a file Tarnwick did not make; it is "
                                         "left alone");
        return okResult;
    }
    streamBuffers.useForCopy(copy);

    // Copy: the message as the mail server stored it, without its envelope.
    skipEnvelope(message);
    logForRequest(requestId, "Copying file to be scanned");
    CopyOutcome copied = copyMessage(message, copy);
    // Any other failure while closing the copy is not looked at: buffered
    // bytes that could not be written leave the copy short, which the size
    // comparison below reports.
    if (closeCopy(copy))
        copied.noSpace = true;
    closeFile(message);
    if (copied.noSpace) {
        // Not the anti-virus: the message is tried again later, and what
        // was written goes at once to make room.
        logForRequest(requestId, kNoSpaceLine);
        ledger.remove(copyPath);
        retryLeftovers();
        return postponedForNoSpace();
    }
    ledger.written(copyPath, static_cast<std::int64_t>(copied.bytesCopied));
    ledger.noteContentHash(copyPath, copied.contentHash);
    platform::offerToScanner(copyPath);

    // First wait.
    std::int64_t wait = 0;
    if (copied.copyFailed) {
        logForRequest(requestId,
                      "Error while copying file, the AV probably prevented disk write because of "
                      "virus in data.");
        logForRequest(requestId, copyFailureLine(copied));
        ledger.noteVirusDetail(copied.readFailed ? "the message could not be read"
                                                 : "the message could not be written",
                               ScanFileKind::Copy, VirusSign::CouldNotWrite);
        logForRequest(requestId,
                      "Virus found, skipping first- and second-level verification but waiting a "
                      "few seconds for the file to be unlocked.");
        pause(requestId, ScanPause::FailurePause, timing_.failurePauseSeconds);
    } else {
        logForRequest(requestId,
                      "Copy done (" + std::to_string(copied.bytesCopied / 1024) + " kbytes)");
        wait = waitTime(copied.bytesCopied, waitSeconds);
        logForRequest(requestId, "Waiting " + std::to_string(wait) + " seconds");
        pause(requestId, ScanPause::FirstWait, wait);
        logForRequest(requestId, "First-Level verification");
    }

    // First-level verification.
    bool virusFound = false;
    bool copyLocked = false;
    bool firstLevelPassed = false;
    // What the anti-virus did to the copy, said once verification is over.
    std::string copyActedOn;
    if (fileExists(copyPath)) {
        // Sizes in 64 bits: a copy of 2 GiB or more must not compare as changed.
        // A copy rewritten in place to the same size changed all the same.
        const std::int64_t size = fileSize(copyPath);
        const std::string copyAccount = ledger.account(copyPath);
        const std::string copyName = ledger.shortName(copyPath);
        const RemovalResult removal = ledger.remove(copyPath);
        copyLocked = removal.error != 0 && removal.error != ENOENT;
        const bool sameSize =
            size >= 0 && static_cast<std::uint64_t>(size) == copied.bytesCopied && !removal.changed;
        firstLevelPassed = sameSize && !copied.copyFailed;
        if (sameSize && copied.copyFailed)
            virusFound = true;
        // A locked copy is told about once the rounds for it are over.
        if (!copied.copyFailed && !sameSize && !copyLocked) {
            const ScanFileAction action =
                removal.error == ENOENT ? ScanFileAction::Removed : ScanFileAction::Changed;
            copyActedOn = actedOnLine(action, copyAccount);
            ledger.noteVirusDetail(actedOnDetail(action, copyName), ScanFileKind::Copy,
                                   signOf(action));
        }
    } else if (!copied.copyFailed) {
        copyActedOn = actedOnLine(ScanFileAction::Removed, "the copy of the message");
        ledger.noteVirusDetail(actedOnDetail(ScanFileAction::Removed, "the message"),
                               ScanFileKind::Copy, VirusSign::Removed);
    }
    if (!copyActedOn.empty())
        logForRequest(requestId, copyActedOn);
    if (!firstLevelPassed && !virusFound) {
        if (!copied.copyFailed)
            logForRequest(requestId,
                          "First-Level verification failed, virus found, skipping second-level "
                          "verification");
        virusFound = true;
    }
    SecondLevelEnd secondLevel = SecondLevelEnd::Checked;
    if (firstLevelPassed) {
        logForRequest(requestId, "First-Level verification passed");
        secondLevel = runSecondLevel(ledger, path, wait, virusFound);
    }

    if (copyLocked)
        waitForLockedCopy(ledger, copyPath, virusFound);

    retryLeftovers();

    if (secondLevel == SecondLevelEnd::NoSpace)
        return postponedForNoSpace();
    if (secondLevel == SecondLevelEnd::Busy) {
        FilterResult postponed(FilterResult::Postpone);
        postponed.lines.push_back(kReadingBusyReason);
        return postponed;
    }
    if (virusFound)
        reportVirusCause(ledger);
    if (virusFound && onVirusFound)
        onVirusFound(requestId, ledger.virusDetail());
    FilterResult result(std::string(virusFound ? kVirusFoundHeader : kNoVirusHeader));
    result.lines.push_back(kScannerHeader);
    return result;
}

// waitForLockedCopy - waits, a bounded number of rounds, for a copy that the
// anti-virus still held when the job tried to remove it.
void AvFilter::waitForLockedCopy(ScanLedger& ledger, const std::string& copyPath,
                                 bool& virusFound) {
    const std::uint32_t requestId = ledger.requestId();
    for (int round = 0; round < timing_.maxLockedRounds; ++round) {
        logForRequest(requestId, "Temp files are locked by the AV, waiting 1 sec");
        pause(requestId, ScanPause::LockedRound, timing_.lockedRoundSeconds);
        // Held for a moment (a scan, an indexer, a backup) and released
        // intact: removed, and this check found nothing. Gone, or cleaned
        // in place: the anti-virus acted on it while it held it.
        const std::string copyAccount = ledger.account(copyPath);
        const RemovalResult removal = ledger.remove(copyPath);
        if (removal.error == 0 && !removal.changed)
            return;
        if (removal.error == 0 || removal.error == ENOENT) {
            const ScanFileAction action =
                removal.error == ENOENT ? ScanFileAction::Removed : ScanFileAction::Changed;
            logForRequest(requestId, actedOnLine(action, copyAccount));
            ledger.noteVirusDetail(actedOnDetail(action, "the message"), ScanFileKind::Copy,
                                   signOf(action));
            virusFound = true;
            return;
        }
    }
    // Give up so that the mail server gets its answer. One last removal is
    // tried in case the anti-virus has let go of the file meanwhile; else
    // the deferred clean-up tries again later.
    const RemovalResult last = ledger.remove(copyPath);
    if (last.error != 0 && last.error != ENOENT)
        ledger.defer(copyPath, false);
    logForRequest(requestId,
                  "The AV kept the temp file locked, giving up waiting; the file may remain in "
                  "ScanMe folder.");
    logForRequest(requestId, actedOnLine(ScanFileAction::KeptLocked, "the copy of the message"));
    ledger.noteVirusDetail(actedOnDetail(ScanFileAction::KeptLocked, "the message"),
                           ScanFileKind::Copy, VirusSign::KeptLocked);
    virusFound = true;
}

}  // namespace tarnwick
