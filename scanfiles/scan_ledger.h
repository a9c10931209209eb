// SPDX-License-Identifier: Apache-2.0
// scan_ledger.h - the names of the files a request writes into the scan
// folder, and the one record of who owns each of them.
//
// Every file a request shows the anti-virus (the message copy, the first
// reading's part files, the second reading's extra files) and every
// temporary file of the second reading (spill files) is created through the
// request's ScanLedger, which records it at once and, once it is written,
// its size and modification time. A file is in exactly one place: in the
// ledger of the live request that created it, in the deferred list of the
// folder's ScanFileOwners (given up on while the anti-virus held it), or
// gone. The deferred clean-up never removes a name that a live ledger holds.
//
// A ledger belongs to one request and is used by one thread at a time; the
// owners object is shared by all requests of a filter and locks itself.
//
// MEMORY: a message may have tens of thousands of attachments, so a record
// costs tens of bytes, not a path: a file's name is rebuilt from its kind
// and index when needed, the description's words lie in one buffer of the
// ledger (a word equal to the previous file's is shared, as the content type
// and the reading mostly are), and the owners object asks the live ledgers
// themselves which names they hold instead of keeping a copy of every one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mailfile/written_parts.h"
#include "runtime/sync.h"
#include "scanfiles/scan_names.h"

namespace tarnwick {

// ScanFileDescription - optional words about a file, for log lines: the
// part's own file name, its content type, and which reading wrote it.
struct ScanFileDescription {
    std::string displayName;
    std::string contentType;
    std::string reading;
};

// kMaxShownNameChars - the longest file name a log line shows, in
// characters (the escapes of one character count as one).
inline constexpr std::size_t kMaxShownNameChars = 200;

// printableName - name for a log line: control characters, bidirectional
// controls and bytes that are not UTF-8 shown as \xNN escapes, cut to
// kMaxShownNameChars characters (ending in "..." when cut); "(no name)"
// when name is empty.
std::string printableName(std::string_view name);

// ScanFileAction - what the anti-virus did to a scan file.
enum class ScanFileAction {
    Removed,
    Changed,
    KeptLocked,
};

// actedOnLine - "The anti-virus removed attachment 2: NAME (TYPE, N bytes,
// READING, FILE)", or "... removed the copy of the message": account as
// ScanLedger::account gives it.
std::string actedOnLine(ScanFileAction action, const std::string& account);

// actedOnDetail - the same in a few words: "NAME removed", "NAME changed",
// "NAME kept locked", name as ScanLedger::shortName gives it.
std::string actedOnDetail(ScanFileAction action, const std::string& name);

// VirusSign - what showed a virus: a file removed, changed or kept locked by
// the anti-virus, a file that could not be written, or a reading that
// stopped at one of its limits.
enum class VirusSign { Removed, Changed, KeptLocked, CouldNotWrite, Limit };

// VirusCause - the first sign noted, and the kind of file that showed it
// (Copy also for the message file itself, Extra for anything of the second
// reading).
struct VirusCause {
    bool known = false;
    ScanFileKind kind = ScanFileKind::Copy;
    VirusSign sign = VirusSign::Removed;
};

// WrittenTally - files of one kind written so far, and their bytes.
struct WrittenTally {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
};

// RemovalResult - one removal of a recorded file.
struct RemovalResult {
    // 0 when removed, else the C library's error code (ENOENT: it was gone).
    int error = 0;
    // True when the file was there but its size or modification time was no
    // longer what was recorded after it was written.
    bool changed = false;
};

// ReclaimResult - one try to free a name taken by a deferred file.
enum class ReclaimResult { Removed, StillHeld, NotOurs };

// kMaxPassedOverNames - how many names of one kind a creation passes over
// because deferred files of ours still hold them, before it fails.
inline constexpr int kMaxPassedOverNames = 64;

class ScanLedger;

// ScanFileOwners - the folder's side of the record, one per filter: which
// paths the live ledgers hold, and the deferred list. Locks itself.
class ScanFileOwners {
  public:
    ScanFileOwners() = default;
    ScanFileOwners(const ScanFileOwners&) = delete;
    ScanFileOwners& operator=(const ScanFileOwners&) = delete;

