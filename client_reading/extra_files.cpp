// SPDX-License-Identifier: Apache-2.0
// extra_files.cpp - writing the extra files, recognising copies, spilling.
//
// A copy is recognised by size and keyed hash; the key is drawn at random
// once per process and never shown, so a sender cannot build a new
// attachment that passes for a file already shown to the anti-virus.
#include "client_reading/extra_files.h"

#include <algorithm>
#include <bit>
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

void ExtraFileSet::learnExisting(const std::string& path) {
    platform::PathStatus status;
    if (!platform::statPath(path, status) || status.isDirectory || status.size < 0)
        return;
    learnExisting(path, static_cast<std::uint64_t>(status.size));
}

void ExtraFileSet::learnExisting(const std::string& path, std::uint64_t size) {
    KnownFile file;
    file.size = size;
    file.name = static_cast<std::uint32_t>(learned_.size());
    file.source = NameSource::Learned;
    learned_.push_back(path);
    addKnown(file);
}

void ExtraFileSet::learnPart(const WrittenParts& parts, std::size_t index, std::uint64_t size) {
    firstParts_ = &parts;
    KnownFile file;
    file.size = size;
    file.name = static_cast<std::uint32_t>(index);
    file.source = NameSource::FirstReading;
    addKnown(file);
}

std::string ExtraFileSet::pathOf(const KnownFile& file) const {
    switch (file.source) {
        case NameSource::FirstReading:
            return firstParts_->path((*firstParts_)[file.name]);
        case NameSource::Learned:
            return learned_[file.name];
        case NameSource::Extra:
            break;
    }
    return files_[file.name];
}

void ExtraFileSet::addKnown(KnownFile file) {
    const std::size_t index = known_.size();
    known_.push_back(file);
    if (!isSealed_)
        return;
    if (!file.exactHashed)
        unhashedLate_[kExact].emplace(file.size, index);
    if (!file.foldedHashed)
        unhashedLate_[kFolded].emplace(file.size, index);
    if (!file.prefixHashed && file.size > kHeldLeafBytes)
        unhashedLate_[kPrefix].emplace(file.size, index);
}

void ExtraFileSet::seal() {
    if (isSealed_)
        return;
    isSealed_ = true;
    std::stable_sort(known_.begin(), known_.end(),
                     [](const KnownFile& a, const KnownFile& b) { return a.size < b.size; });
    sealed_ = known_.size();
    for (std::vector<std::uint64_t>& bits : unhashedBits_)
        bits.assign((sealed_ + 63) / 64, 0);
    for (std::size_t i = 0; i < sealed_; ++i) {
        const KnownFile& file = known_[i];
        const std::uint64_t bit = std::uint64_t{1} << (i % 64);
        if (!file.exactHashed)
            unhashedBits_[kExact][i / 64] |= bit;
        if (!file.foldedHashed)
            unhashedBits_[kFolded][i / 64] |= bit;
        if (!file.prefixHashed && file.size > kHeldLeafBytes)
            unhashedBits_[kPrefix][i / 64] |= bit;
    }
}

namespace {

// SizeOrder - the order of known files by size, for the binary searches.
struct SizeOrder {
    template <typename File>
    bool operator()(const File& file, std::uint64_t size) const {
        return file.size < size;
    }
    template <typename File>
    bool operator()(std::uint64_t size, const File& file) const {
        return size < file.size;
    }
};

}  // namespace

template <typename Hash>
void ExtraFileSet::takeUnhashed(Form form, std::uint64_t least, std::uint64_t most, Hash hash) {
    seal();
    const auto sorted = known_.begin() + static_cast<std::ptrdiff_t>(sealed_);
    std::size_t at = std::lower_bound(known_.begin(), sorted, least, SizeOrder()) - known_.begin();
    const std::size_t to =
        std::upper_bound(known_.begin(), sorted, most, SizeOrder()) - known_.begin();
    std::vector<std::uint64_t>& bits = unhashedBits_[form];
    while (at < to) {
        std::uint64_t word = bits[at / 64] >> (at % 64);
        if (word == 0) {
            at = (at / 64 + 1) * 64;  // the next word
            continue;
        }
        at += static_cast<std::size_t>(std::countr_zero(word));
        if (at >= to)
            break;
        bits[at / 64] &= ~(std::uint64_t{1} << (at % 64));
        hash(at);
        ++at;
    }
    std::multimap<std::uint64_t, std::size_t>& late = unhashedLate_[form];
    const auto from = late.lower_bound(least);
    const auto end = late.upper_bound(most);
    for (auto entry = from; entry != end; ++entry)
        hash(entry->second);
    late.erase(from, end);
}

