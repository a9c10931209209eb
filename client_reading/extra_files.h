// SPDX-License-Identifier: Apache-2.0
// extra_files.h - the extra files one second reading writes, and the record
// of every file already written for the message.
//
// ExtraFileSet knows each file written for the message, by the first
// reading (learnExisting) or by this one. It compares by size and keyed
// hash, of the exact bytes and with every CR LF read as LF; a known file is
// read for a hash only when an attachment of a fitting size asks, and at
// most once for each form. A LeafSink receives
// the decoded bytes of one attachment: it holds up to kHeldLeafBytes in
// memory; a longer attachment whose first kHeldLeafBytes equal those of a
// known file is compared with that file as it streams by, and written only
// from the first difference on (with the equal part copied from the known
// file); any other goes straight into the next extra file
// "FOLDER/msg-N-extra-K.scanme", whose name the request's ledger gives it
// when it is opened (two attachments written at once never share one). At
// finish the attachment is kept only when it is new (a file begun for a copy
// is removed again and its name given back). The total size of the extra
// files is bounded by the output limit, charged as bytes are written, by all
// open files together: beyond it nothing more is written and
// outputLimitReached is set.
//
// Spill files ("FOLDER/msg-N-reading-J.tmp") hold decoded containers and
// gathered fragments while the reading needs them. A spill file is created
// with its first byte (an empty container makes none), recorded in the
// ledger at once and, once closed, with its size and time; it is checked
// against that record each time it is read back and when it is removed, and
// one that disappeared, changed or cannot be opened is noted (spillTouched).
// Its readers hold it (holdSpill) and let go of it (releaseSpill): it is
// removed as soon as the last one let go; removeSpills (or the destructor)
// removes those left. Their total size, their number and the number alive
// at once have limits of their own. A spill file that cannot be created or
// written completely is a failed write like any other.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "client_reading/line_input.h"
#include "client_reading/siphash.h"
#include "codec/content_hash.h"
#include "codec/decoders.h"
#include "mailfile/written_parts.h"
#include "scanfiles/scan_ledger.h"

namespace tarnwick::client_reading {

// kHeldLeafBytes - the part of an attachment kept in memory before it is
// written to its file; attachments no longer than this that prove to be
// copies are never written at all.
inline constexpr std::size_t kHeldLeafBytes = 1024 * 1024;
// kSecondReading - the words that name this reading in the log lines.
inline constexpr const char* kSecondReading = "second reading";

// kMaxExtraFiles - extra files of one reading at most; a further attachment
// counts as beyond the output limit.
inline constexpr std::size_t kMaxExtraFiles = 10000;
// kMaxSpillFiles - spill files one reading creates at most; kMaxLiveSpillFiles
// - spill files alive at once. What finds no spill file is left unread
// ("spill files").
inline constexpr std::size_t kMaxSpillFiles = 4096;
inline constexpr std::size_t kMaxLiveSpillFiles = 64;

class ExtraFileSet;

// FoldedHasher - the keyed hash and size of bytes with every CR LF read as LF.
class FoldedHasher {
  public:
    explicit FoldedHasher(const SipHashKey& key) : hasher_(key) {}
    void update(const char* data, std::size_t size);
    // finish - the size and hash. REQUIRES: called once.
    std::pair<std::uint64_t, std::uint64_t> finish();

  private:
    SipHasher hasher_;
    std::uint64_t size_ = 0;
    bool pendingCr_ = false;
};

// SpillFile - one temporary file written in sequence, then read back.
class SpillFile {
  public:
    explicit SpillFile(ExtraFileSet& owner);
    ~SpillFile();
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;

    // append - adds bytes, creating the file with the first; beyond the
    // spill limits nothing more is kept.
    void append(const char* data, std::size_t size);
    // size - the bytes kept so far.
    std::uint64_t size() const { return size_; }
    // close - finishes writing and records the file; it can then be read by
    // path.
    void close();
    // path - empty while nothing was written.
    const std::string& path() const { return path_; }

  private:
    ExtraFileSet& owner_;
    std::string path_;
    std::FILE* file_ = nullptr;
    std::uint64_t size_ = 0;
    bool failed_ = false;  // not created: nothing is kept
};

// ExtraFileSet - the per-call state of the output side.
class ExtraFileSet {
  public:
    // Files are created through ledger; outputLimit bounds the total size
    // of the extra files, spillLimit that of the spill files.
    ExtraFileSet(ScanLedger& ledger, std::uint64_t outputLimit, std::uint64_t spillLimit);
    ~ExtraFileSet();
    ExtraFileSet(const ExtraFileSet&) = delete;
    ExtraFileSet& operator=(const ExtraFileSet&) = delete;