    // holds - true when a live ledger holds path.
    bool holds(const std::string& path) const;
    // defer - puts paths at the front of the deferred list (a path already
    // on it is not added again). announced: a request gave up on them and
    // the clean-up says so in its lines; other files (a spill file or a
    // copy still held, a locked sibling of a file that disappeared) are
    // cleaned up without a word.
    void defer(const std::vector<std::string>& paths, bool announced);
    // anyDeferred - true when the deferred list holds a file; with
    // announcedOnly, one a request gave up on.
    bool anyDeferred(bool announcedOnly) const;
    // retryDeferred - one removal of every deferred file that no live
    // ledger holds; one removed or already gone leaves the list, one held
    // open or held by a live ledger stays. Returns true when files a request
    // gave up on are still on the list.
    bool retryDeferred();
    // reclaim - when path is on the deferred list (a file of this filter
    // given up on earlier), one removal of it. NotOurs for a name that is
    // not on the list: that file is not ours to remove.
    ReclaimResult reclaim(const std::string& path);
    // deferredPaths - the deferred list, front first.
    std::vector<std::string> deferredPaths() const;
    // forgetDeferred - empties the deferred list without touching a file.
    void forgetDeferred();

  private:
    friend class ScanLedger;

    // Deferred - one deferred file.
    struct Deferred {
        std::string path;
        bool announced = false;
    };

    // heldLocked - whether a live ledger records path. REQUIRES: mutex_ held.
    bool heldLocked(const std::string& path) const;

    // Guards ledgers_, deferred_ and, inside every live ledger, which files
    // it records (a ledger changes that only while holding this lock).
    mutable SimpleMutex mutex_;
    std::vector<const ScanLedger*> ledgers_;
    std::vector<Deferred> deferred_;
};

// ScanLedger - every file of one request, from its creation on.
class ScanLedger {
  public:
    ScanLedger(ScanFileOwners& owners, std::string folder, std::string prefix,
               std::uint32_t requestId);
    // Files still recorded go to the deferred list, without a word.
    ~ScanLedger();
    ScanLedger(const ScanLedger&) = delete;
    ScanLedger& operator=(const ScanLedger&) = delete;

    const std::string& folder() const { return folder_; }
    std::uint32_t requestId() const { return requestId_; }
    // messageNumber - the request number read as a signed 32-bit number.
    int messageNumber() const { return static_cast<int>(requestId_); }

    // create - takes the next name of kind (indexes count from 0 per kind,
    // and a name is used up whether or not its file can be created), creates
    // the file for binary writing (createScanFile, only as a new file) and
    // records it; path receives the name. A name still taken by a deferred
    // file of this filter is reclaimed first, or passed over for the next
    // index while the anti-virus holds that file; one taken by anything
    // else fails with EEXIST, and nothing there is touched. nullptr, with errno,
    // when the file cannot be created: nothing is recorded and the failure
    // is noted.
    std::FILE* create(ScanFileKind kind, std::string& path);
    // written - the writer has closed path: records its size and
    // modification time, against which removal checks it. bytes, when the
    // writer counted them, is the size the log lines give for a file that
    // is gone before it can be measured.
    void written(const std::string& path, std::int64_t bytes = -1);
    // noteContentHash - the writer's codec::ContentHash of what it wrote to
    // path (after written). A file found later with the recorded size but
    // another modification time is then read again and counts as changed
    // only when its bytes differ: a time stamp set back (utime, as indexers
    // and backup tools do) is not the anti-virus's doing.
    void noteContentHash(const std::string& path, std::uint64_t hash);
    // noteBody - where the encoded body of the part file path lies in the
    // stored message (no effect on a file not recorded).
    void noteBody(const std::string& path, const BodySpan& span);
    // writtenParts - the recorded part files in creation order, with their
    // bodies where noted and the size and time recorded when written.
    WrittenParts writtenParts() const;
    // describe - attaches a description to a recorded file.
    void describe(const std::string& path, ScanFileDescription description);
    // description - the description of a recorded file; empty when none.
    ScanFileDescription description(const std::string& path) const;
    // account - how the log lines name a recorded file: "the copy of the
    // message", or "attachment K: NAME (TYPE, N bytes, READING, FILE)" with
    // K counting the files shown to the anti-virus from 1 in creation order,
    // the words of its description (missing ones left out, NAME "(no
    // name)") and FILE its name in the folder ("msg-3-part-1.scanme"), which
    // the anti-virus's own log names. Empty for a file not recorded.
    std::string account(const std::string& path) const;
    // forget - the writer removed path itself (it proved a copy or empty):
    // no longer recorded. Its name is given back when it was the last one
    // taken of its kind, so the next file of that kind gets it again.
    void forget(const std::string& path);
    // defer - path, still held by someone, goes to the deferred list.
    void defer(const std::string& path, bool announced);
    // adopt - records path, a file already written and closed by someone
    // else, as an extra file of the request (not again when recorded).
    void adopt(const std::string& path);
    // forgetAll - records nothing any more, without touching a file.
    void forgetAll();

