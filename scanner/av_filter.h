// SPDX-License-Identifier: Apache-2.0
// av_filter.h - AvFilter, the anti-virus filter: the one filter of the
// process and its per-message operation, the scan job.
//
// Tarnwick holds no virus scanner. The scan job writes a copy of each
// message, and then its decoded attachments, into the folder "ScanMe" of the
// current working directory, waits so that the machine's resident
// anti-virus can act on them, and looks at what became of the files: a file
// that could not be written, vanished, changed its size or stays locked
// counts as a virus found. The verdict travels back as two header lines; a
// message whose files cannot even be set up is accepted unchanged.
//
// The scan job never rejects or discards a message and never stops the
// process. It does not know which anti-virus is installed and never calls it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "front/filter_base.h"
#include "scanfiles/scan_ledger.h"
#include "scanner/av_evidence.h"
#include "scanner/reading_budget.h"

namespace tarnwick {

namespace unpacker {
class ByteSource;
}

// The temporary folder, relative to the current working directory, as the
// scan job names it in paths and log lines unless the administrator chose
// another one.
inline constexpr const char* kDefaultScanFolder = "./ScanMe";

// The verdict header lines.
inline constexpr const char* kVirusFoundHeader = "X-Tarnwick: Virus Found";
inline constexpr const char* kNoVirusHeader = "X-Tarnwick: No Virus Reported";
inline constexpr const char* kScannerHeader = "X-ExtScanner: Quillmark's Tarnwick";
// When the copy or a part file cannot be written because ScanMe's disk is
// full: the request's progress line, and the reason sent with the Postpone
// answer so that the mail server tries the message again later.
inline constexpr const char* kNoSpaceLine =
    "No space left in ScanMe, the message will be tried again later";
inline constexpr const char* kNoSpaceReason =
    "Not enough disk space to scan the message, try again later.";

// When the second readings in flight already hold the memory they may take
// together (ReadingBudget): the request's progress line, and the reason
// sent with the Postpone answer.
inline constexpr const char* kReadingBusyLine =
    "Too many messages are being unpacked at once, the message will be tried again later";
inline constexpr const char* kReadingBusyReason =
    "Too many messages are being unpacked at once, try again later.";

// When the filter requires a watching anti-virus and the probes do not
// show one recently enough (AvEvidence::allowsVerdict): the request's
// progress line, and the reason sent with the Postpone answer.
inline constexpr const char* kNotWatchingLine =
    "The anti-virus is not watching ScanMe, the message will be tried again later";
inline constexpr const char* kNotWatchingReason =
    "The anti-virus is not watching ScanMe, try again later.";

// ScanPause - why the scan job is about to sleep.
enum class ScanPause {
    FirstWait,     // after writing the copy
    SecondWait,    // after unpacking the attachments
    FailurePause,  // after a write the anti-virus probably blocked
    LockedRound,   // one round of waiting for a locked copy or part files
    ReopenRound,   // one round of waiting for the message file to open again
};

// ScanTiming - the scan job's clock. The product uses the defaults; tests
// shorten the pauses or act, in place of sleeping, as the anti-virus would.
struct ScanTiming {
    // Rounds a waiting loop for locked files runs before it gives up: a
    // locked copy is then left in ScanMe, locked part files go to the
    // deferred clean-up, a message file that cannot be reopened is not
    // unpacked, and the verdict is a virus in all three cases.
    int maxLockedRounds = 60;
    // Seconds of one round of those loops.
    std::int64_t lockedRoundSeconds = 1;
    // Seconds given to the anti-virus after it blocked a write.
    std::int64_t failurePauseSeconds = 2;
    // pause - called for every pause with the request number, the reason and
    // the seconds; the default sleeps. Called without any lock held, from
    // several workers at once.
    std::function<void(std::uint32_t requestId, ScanPause reason, std::int64_t seconds)> pause;
};

// AvFilter - the filter that lets the resident anti-virus judge every
// message. Threaded: every request runs on a worker thread.
class AvFilter : public FilterBase {
  public:
    AvFilter();
    explicit AvFilter(ScanTiming timing);
    ~AvFilter() override;

    // processMessage - the scan job for one message (see the top of this
    // file). Blocks for the whole scan: the wait time once, twice when
    // attachments were unpacked, plus pauses for locked files. Returns the
    // Ok result when the message file, the folder or the copy cannot be set
    // up; Postpone with kNotWatchingReason under requireAv, at once while
    // antivirusEvidence does not allow a verdict, and in place of a verdict
    // that it no longer allows when the scan ends; Postpone with
    // kNoSpaceReason when the copy or a part file could not be written
    // because the disk is full (what was written is removed); else AddHeader
    // with the verdict line and the scanner line.
    // Each answer is reported to events() (verdict, postponement cause, the
    // first sign of a virus, what was unpacked).
    FilterResult processMessage(std::uint32_t requestId, const std::string& path) override;

