// SPDX-License-Identifier: Apache-2.0
// known_files.cpp - the files already written for the message, as the
// second reading knows them: learned, sorted by size, hashed when an
// attachment of a fitting size asks, and recognised as an attachment's twin.
#include <algorithm>
#include <bit>
#include <memory>

#include "client_reading/extra_files.h"
#include "client_reading/line_input.h"
#include "runtime/platform.h"

namespace tarnwick::client_reading {

namespace {

// kHashBlock - bytes read at once when a known file is hashed.
constexpr std::size_t kHashBlock = 64 * 1024;

}  // namespace

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
    std::unique_ptr<char[]> block(new char[kHashBlock]);
    std::uint64_t size = 0;
    for (std::size_t count; (count = reader.read(block.get(), kHashBlock)) != 0; size += count) {
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

}  // namespace tarnwick::client_reading