    // noteWriteFailure - a create, write or close of a file of this request
    // failed with error (the C library's code; 0 when unknown); path, when
    // given, is the file. The first failure is kept for writeFailureLine.
    void noteWriteFailure(int error, const std::string& path = std::string());
    // writeFailureLine - "Could not write attachment 2: NAME (TYPE, READING):
    // ERROR; treated as a virus" for the first failure noted (a file never
    // created is named by its file name, one not named at all "a file of
    // the message"); empty when none.
    std::string writeFailureLine() const;
    // writeFailureDetail - the same in a few words: "NAME could not be
    // written" (NAME as shortName gives it); empty when none.
    std::string writeFailureDetail() const;
    // writeFailed - true once a file of this request could not be created
    // or written completely.
    bool writeFailed() const { return writeFailed_; }
    // noSpaceLeft - true when such a failure was a full disk.
    bool noSpaceLeft() const { return noSpaceLeft_; }

    // paths - the recorded files of kind, in the order they were created.
    std::vector<std::string> paths(ScanFileKind kind) const;
    // count - how many files of kind are recorded.
    std::size_t count(ScanFileKind kind) const;
    // createdCount - how many files of kind were created so far, recorded
    // or not; a mark for createdAfter.
    std::size_t createdCount(ScanFileKind kind) const;
    // createdAfter - the files of kind created after mark (a createdCount)
    // that are still recorded, in creation order. Costs what it returns,
    // not what the ledger holds.
    std::vector<std::string> createdAfter(ScanFileKind kind, std::size_t mark) const;
    // shownPaths - the recorded part files and extra files, the files shown
    // to the anti-virus, in the order they were created.
    std::vector<std::string> shownPaths() const;

    // unchanged - true when path is recorded as written and is there with
    // the size and modification time recorded (or, with a content hash
    // noted, the size and the same bytes).
    bool unchanged(const std::string& path) const;
    // remove - removes one recorded file, telling whether it had changed;
    // it stays recorded only when the removal failed with EACCES or
    // another error than ENOENT (held open).
    RemovalResult remove(const std::string& path);
    // removeShown - one removal round of the part files and extra files:
    // 1 when one had disappeared or changed (the anti-virus acted on it;
    // those still held open then go to the deferred list), -1 when some are
    // held open (they stay recorded), else 0. actedOn, when given, receives
    // one actedOnLine per file that had disappeared or changed.
    int removeShown(std::vector<std::string>* actedOn = nullptr);
    // deferShown - the part files and extra files still recorded go to the
    // deferred list as given up on; keptLocked, when given, receives one
    // actedOnLine (KeptLocked) for each of them.
    void deferShown(std::vector<std::string>* keptLocked = nullptr);

    // shortName - a recorded file in a few words: the part's own name
    // (printableName), "attachment K" when it has none, "the message" for
    // the copy; empty for a file not recorded.
    std::string shortName(const std::string& path) const;
    // noteVirusDetail - why the message is a virus, in a few words
    // ("invoice.exe removed", "unpacking limit: nesting depth"); the first
    // one noted is kept. removeShown and deferShown note the files they
    // report.
    // kind and sign say which file showed it and how (see virusCause).
    void noteVirusDetail(const std::string& detail, ScanFileKind kind, VirusSign sign);
    // virusDetail - the first detail noted; empty when none.
    const std::string& virusDetail() const { return virusDetail_; }
    // virusCause - the kind and sign noted with the first detail.
    const VirusCause& virusCause() const { return virusCause_; }
    // writeFailureKind - the kind of file of the first failure noted (Extra
    // when the second reading noted it without a path).
    ScanFileKind writeFailureKind() const { return failedKind_; }
    // writtenTally - the files of kind recorded as written (once each), and
    // their sizes then.
    WrittenTally writtenTally(ScanFileKind kind) const;

  private:
    friend class ScanFileOwners;