    // retryLeftovers - tries again to remove every deferred file that no
    // request in progress holds, and keeps only those still locked. Writes a
    // line before and a closing line after when files a request gave up on
    // were among them, else nothing. Takes the filter's lock itself.
    // REQUIRES: the caller does not hold it.
    void retryLeftovers();

    // waitSeconds - the base wait in seconds (never negative in practice:
    // start-up stores 0 for a negative argument). Set before the command
    // loop starts, read-only afterwards.
    int waitSeconds = 5;
    // secondReading - whether the second level also reads each message the
    // tolerant way mail clients do and shows the anti-virus the extra
    // attachments found so. Set before the command loop starts, read-only
    // afterwards.
    bool secondReading = true;
    // limitsFailClosed - whether a message the second reading could not read
    // to the end within its limits is answered as a virus (the default) or,
    // with --on-limit clean, judged by what was written. Set before the
    // command loop starts, read-only afterwards.
    bool limitsFailClosed = true;
    // scanFolder - the folder the copies, part files and extra files are
    // written to, as paths and log lines name it. Set before the command
    // loop starts, read-only afterwards.
    std::string scanFolder = kDefaultScanFolder;
    // scanFilePrefix - put before the name of every file a request writes
    // (empty: the filter's own names). Set before the command loop starts,
    // read-only afterwards.
    std::string scanFilePrefix;
    // onVirusFound - when set, called as a request is answered Virus Found,
    // with why in a few words ("invoice.exe removed", "unpacking limit:
    // nesting depth"; empty when there is nothing more to say). Called from
    // the request's worker, without any lock held. Set before the command
    // loop starts, read-only afterwards.
    std::function<void(std::uint32_t requestId, const std::string& detail)> onVirusFound;

    // readingBudget - the memory the second readings in flight may take
    // together; a message whose reading does not fit is postponed.
    ReadingBudget& readingBudget() { return readingBudget_; }

    // scanFiles - the owners of the files in scanFolder: which ones the
    // requests in progress hold, and the deferred list of those given up on.
    ScanFileOwners& scanFiles() { return scanFiles_; }

    // requireAv - whether messages wait for a watching anti-virus: a
    // message antivirusEvidence does not allow a verdict is postponed. Set
    // before the command loop starts, read-only afterwards.
    bool requireAv = false;
    // antivirusEvidence - when the probes last saw the anti-virus react (its
    // interval set before the command loop starts). Written by the probing
    // thread, read by every scan job.
    AvEvidence antivirusEvidence;
    // nowMilliseconds - the steady clock of antivirusEvidence; tests set
    // their own. Set before the command loop starts, read-only afterwards.
    std::function<std::int64_t()> nowMilliseconds = steadyNowMilliseconds;

  private:
    // scanMessage - the scan job proper, without the requireAv rule.
    FilterResult scanMessage(std::uint32_t requestId, const std::string& path);
    // reportVirusCause - the first sign of a virus the ledger noted.
    void reportVirusCause(const ScanLedger& ledger);

    // SecondLevelEnd - how the second level ended.
    enum class SecondLevelEnd {
        Checked,  // verdict in virusFound
        NoSpace,  // a part file hit a full disk: the message is postponed
        Busy,     // the second reading did not fit in the budget: postponed too
    };

    // runSecondLevel - unpacks the attachments of the message at path, and,
    // with secondReading, writes what only the tolerant second reading finds
    // as extra files beside them; waits waitTime seconds and removes all of
    // them again; sets virusFound when the message could not be reopened, or
    // a part file or extra file could not be written, disappeared or stayed
    // locked.
    SecondLevelEnd runSecondLevel(ScanLedger& ledger, const std::string& path,
                                  std::int64_t waitTime, bool& virusFound);
    // reopenMessage - opens the message at path again for the unpacker. While
    // it exists but cannot be opened, tries once a round, a bounded number
    // of rounds. nullptr when it is gone or still refused; the line saying
    // which is written.
    std::unique_ptr<unpacker::ByteSource> reopenMessage(std::uint32_t requestId,
                                                        const std::string& path);
    // waitForLockedCopy - the waiting loop for a copy that could not be
    // removed: tries the removal each round. Sets virusFound when the copy
    // disappears or changes meanwhile, or when giving up (the copy then
    // goes to the deferred clean-up).
    void waitForLockedCopy(ScanLedger& ledger, const std::string& copyPath, bool& virusFound);
    // pause - sleeps through the timing.
    void pause(std::uint32_t requestId, ScanPause reason, std::int64_t seconds);

    ScanTiming timing_;
    ScanFileOwners scanFiles_;
    ReadingBudget readingBudget_{kDefaultReadingBudget};
};

// messageNumberOf - the number under which the unpacker registers the part
// files of a request: the same 32 bits, read as a signed number.
int messageNumberOf(std::uint32_t requestId);

// logForRequest - writes "* (N) text" as one line, N the request number in
// unsigned decimal.
void logForRequest(std::uint32_t requestId, const std::string& text);

}  // namespace tarnwick