bool ExtraFileSet::anyUnhashed(Form form, std::uint64_t least, std::uint64_t most) const {
    const auto sorted = known_.begin() + static_cast<std::ptrdiff_t>(sealed_);
    std::size_t at = std::lower_bound(known_.begin(), sorted, least, SizeOrder()) - known_.begin();
    const std::size_t to =
        std::upper_bound(known_.begin(), sorted, most, SizeOrder()) - known_.begin();
    const std::vector<std::uint64_t>& bits = unhashedBits_[form];
    while (at < to) {
        const std::uint64_t word = bits[at / 64] >> (at % 64);
        if (word != 0)
            return at + static_cast<std::size_t>(std::countr_zero(word)) < to;
        at = (at / 64 + 1) * 64;
    }
    const auto late = unhashedLate_[form].lower_bound(least);
    return late != unhashedLate_[form].end() && late->first <= most;
}

void ExtraFileSet::hashFile(KnownFile& file, bool exact, bool folded, bool prefix) {
    exact = exact && !file.exactHashed;
    folded = folded && !file.foldedHashed;
    prefix = prefix && !file.prefixHashed && file.size > kHeldLeafBytes;
    if (!exact && !folded && !prefix)
        return;
    SipHasher exactHasher(key_);
    FoldedHasher foldedHasher(key_);
    SipHasher prefixHasher(key_);
    // Only the first block is needed for the prefix alone.
    const std::string path = pathOf(file);
    RangeReader reader(path, 0, exact || folded ? file.size : kHeldLeafBytes);
    std::unique_ptr<char[]> block(new char[kCopyBlock]);
    std::uint64_t size = 0;
    for (std::size_t count; (count = reader.read(block.get(), kCopyBlock)) != 0; size += count) {
        if (exact)
            exactHasher.update(reinterpret_cast<const unsigned char*>(block.get()), count);
        if (folded)
            foldedHasher.update(block.get(), count);
        if (prefix && size < kHeldLeafBytes)
            prefixHasher.update(reinterpret_cast<const unsigned char*>(block.get()),
                                std::min<std::uint64_t>(count, kHeldLeafBytes - size));
    }
    // A file that changed meanwhile is hashed as it was read.
    if (exact)
        exact_.emplace(size, exactHasher.finish());
    if (folded)
        folded_.insert(foldedHasher.finish());
    if (prefix && size >= kHeldLeafBytes)
        prefixes_.emplace(prefixHasher.finish(), path);
    file.exactHashed = file.exactHashed || exact;
    file.foldedHashed = file.foldedHashed || folded;
    file.prefixHashed = file.prefixHashed || prefix;
}

bool ExtraFileSet::isCopy(const Key& exact, const Key* folded) {
    takeUnhashed(kExact, exact.first, exact.first,
                 [this](std::size_t index) { hashFile(known_[index], true, false, false); });
    if (exact_.count(exact) != 0)
        return true;
    if (folded == nullptr)
        return false;
    // Folding at most halves a file: only sizes from F to 2F can match.
    const std::uint64_t foldedSize = folded->first;
    takeUnhashed(kFolded, foldedSize, 2 * foldedSize,
                 [this](std::size_t index) { hashFile(known_[index], false, true, false); });
    return folded_.count(*folded) != 0;
}

bool ExtraFileSet::mayHaveTwin(std::uint64_t size, bool folded) {
    seal();
    const auto exact = exact_.lower_bound(Key(size, 0));
    if (anyUnhashed(kExact, size, size) || (exact != exact_.end() && exact->first == size))
        return true;
    if (!folded)
        return false;
    // Folding keeps at least half of the bytes: the folded size F lies in
    // [size / 2, size], and isCopy looks at files of F to 2F bytes.
    const std::uint64_t least = size / 2;
    if (anyUnhashed(kFolded, least, 2 * size))
        return true;
    const auto hashedFolded = folded_.lower_bound(Key(least, 0));
    return hashedFolded != folded_.end() && hashedFolded->first <= size;
}

std::string ExtraFileSet::knownWithPrefix(std::uint64_t prefixHash) {
    takeUnhashed(kPrefix, 0, UINT64_MAX,
                 [this](std::size_t index) { hashFile(known_[index], false, false, true); });
    const auto found = prefixes_.find(prefixHash);
    return found == prefixes_.end() ? std::string() : found->second;
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