    // learnExisting - records a file already written for the message (one
    // whose size cannot be read is skipped). Its bytes are read only when
    // an attachment could be a copy of it, at most once for each form.
    void learnExisting(const std::string& path);
    // learnExisting - the same for a file whose size the caller has read.
    void learnExisting(const std::string& path, std::uint64_t size);
    // learnPart - the same for the file of parts[index], of size bytes,
    // known by its number only (parts must outlive the set).
    void learnPart(const WrittenParts& parts, std::size_t index, std::uint64_t size);
    // expectKnown - room for count more known files, made at once.
    void expectKnown(std::size_t count) { known_.reserve(known_.size() + count); }
    // openSpill - a new spill file, created with its first byte.
    std::unique_ptr<SpillFile> openSpill();
    // isSpill - whether path is a spill file of this reading, not removed.
    bool isSpill(const std::string& path) const;
    // holdSpill - one more reader will read the spill file path.
    void holdSpill(const std::string& path);
    // releaseSpill - a reader is done with path; the last one checks it
    // against its record and removes it. No effect on another path.
    void releaseSpill(const std::string& path);
    // checkSpill - true when the closed spill file path is there as it was
    // written; else it is noted as touched.
    bool checkSpill(const std::string& path);
    // spillTouched - a spill file disappeared, changed or could not be read
    // back.
    bool spillTouched() const { return spillTouched_; }
    // noteSpillUnreadable - a spill file could not be opened to be read back.
    void noteSpillUnreadable() { spillTouched_ = true; }
    // noteLimit - a limit of the reading named which left something unread.
    void noteLimit(const char* which);
    const std::vector<std::string>& limits() const { return limits_; }
    // spillsAlive - spill files created and not yet removed.
    std::size_t spillsAlive() const { return spillUsers_.size(); }
    // spillsAlivePeak - the most spill files alive at once so far.
    std::size_t spillsAlivePeak() const { return spillsAlivePeak_; }

    const std::vector<std::string>& files() const { return files_; }
    // removeSpills - removes the spill files; those held open go to the
    // folder's deferred list.
    void removeSpills();
    bool writeFailed() const { return writeFailed_; }
    // noSpaceLeft - true when a create or write failed because the disk was
    // full.
    bool noSpaceLeft() const { return noSpaceLeft_; }
    // noteWriteFailure - records a failed create, write or close, here and
    // in the ledger; error (errno by default) tells whether the disk was
    // full.
    void noteWriteFailure();
    void noteWriteFailure(int error);
    bool outputLimitReached() const { return outputLimitReached_; }
    // extraFileLimitReached - an attachment found no file because
    // kMaxExtraFiles were written.
    bool extraFileLimitReached() const { return extraFileLimitReached_; }
    bool spillLimitReached() const { return spillLimitReached_; }
    const SipHashKey& key() const { return key_; }

  private:
    friend class LeafSink;
    friend class SpillFile;

    using Key = std::pair<std::uint64_t, std::uint64_t>;  // size, hash

    // NameSource - where a known file's name is kept.
    enum class NameSource : std::uint8_t { FirstReading, Learned, Extra };

    // KnownFile - a file written for the message, in 16 bytes: its size,
    // where its name is (the number of a first reading's part, or an index
    // in learned_ or files_), and which of its hashes are already among the
    // keys.
    struct KnownFile {
        std::uint64_t size = 0;
        std::uint32_t name = 0;
        NameSource source = NameSource::Learned;
        bool exactHashed : 1 = false;
        bool foldedHashed : 1 = false;
        bool prefixHashed : 1 = false;
    };

    // Form - one of the hashes a known file is read for.
    enum Form : std::size_t { kExact, kFolded, kPrefix, kForms };

    void addKnown(KnownFile file);
    // pathOf - the name of a known file.
    std::string pathOf(const KnownFile& file) const;
    // seal - sorts the files learned so far by size; files known later are
    // kept apart (see known_).
    void seal();
    // takeUnhashed - calls hash(index) for every known file not yet hashed
    // in form whose size lies in [least, most], which then counts as hashed.
    template <typename Hash>
    void takeUnhashed(Form form, std::uint64_t least, std::uint64_t most, Hash hash);
    // anyUnhashed - whether takeUnhashed would find a file.
    bool anyUnhashed(Form form, std::uint64_t least, std::uint64_t most) const;
    // isCopy - whether an attachment with these keys equals a known file
    // (folded: also when only CR LF against LF differs).
    bool isCopy(const Key& exact, const Key* folded);
    // mayHaveTwin - whether isCopy could find a known file equal to an
    // attachment of size bytes (folded as for isCopy); false means it
    // cannot, and the attachment's hashes are not needed.
    bool mayHaveTwin(std::uint64_t size, bool folded);
    // knownWithPrefix - a known file longer than kHeldLeafBytes whose first
    // kHeldLeafBytes have hash prefixHash; empty when none.
    std::string knownWithPrefix(std::uint64_t prefixHash);
    // hashFile - reads a known file once for the hashes asked for.
    void hashFile(KnownFile& file, bool exact, bool folded, bool prefix);

