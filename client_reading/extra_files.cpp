// SPDX-License-Identifier: Apache-2.0
// extra_files.cpp - writing the extra files, recognising copies (the known
// files themselves are in known_files.cpp), spilling.
//
// A copy is recognised by size and keyed hash; the key is drawn at random
// once per process and never shown, so a sender cannot build a new
// attachment that passes for a file already shown to the anti-virus.
#include "client_reading/extra_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "client_reading/line_input.h"
#include "runtime/platform.h"

namespace tarnwick::client_reading {

namespace {

// kCopyBlock - bytes read at once when learning an existing file.
constexpr std::size_t kCopyBlock = 64 * 1024;

}  // namespace

SpillFile::SpillFile(ExtraFileSet& owner) : owner_(owner) {}

SpillFile::~SpillFile() {
    close();
}

void SpillFile::append(const char* data, std::size_t size) {
    if (failed_ || size == 0)
        return;
    if (file_ == nullptr) {
        if (owner_.spillsCreated_ >= kMaxSpillFiles ||
            owner_.spillUsers_.size() >= kMaxLiveSpillFiles) {
            owner_.noteLimit("spill files");
            failed_ = true;
            return;
        }
        file_ = owner_.ledger_.create(ScanFileKind::Spill, path_);
        if (file_ == nullptr) {
            owner_.noteWriteFailure();
            failed_ = true;
            path_.clear();
            return;
        }
        ++owner_.spillsCreated_;
        owner_.spillUsers_.emplace(path_, 0);
        owner_.spillsAlivePeak_ = std::max(owner_.spillsAlivePeak_, owner_.spillUsers_.size());
    }
    if (size > owner_.spillLeft_) {
        size = static_cast<std::size_t>(owner_.spillLeft_);
        owner_.spillLimitReached_ = true;
    }
    errno = 0;
    std::size_t written = std::fwrite(data, 1, size, file_);
    if (std::ferror(file_) != 0)
        written = 0;
    // What the reading needs is missing from the file: as for any file the
    // anti-virus is shown, a full disk postpones, another failure is the
    // anti-virus's doing.
    if (written != size)
        owner_.noteWriteFailure();
    owner_.spillLeft_ -= written;
    size_ += written;
}

void SpillFile::close() {
    if (file_ == nullptr)
        return;
    errno = 0;
    if (std::fclose(file_) != 0)
        owner_.noteWriteFailure();
    file_ = nullptr;
    owner_.ledger_.written(path_);
}

ExtraFileSet::ExtraFileSet(ScanLedger& ledger, std::uint64_t outputLimit, std::uint64_t spillLimit)
    : ledger_(ledger),
      outputLeft_(outputLimit),
      spillLeft_(spillLimit),
      key_(processSipHashKey()) {}

ExtraFileSet::~ExtraFileSet() {
    removeSpills();
}

void ExtraFileSet::removeSpills() {
    for (const auto& [path, users] : spillUsers_) {
        // Held open by someone: the deferred clean-up removes it later.
        const RemovalResult removal = ledger_.remove(path);
        if (removal.error != 0 && removal.error != ENOENT)
            ledger_.defer(path, false);
    }
    spillUsers_.clear();
}

bool ExtraFileSet::isSpill(const std::string& path) const {
    return spillUsers_.count(path) != 0;
}

void ExtraFileSet::holdSpill(const std::string& path) {
    const auto found = spillUsers_.find(path);
    if (found != spillUsers_.end())
        ++found->second;
}

void ExtraFileSet::releaseSpill(const std::string& path) {
    const auto found = spillUsers_.find(path);
    if (found == spillUsers_.end() || --found->second > 0)
        return;
    spillUsers_.erase(found);
    const RemovalResult removal = ledger_.remove(path);
    if (removal.error == ENOENT || removal.changed)
        spillTouched_ = true;  // the anti-virus acted on it meanwhile
    else if (removal.error != 0)
        ledger_.defer(path, false);
}

bool ExtraFileSet::checkSpill(const std::string& path) {
    if (!ledger_.unchanged(path))
        spillTouched_ = true;
    return !spillTouched_;
}

void ExtraFileSet::noteLimit(const char* which) {
    if (std::find(limits_.begin(), limits_.end(), which) == limits_.end())
        limits_.emplace_back(which);
}

void FoldedHasher::update(const char* data, std::size_t size) {
    // CR LF is hashed as LF; the stretches between are hashed as they are.
    const unsigned char cr = '\r';
    std::size_t from = 0;
    if (pendingCr_ && size != 0) {
        pendingCr_ = false;
        if (data[0] != '\n') {
            hasher_.update(&cr, 1);
            ++size_;
        }
    }
    while (from < size) {
        const void* found = std::memchr(data + from, '\r', size - from);
        const std::size_t at = found == nullptr ? size : static_cast<const char*>(found) - data;
        hasher_.update(reinterpret_cast<const unsigned char*>(data + from), at - from);
        size_ += at - from;
        if (at == size)
            break;
        if (at + 1 == size) {
            pendingCr_ = true;  // the next piece decides
        } else if (data[at + 1] != '\n') {
            hasher_.update(&cr, 1);
            ++size_;
        }
        from = at + 1;
    }
}

std::pair<std::uint64_t, std::uint64_t> FoldedHasher::finish() {
    if (pendingCr_) {
        const unsigned char cr = '\r';
        hasher_.update(&cr, 1);
        ++size_;
    }
    return {size_, hasher_.finish()};
}

void ExtraFileSet::noteWriteFailure() {
    noteWriteFailure(errno);
}

void ExtraFileSet::noteWriteFailure(int error) {
    writeFailed_ = true;
    if (platform::isNoSpaceError(error))
        noSpaceLeft_ = true;
    ledger_.noteWriteFailure(error);
}

std::unique_ptr<SpillFile> ExtraFileSet::openSpill() {
    return std::make_unique<SpillFile>(*this);
}

LeafSink::LeafSink(ExtraFileSet& set, bool lineEndsMayDiffer, ScanFileDescription description)
    : set_(set),
      lineEndsMayDiffer_(lineEndsMayDiffer),
      description_(std::move(description)),
      exactHash_(set.key()),
      foldedHash_(set.key()) {}

LeafSink::~LeafSink() {
    if (!finished_)
        finish();
}

void LeafSink::write(const char* data, std::size_t size) {
    if (finished_ || size == 0 || fileFailed_)
        return;
    if (file_ == nullptr && compared_ == nullptr) {
        if (held_.size() + size <= kHeldLeafBytes) {
            hash(data, size);
            held_.append(data, size);
            return;
        }
        // The held block is full: look for a known file that begins alike.
        const std::size_t take = kHeldLeafBytes - held_.size();
        hash(data, take);
        held_.append(data, take);
        data += take;
        size -= take;
        SipHasher prefix(set_.key());
        prefix.update(reinterpret_cast<const unsigned char*>(held_.data()), held_.size());
        prefixHash_ = prefix.finish();
        prefixHashed_ = true;
        comparedPath_ = set_.knownWithPrefix(prefixHash_);
        platform::PathStatus status;
        if (!comparedPath_.empty() && platform::statPath(comparedPath_, status)) {
            comparedSize_ = static_cast<std::uint64_t>(status.size);
            compared_ = std::make_unique<RangeReader>(comparedPath_, kHeldLeafBytes, comparedSize_);
            equalBytes_ = kHeldLeafBytes;
        } else if (!beginFile(HashFromNowOn::Later)) {
            return;
        }
    }
    if (compared_ != nullptr) {
        if (compareNext(data, size)) {
            equalBytes_ += size;  // hashed later, and only if it proves new
            return;
        }
        if (!beginFile(HashFromNowOn::Later))
            return;
    }
    hash(data, size);
    writeToFile(data, size);
}

void LeafSink::hash(const char* data, std::size_t size) {
    size_ += size;
    if (!hashLater_)
        hashNow(data, size);
}

void LeafSink::hashNow(const char* data, std::size_t size) {
    exactHash_.update(reinterpret_cast<const unsigned char*>(data), size);
    if (lineEndsMayDiffer_)
        foldedHash_.update(data, size);
}

void LeafSink::catchUpHash() {
    hashLater_ = false;
    errno = 0;
    if (std::fflush(file_) != 0) {
        set_.noteWriteFailure();
        hashLost_ = true;
        return;
    }
    RangeReader reader(path_, 0, written_);
    std::unique_ptr<char[]> block(new char[kCopyBlock]);
    std::uint64_t read = 0;
    for (std::size_t count; (count = reader.read(block.get(), kCopyBlock)) != 0; read += count)
        hashNow(block.get(), count);
    // A file that cannot be read back whole no longer tells what was in it.
    if (read != written_)
        hashLost_ = true;
}

bool LeafSink::compareNext(const char* data, std::size_t size) {
    compareBuffer_.resize(size);
    std::size_t got = 0;
    while (got < size) {
        const std::size_t count = compared_->read(compareBuffer_.data() + got, size - got);
        if (count == 0)
            return false;
        got += count;
    }
    return std::memcmp(compareBuffer_.data(), data, size) == 0;
}

bool LeafSink::beginFile(HashFromNowOn hashing) {
    if (set_.files_.size() >= kMaxExtraFiles) {
        set_.outputLimitReached_ = true;
        set_.extraFileLimitReached_ = true;
    }
    if (set_.outputLimitReached_) {
        fileFailed_ = true;  // nothing more is written for this attachment
        return false;
    }
    // The name is taken now: another attachment opened while this one is
    // written gets the next.
    file_ = set_.ledger_.create(ScanFileKind::Extra, path_);
    if (file_ == nullptr) {
        fileFailed_ = true;
        set_.noteWriteFailure();
        return false;
    }
    // Written in blocks of the size the first reading writes its files in,
    // not the stream's default of a page.
    fileBuffer_ = std::make_unique_for_overwrite<char[]>(kCopyBlock);
    std::setvbuf(file_, fileBuffer_.get(), _IOFBF, kCopyBlock);
    description_.reading = kSecondReading;
    set_.ledger_.describe(path_, description_);
    if (hashing == HashFromNowOn::Later) {
        // From here on the file holds every byte of the attachment; it is
        // read back for its hashes only if a known file could be its twin.
        exactHash_ = SipHasher(set_.key());
        foldedHash_ = FoldedHasher(set_.key());
        hashLater_ = true;
    }
    writeToFile(held_.data(), held_.size());
    held_.clear();
    held_.shrink_to_fit();
    if (compared_ != nullptr) {
        // The bytes found equal so far are those of the compared file.
        RangeReader copy(comparedPath_, kHeldLeafBytes, equalBytes_);
        std::string block(kCopyBlock, '\0');
        std::uint64_t copied = kHeldLeafBytes;
        for (std::size_t count; (count = copy.read(block.data(), block.size())) != 0;
             copied += count) {
            hash(block.data(), count);
            writeToFile(block.data(), count);
        }
        if (copied < equalBytes_) {
            set_.noteWriteFailure(0);  // the compared file went away meanwhile
            fileFailed_ = true;
        }
        compared_.reset();
        compareBuffer_.clear();
        compareBuffer_.shrink_to_fit();
    }
    return !fileFailed_;
}

bool LeafSink::closeFile() {
    const bool closed = std::fclose(file_) == 0;
    const int error = errno;
    file_ = nullptr;
    fileBuffer_.reset();
    errno = error;
    return closed;
}

void LeafSink::writeToFile(const char* data, std::size_t size) {
    if (file_ == nullptr)
        return;
    // The budget is shared by every file open at the moment: charged now,
    // given back if the file proves a copy.
    if (size > set_.outputLeft_) {
        // The file will no longer hold the whole attachment: its hashes are
        // taken from what it holds so far and the rest as it comes.
        if (hashLater_) {
            catchUpHash();
            hashNow(data, size);
        }
        size = static_cast<std::size_t>(set_.outputLeft_);
        set_.outputLimitReached_ = true;
    }
    errno = 0;
    if (size != 0 && (std::fwrite(data, 1, size, file_) != size || std::ferror(file_) != 0)) {
        set_.noteWriteFailure();
        hashLost_ = hashLost_ || hashLater_;
        contentWhole_ = false;
    }
    contentHash_.add(data, size);
    written_ += size;
    set_.outputLeft_ -= size;
}

bool LeafSink::finish() {
    if (finished_)
        return false;
    finished_ = true;
    if (compared_ != nullptr) {
        // Equal to the compared file up to here: a copy if that file ends too.
        if (equalBytes_ == comparedSize_)
            return false;
        if (!beginFile(HashFromNowOn::Now) && file_ == nullptr)
            return false;
    }
    if (fileFailed_) {
        if (file_ != nullptr) {
            // Begun, then cut short: what was written stays to be scanned.
            closeFile();
            if (written_ == 0 && platform::removePath(path_) == 0) {
                set_.ledger_.forget(path_);
            } else {
                set_.files_.push_back(path_);
                set_.ledger_.written(path_, static_cast<std::int64_t>(written_));
            }
        }
        return false;
    }
    // Hashed later: read back only when a known file could be a twin.
    if (hashLater_ && !hashLost_ && set_.mayHaveTwin(size_, lineEndsMayDiffer_))
        catchUpHash();
    const bool hashed = !hashLater_ && !hashLost_;
    const ExtraFileSet::Key exactKey(size_, exactHash_.finish());
    const ExtraFileSet::Key foldedKey = foldedHash_.finish();
    const bool copy = hashed && set_.isCopy(exactKey, lineEndsMayDiffer_ ? &foldedKey : nullptr);
    if (copy || size_ == 0) {
        if (file_ != nullptr) {
            closeFile();
            const int error = platform::removePath(path_);
            if (error != 0 && error != ENOENT) {
                // Held open by someone: it stays, and the caller removes it.
                set_.files_.push_back(path_);
                set_.ledger_.written(path_, static_cast<std::int64_t>(written_));
            } else {
                set_.ledger_.forget(path_);
                set_.outputLeft_ += written_;
            }
        }
        return false;
    }
    if (file_ == nullptr) {
        if (set_.outputLimitReached_ || set_.outputLeft_ == 0) {
            set_.outputLimitReached_ = true;
            return false;
        }
        if (!beginFile(HashFromNowOn::Now))
            return false;
    }
    errno = 0;
    if (!closeFile()) {
        set_.noteWriteFailure();
        contentWhole_ = false;
    }
    set_.files_.push_back(path_);
    set_.ledger_.written(path_, static_cast<std::int64_t>(written_));
    if (contentWhole_)
        set_.ledger_.noteContentHash(path_, contentHash_.value());
    // A kept file is known from now on, with the hashes at hand; one not
    // hashed yet is read for them when an attachment of a fitting size
    // asks. One whose bytes are no longer known is not taken for anything's
    // twin.
    if (!hashLost_) {
        ExtraFileSet::KnownFile known;
        known.size = written_;
        known.name = static_cast<std::uint32_t>(set_.files_.size() - 1);
        known.source = ExtraFileSet::NameSource::Extra;
        known.exactHashed = hashed;
        known.foldedHashed = hashed && lineEndsMayDiffer_;
        known.prefixHashed = prefixHashed_;
        if (hashed)
            set_.exact_.insert(exactKey);
        if (hashed && lineEndsMayDiffer_)
            set_.folded_.insert(foldedKey);
        if (prefixHashed_)
            set_.prefixes_.emplace(prefixHash_, path_);
        set_.addKnown(known);
    }
    platform::offerToScanner(path_);
    return true;
}

}  // namespace tarnwick::client_reading
