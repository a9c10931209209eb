// SPDX-License-Identifier: Apache-2.0
// scan_names.h - every name Tarnwick's programs give a file in a scan
// folder: built here, read back here, and classified here for the sweeps.
//
// A request's files: "mail-N-msg.scanme" (the copy), "msg-M-part-K.scanme"
// (the first reading's part files), "msg-M-extra-K.scanme" (the second
// reading's extra files) and "msg-M-reading-J.tmp" (its spill files), all
// behind a prefix when the process does not hold the folder alone
// ("scan-PID-" for tarnwick-scan, "filter-PID-" for a filter that shares
// the folder with another live filter). The anti-virus probe writes
// "probe-PID.scanme", the folder check "check-PID.tmp", tarnwick-scan keeps
// standard input as "scan-PID-stdin.eml", and the folder's lock file is
// "tarnwick.lock" (held for life by the one filter that names its files
// without a prefix); beside it "tarnwick.probe" keeps the last probe's
// outcome and "tarnwick-probe.lock" is held by the one run that probes.
// Anything else in the folder is not ours, and no sweep ever touches it
// (nor these three): a sweep asks classifyScanName, never guesses from a prefix.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

// ScanFileKind - what a request's file is for.
enum class ScanFileKind {
    Copy,   // "mail-N-msg.scanme": the message as stored
    Part,   // "msg-M-part-K.scanme": an attachment of the first reading
    Extra,  // "msg-M-extra-K.scanme": an attachment only the second reading finds
    Spill,  // "msg-M-reading-J.tmp": a temporary file of the second reading
};

// kScanFolderLockName - the lock of the filter that holds the folder alone.
inline constexpr const char* kScanFolderLockName = "tarnwick.lock";

// scanFileName - the path of a request's file: folder (no trailing slash),
// "/", prefix (empty for the filter's own files), then the name of kind with
// the request number (unsigned decimal for the copy, signed 32-bit for the
// others, so request 4294967295 writes "msg--1-part-0.scanme") and index
// (not used by the copy). No length limit, so a long folder can never cut
// two names down to the same text.
std::string scanFileName(const std::string& folder, const std::string& prefix, ScanFileKind kind,
                         std::uint32_t requestId, int index);

// runFilePrefix - "scan-PID-": the prefix of tarnwick-scan's files.
std::string runFilePrefix(std::uint64_t processId);

// sharingFilterPrefix - "filter-PID-": the prefix of the files of a filter
// that does not hold its folder alone.
std::string sharingFilterPrefix(std::uint64_t processId);

// probeFileName - "FOLDER/probe-PID.scanme", the anti-virus probe's test
// file: a name no message can have.
std::string probeFileName(const std::string& folder, std::uint64_t processId);

// probeRecordName - "FOLDER/tarnwick.probe": the last probe's outcome and
// time, shared by every run that uses the folder.
std::string probeRecordName(const std::string& folder);

// probeLockName - "FOLDER/tarnwick-probe.lock": held while a run probes, so
// that one run probes at a time.
std::string probeLockName(const std::string& folder);

// checkFileName - "FOLDER/check-PID.tmp", the folder check's file (not a
// ".scanme" name: nothing in it is for the anti-virus).
std::string checkFileName(const std::string& folder, std::uint64_t processId);

// inputFileName - "FOLDER/PREFIXstdin.eml", where tarnwick-scan keeps the
// message it read on standard input.
std::string inputFileName(const std::string& folder, const std::string& prefix);

// ScanName - what a name found in a scan folder is.
struct ScanName {
    enum class Kind {
        NotOurs,      // another program's, or the lock: never swept
        RequestFile,  // a request's file (fileKind), possibly behind a prefix
        Probe,        // a probe's test file
        Check,        // a folder check's file
        Input,        // tarnwick-scan's copy of standard input
    };
    Kind kind = Kind::NotOurs;
    ScanFileKind fileKind = ScanFileKind::Copy;
    // The prefix the name carries ("scan-PID-", "filter-PID-"), empty when
    // none.
    std::string prefix;
    // The process id the name carries (in its prefix, or a probe's or
    // check's own); 0 when it carries none.
    std::uint64_t processId = 0;
};

// classifyScanName - reads name (no folder) as one of the names above,
// anchored at both ends (N, K, J decimal digits, M digits with an optional
// leading minus); Kind::NotOurs for everything else, the lock included.
ScanName classifyScanName(const std::string& name);

// isOwnScanFileName - true when name is one of the filter's own request
// file names without a prefix: what a filter's start-up sweep removes.
bool isOwnScanFileName(const std::string& name);

}  // namespace tarnwick