    // The kinds, as indexes of the per-kind tables.
    static constexpr std::size_t kKinds = 4;
    // kAdopted - the index of an adopted file, whose name is its own.
    static constexpr std::int32_t kAdopted = -1;
    // kNone - a slot of byIndex_ that names no entry.
    static constexpr std::uint32_t kNone = UINT32_MAX;

    // Text - words of a description: a stretch of words_.
    struct Text {
        std::uint32_t offset = 0;
        std::uint32_t length = 0;
    };

    // Entry - one file created (or adopted) by the request, recorded while
    // alive; entries are kept in creation order and never move (the table
    // grows in blocks, under the owners' lock, without a copy of the whole
    // or room kept spare for twice as many).
    struct Entry {
        std::int64_t size = -1;  // as measured when written; else the writer's count, -1: none
        std::int64_t modified = 0;
        std::uint64_t contentHash = 0;  // the writer's, when hashed
        std::uint64_t bodyBegin = 0;
        std::uint64_t bodyEnd = 0;
        Text displayName;
        Text contentType;
        Text reading;
        std::int32_t index = 0;        // in the name; kAdopted for an adopted file
        std::int32_t shownNumber = 0;  // from 1 among part and extra files; 0 for others
        ScanFileKind kind = ScanFileKind::Part;
        // A codec::TransferEncoding, in one byte: with the flags below it
        // keeps the entry at 80 bytes.
        std::uint8_t bodyEncoding = 0;
        bool alive : 1 = false;  // recorded (changed under the owners' lock only)
        bool written : 1 = false;
        bool tallied : 1 = false;  // counted in tallies_
        bool bodyNoted : 1 = false;
        bool hashed : 1 = false;  // contentHash noted since written
    };

    // holdName - records the next file of kind under index before it is
    // created, so that no clean-up takes the name; releaseName undoes it.
    void holdName(ScanFileKind kind, int index);
    void releaseName(ScanFileKind kind, int index);
    // pathsOf - the recorded files of the kinds, in creation order.
    std::vector<std::string> pathsOf(ScanFileKind first, ScanFileKind second) const;
    // nameIndex - the slot of a name in byIndex_.
    static std::size_t nameIndex(ScanFileKind kind, int index);
    // pathOf - the name of an entry.
    std::string pathOf(std::size_t position) const;
    // locate - the position of the live entry of path; npos when none.
    std::size_t locate(const std::string& path) const;
    Entry* find(const std::string& path);
    const Entry* find(const std::string& path) const;
    void drop(const std::string& path);
    // dropLocked - the entry at position is no longer recorded. REQUIRES:
    // the owners' lock held.
    void dropLocked(std::size_t position);
    // keep - text as words of a description, sharing the stretch of
    // previous when it holds the same words.
    Text keep(const std::string& text, const Text& previous);
    // words - the text of a stretch of words_.
    std::string words(const Text& text) const;

    ScanFileOwners& owners_;
    std::string folder_;
    std::string prefix_;
    std::uint32_t requestId_;
    // The names of the request's files without their index: what is in
    // front of it and behind it, per kind (the copy's name has none).
    std::string nameFront_[kKinds];
    std::string nameBack_[kKinds];
    std::deque<Entry> entries_;
    // Per kind, the positions in entries_ of the files created, in order
    // (createdCount and createdAfter), and of the newest file under each
    // index (a name given back by forget is taken again).
    std::vector<std::uint32_t> created_[kKinds];
    std::vector<std::uint32_t> byIndex_[kKinds];
    // Adopted files, by their own names, with their positions.
    std::vector<std::pair<std::string, std::uint32_t>> adopted_;
    // The words of the descriptions, one after another.
    std::string words_;
    Text lastDisplayName_;
    Text lastContentType_;
    Text lastReading_;
    int shownCreated_ = 0;
    int nextIndex_[kKinds] = {};
    bool writeFailed_ = false;
    bool noSpaceLeft_ = false;
    // failedFileName - the first failed file by its name in the folder.
    std::string failedFileName() const;

    // The first write failure: its file (empty when not known), the error.
    std::string failedPath_;
    int failedError_ = 0;
    std::string virusDetail_;
    VirusCause virusCause_;
    ScanFileKind failedKind_ = ScanFileKind::Extra;
    std::map<ScanFileKind, WrittenTally> tallies_;
};

}  // namespace tarnwick