    ScanLedger& ledger_;
    std::uint64_t outputLeft_;
    std::uint64_t spillLeft_;
    SipHashKey key_;
    // The known files. MEMORY: a message may have tens of thousands of
    // them, all learned before the walk: those learned before the first
    // look-up (known_[0, sealed_)) are sorted by size, with one bit per file
    // and form saying it is not hashed yet; those known later (this
    // reading's own files, bounded by kMaxExtraFiles) follow, indexed by
    // size in the maps while not hashed in a form. A file leaves a map (or
    // its bit is cleared) once hashed, so each is read at most once a form.
    std::vector<KnownFile> known_;
    std::size_t sealed_ = 0;
    bool isSealed_ = false;
    std::vector<std::uint64_t> unhashedBits_[kForms];
    std::multimap<std::uint64_t, std::size_t> unhashedLate_[kForms];
    // The first reading's parts, when learned from them, and other files'
    // names as learned.
    const WrittenParts* firstParts_ = nullptr;
    std::vector<std::string> learned_;
    std::set<Key> exact_;
    std::set<Key> folded_;
    std::map<std::uint64_t, std::string> prefixes_;  // first-block hash to path
    std::vector<std::string> files_;
    // Spill files not yet removed, with the number of readers holding each.
    std::map<std::string, int> spillUsers_;
    std::size_t spillsCreated_ = 0;
    std::size_t spillsAlivePeak_ = 0;
    std::vector<std::string> limits_;
    bool spillTouched_ = false;
    bool writeFailed_ = false;
    bool noSpaceLeft_ = false;
    bool outputLimitReached_ = false;
    bool extraFileLimitReached_ = false;
    bool spillLimitReached_ = false;
};

// LeafSink - one attachment's decoded bytes on their way to an extra file.
class LeafSink final : public codec::ByteSink {
  public:
    // lineEndsMayDiffer: the attachment also counts as a copy when it
    // differs from a known file only in CR LF against LF line ends.
    // description: the part's own words for the log lines about its file
    // (the reading is always this one's).
    LeafSink(ExtraFileSet& set, bool lineEndsMayDiffer, ScanFileDescription description = {});
    ~LeafSink() override;
    LeafSink(const LeafSink&) = delete;
    LeafSink& operator=(const LeafSink&) = delete;

    void write(const char* data, std::size_t size) override;
    // finish - decides: keeps a new attachment, drops a copy or an empty one.
    // Returns true when a file was kept.
    bool finish();

  private:
    // HashFromNowOn - whether beginFile's file is hashed as it is written
    // (Now) or, the file then holding every byte, read back for its hashes
    // only when they are needed (Later).
    enum class HashFromNowOn { Now, Later };

    void writeToFile(const char* data, std::size_t size);
    // hash - counts the bytes, and hashes them unless that waits.
    void hash(const char* data, std::size_t size);
    void hashNow(const char* data, std::size_t size);
    // catchUpHash - hashes what the file holds and hashes as bytes come from
    // now on.
    void catchUpHash();
    // beginFile - opens the extra file and writes what is known so far: the
    // held bytes and the part found equal to the compared file (hashed on
    // the way, since it was only compared while it streamed by, unless
    // hashing waits).
    bool beginFile(HashFromNowOn hashing);
    // closeFile - closes file_ and lets its buffer go, errno kept; false
    // when the close failed.
    bool closeFile();
    // compareNext - true when data continues the compared file.
    bool compareNext(const char* data, std::size_t size);

    ExtraFileSet& set_;
    bool lineEndsMayDiffer_;
    ScanFileDescription description_;
    SipHasher exactHash_;
    FoldedHasher foldedHash_;
    std::uint64_t size_ = 0;
    std::string held_;
    std::uint64_t prefixHash_ = 0;
    bool prefixHashed_ = false;
    std::string comparedPath_;  // the known file being compared, if any
    std::uint64_t comparedSize_ = 0;
    std::unique_ptr<RangeReader> compared_;
    std::uint64_t equalBytes_ = 0;  // bytes found equal to the compared file
    std::string compareBuffer_;
    std::unique_ptr<char[]> fileBuffer_;  // file_'s stream buffer
    std::FILE* file_ = nullptr;
    std::string path_;
    std::uint64_t written_ = 0;
    // contentHash_ - of the bytes the file took, for the ledger; contentWhole_
    // false once a write to the file failed (no hash is given then).
    codec::ContentHash contentHash_;
    bool contentWhole_ = true;
    bool fileFailed_ = false;
    bool finished_ = false;
    // The file's bytes are not hashed yet (the hashers hold none of them).
    bool hashLater_ = false;
    // The file's bytes went unhashed and can no longer be read back as they
    // were written (a write failed, or the file could not be read).
    bool hashLost_ = false;
};

}  // namespace tarnwick::client_reading
