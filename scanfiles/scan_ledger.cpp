// SPDX-License-Identifier: Apache-2.0
// scan_ledger.cpp - the per-request ledger and the folder's deferred list.
//
// Removal interprets the C library's error codes through the platform
// layer: ENOENT means the anti-virus deleted the file, EACCES that it still
// holds it open.
#include "scanfiles/scan_ledger.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "codec/content_hash.h"
#include "runtime/platform.h"
#include "scanfiles/scan_file_create.h"

namespace tarnwick {

namespace {

// isBidiControl - the code points that reorder the text shown around them.
bool isBidiControl(std::uint32_t codePoint) {
    return (codePoint >= 0x202A && codePoint <= 0x202E) ||
           (codePoint >= 0x2066 && codePoint <= 0x2069) || codePoint == 0x200E ||
           codePoint == 0x200F || codePoint == 0x061C;
}

// utf8Length - the length of the well-formed UTF-8 sequence at the start of
// text and its code point; 0 when it is not one.
std::size_t utf8Length(std::string_view text, std::uint32_t& codePoint) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    const bool overlong =
        (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
    if (overlong || (codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF)
        return 0;
    return length;
}

// hexEscape - "\xNN" for one byte.
std::string hexEscape(unsigned char byte) {
    static const char kDigits[] = "0123456789ABCDEF";
    return std::string("\\x") + kDigits[byte >> 4] + kDigits[byte & 0x0F];
}

// sameContent - true when the file at path can be read whole and its bytes
// hash to expected; a file that cannot be read counts as changed.
bool sameContent(const std::string& path, std::uint64_t expected) {
    std::FILE* file = platform::openSharedFile(path, "rb");
    if (file == nullptr)
        return false;
    codec::ContentHash hash;
    char block[64 * 1024];
    std::size_t count = 0;
    while ((count = std::fread(block, 1, sizeof block, file)) > 0)
        hash.add(block, count);
    const bool readWhole = std::ferror(file) == 0;
    std::fclose(file);
    return readWhole && hash.value() == expected;
}

// differs - whether a file written with size and modified (and, when
// hashed, bytes hashing to hash) is no longer that now that it is at status:
// another size, or another time and other bytes or none hashed.
bool differs(std::int64_t size, std::int64_t modified, bool hashed, std::uint64_t hash,
             const std::string& path, const platform::PathStatus& status) {
    if (status.size != size)
        return true;
    if (status.modified == modified)
        return false;
    return !hashed || !sameContent(path, hash);
}

}  // namespace

// printableName - see the header.
std::string printableName(std::string_view name) {
    if (name.empty())
        return "(no name)";
    // One shown unit per character, read no further than one past the limit.
    std::vector<std::string> units;
    while (!name.empty() && units.size() <= kMaxShownNameChars) {
        std::uint32_t codePoint = 0;
        const std::size_t length = utf8Length(name, codePoint);
        std::string unit;
        if (length == 0 || codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0) ||
            isBidiControl(codePoint)) {
            for (std::size_t i = 0; i < (length == 0 ? 1 : length); ++i)
                unit += hexEscape(static_cast<unsigned char>(name[i]));
        } else {
            unit.assign(name.substr(0, length));
        }
        name.remove_prefix(length == 0 ? 1 : length);
        units.push_back(std::move(unit));
    }
    const bool cut = units.size() > kMaxShownNameChars;
    if (cut)
        units.resize(kMaxShownNameChars - 3);
    std::string shown;
    for (const std::string& unit : units)
        shown += unit;
    return cut ? shown + "..." : shown;
}

// actedOnLine - see the header.
std::string actedOnLine(ScanFileAction action, const std::string& account) {
    switch (action) {
        case ScanFileAction::Removed:
            return "The anti-virus removed " + account;
        case ScanFileAction::Changed:
            return "The anti-virus changed " + account;
        case ScanFileAction::KeptLocked:
            break;
    }
    // "kept attachment 3 locked: NAME (...)", "kept the copy of the message locked"
    const std::size_t colon = account.find(": ");
    if (colon == std::string::npos)
        return "The anti-virus kept " + account + " locked";
    return "The anti-virus kept " + account.substr(0, colon) + " locked" + account.substr(colon);
}

// actedOnDetail - see the header.
std::string actedOnDetail(ScanFileAction action, const std::string& name) {
    switch (action) {
        case ScanFileAction::Removed:
            return name + " removed";
        case ScanFileAction::Changed:
            return name + " changed";
        case ScanFileAction::KeptLocked:
            break;
    }
    return name + " kept locked";
}

// ScanFileOwners::holds - whether a live ledger holds path.
bool ScanFileOwners::holds(const std::string& path) const {
    MutexLock held(mutex_);
    return heldLocked(path);
}

// ScanFileOwners::heldLocked - asks every live ledger.
bool ScanFileOwners::heldLocked(const std::string& path) const {
    return std::any_of(ledgers_.begin(), ledgers_.end(), [&](const ScanLedger* ledger) {
        return ledger->locate(path) != std::string::npos;
    });
}

// ScanFileOwners::defer - new deferred files go first.
void ScanFileOwners::defer(const std::vector<std::string>& paths, bool announced) {
    MutexLock held(mutex_);
    std::vector<Deferred> fresh;
    for (const std::string& path : paths) {
        auto same = [&](const Deferred& entry) { return entry.path == path; };
        auto old = std::find_if(deferred_.begin(), deferred_.end(), same);
        if (old != deferred_.end()) {
            old->announced = old->announced || announced;
        } else if (std::find_if(fresh.begin(), fresh.end(), same) == fresh.end()) {
            fresh.push_back({path, announced});
        }
    }
    deferred_.insert(deferred_.begin(), fresh.begin(), fresh.end());
}

// ScanFileOwners::anyDeferred - whether there is something to clean up.
bool ScanFileOwners::anyDeferred(bool announcedOnly) const {
    MutexLock held(mutex_);
    return std::any_of(deferred_.begin(), deferred_.end(),
                       [&](const Deferred& entry) { return entry.announced || !announcedOnly; });
}

// ScanFileOwners::retryDeferred - one round over the deferred list. The
// lock is held through the removals, so a ledger that holds a name first is
// never robbed of the file it creates under it.
bool ScanFileOwners::retryDeferred() {
    MutexLock held(mutex_);
    std::vector<Deferred> kept;
    bool announcedLeft = false;
    for (Deferred& entry : deferred_) {
        if (!heldLocked(entry.path)) {
            const int error = platform::removePath(entry.path);
            if (error == 0 || error == ENOENT)
                continue;
        }
        announcedLeft = announcedLeft || entry.announced;
        kept.push_back(std::move(entry));
    }
    deferred_ = std::move(kept);
    return announcedLeft;
}

// ScanFileOwners::reclaim - only a name on the list, so only a file of
// ours, is ever removed to make room. Its entry stays, skipped while the
// name is held, and is dropped once the name is found gone.
ReclaimResult ScanFileOwners::reclaim(const std::string& path) {
    MutexLock held(mutex_);
    auto same = [&](const Deferred& entry) { return entry.path == path; };
    if (std::find_if(deferred_.begin(), deferred_.end(), same) == deferred_.end())
        return ReclaimResult::NotOurs;
    const int error = platform::removePath(path);
    return error == 0 || error == ENOENT ? ReclaimResult::Removed : ReclaimResult::StillHeld;
}

// ScanFileOwners::deferredPaths - a copy of the list.
std::vector<std::string> ScanFileOwners::deferredPaths() const {
    MutexLock held(mutex_);
    std::vector<std::string> paths;
    for (const Deferred& entry : deferred_)
        paths.push_back(entry.path);
    return paths;
}

// ScanFileOwners::forgetDeferred - an empty list.
void ScanFileOwners::forgetDeferred() {
    MutexLock held(mutex_);
    deferred_.clear();
}

ScanLedger::ScanLedger(ScanFileOwners& owners, std::string folder, std::string prefix,
                       std::uint32_t requestId)
    : owners_(owners),
      folder_(std::move(folder)),
      prefix_(std::move(prefix)),
      requestId_(requestId) {
    // Each name split around its index, once: index 0 marks where it goes.
    for (std::size_t kind = 0; kind < kKinds; ++kind) {
        const std::string name =
            scanFileName(folder_, prefix_, static_cast<ScanFileKind>(kind), requestId_, 0);
        const std::size_t zero = static_cast<ScanFileKind>(kind) == ScanFileKind::Copy
                                     ? name.size()
                                     : name.find_last_of('0');
        nameFront_[kind] = name.substr(0, zero);
        nameBack_[kind] = zero < name.size() ? name.substr(zero + 1) : std::string();
    }
    MutexLock held(owners_.mutex_);
    owners_.ledgers_.push_back(this);
}

// ScanLedger::~ScanLedger - what is left is cleaned up later.
ScanLedger::~ScanLedger() {
    std::vector<std::string> rest;
    for (std::size_t position = 0; position < entries_.size(); ++position)
        if (entries_[position].alive)
            rest.push_back(pathOf(position));
    if (!rest.empty())
        owners_.defer(rest, false);
    MutexLock held(owners_.mutex_);
    auto& ledgers = owners_.ledgers_;
    ledgers.erase(std::remove(ledgers.begin(), ledgers.end(), this), ledgers.end());
}

// ScanLedger::holdName - an entry, alive, for the name about to be created.
void ScanLedger::holdName(ScanFileKind kind, int index) {
    MutexLock held(owners_.mutex_);
    Entry entry;
    entry.kind = kind;
    entry.index = index;
    entry.alive = true;
    entries_.push_back(entry);
    auto& byIndex = byIndex_[static_cast<std::size_t>(kind)];
    if (byIndex.size() <= nameIndex(kind, index))
        byIndex.resize(nameIndex(kind, index) + 1, kNone);
    byIndex[nameIndex(kind, index)] = static_cast<std::uint32_t>(entries_.size() - 1);
}

// ScanLedger::releaseName - the name was not created after all: used up,
// nothing is ever recorded under it.
void ScanLedger::releaseName(ScanFileKind kind, int index) {
    MutexLock held(owners_.mutex_);
    entries_.pop_back();
    byIndex_[static_cast<std::size_t>(kind)][nameIndex(kind, index)] = kNone;
}

// ScanLedger::create - names, holds, creates and records the next file. A
// name taken by a deferred file of ours that the anti-virus still holds is
// passed over for the next index (the copy has none: it fails).
std::FILE* ScanLedger::create(ScanFileKind kind, std::string& path) {
    const auto slot = static_cast<std::size_t>(kind);
    std::FILE* file = nullptr;
    int index = 0;
    for (int tries = 0;; ++tries) {
        index = nextIndex_[slot]++;
        path = scanFileName(folder_, prefix_, kind, requestId_, index);
        // Held before it exists: from here on no clean-up removes this name.
        // An earlier file of this name on the deferred list that gets
        // replaced keeps its entry there, skipped while held, dropped once
        // the name is found gone.
        holdName(kind, index);
        errno = 0;
        file = createScanFile(path);
        if (file != nullptr || errno != EEXIST)
            break;
        const ReclaimResult reclaimed = owners_.reclaim(path);
        if (reclaimed == ReclaimResult::Removed) {
            errno = 0;
            file = createScanFile(path);
            break;
        }
        errno = EEXIST;
        if (reclaimed == ReclaimResult::NotOurs || kind == ScanFileKind::Copy ||
            tries + 1 == kMaxPassedOverNames)
            break;
        releaseName(kind, index);
    }
    if (file == nullptr) {
        const int error = errno;
        releaseName(kind, index);
        const bool first = !writeFailed_;
        noteWriteFailure(error, path);
        if (first)
            failedKind_ = kind == ScanFileKind::Spill ? ScanFileKind::Extra : kind;
        errno = error;
        return nullptr;
    }
    if (kind == ScanFileKind::Part || kind == ScanFileKind::Extra)
        entries_.back().shownNumber = ++shownCreated_;
    created_[slot].push_back(static_cast<std::uint32_t>(entries_.size() - 1));
    return file;
}

// ScanLedger::written - size and time as the writer left the file.
void ScanLedger::written(const std::string& path, std::int64_t bytes) {
    Entry* entry = find(path);
    if (entry == nullptr)
        return;
    platform::PathStatus status;
    const bool measured = platform::statPath(path, status);
    if (!entry->tallied) {
        // A file the anti-virus removed at once counts with the writer's bytes.
        entry->tallied = true;
        WrittenTally& tally = tallies_[entry->kind];
        ++tally.files;
        tally.bytes +=
            static_cast<std::uint64_t>(measured ? status.size : std::max<std::int64_t>(bytes, 0));
    }
    if (!measured) {
        entry->size = bytes;
        return;
    }
    entry->written = true;
    entry->hashed = false;
    entry->size = status.size;
    entry->modified = status.modified;
}

// ScanLedger::noteContentHash - see the header.
void ScanLedger::noteContentHash(const std::string& path, std::uint64_t hash) {
    if (Entry* entry = find(path); entry != nullptr && entry->written) {
        entry->contentHash = hash;
        entry->hashed = true;
    }
}

// ScanLedger::noteBody - where a part file came from.
void ScanLedger::noteBody(const std::string& path, const BodySpan& span) {
    if (Entry* entry = find(path)) {
        entry->bodyNoted = true;
        entry->bodyBegin = span.begin;
        entry->bodyEnd = span.end;
        entry->bodyEncoding = static_cast<std::uint8_t>(span.encoding);
    }
}

// ScanLedger::writtenParts - the part files with what is known of each.
WrittenParts ScanLedger::writtenParts() const {
    const std::size_t partKind = static_cast<std::size_t>(ScanFileKind::Part);
    WrittenParts parts(nameFront_[partKind], nameBack_[partKind]);
    // One allocation of the size needed: a message may have tens of
    // thousands of parts, and doubling would leave half of it unused.
    parts.reserve(created_[partKind].size());
    for (const std::uint32_t position : created_[partKind]) {
        const Entry& entry = entries_[position];
        if (!entry.alive)
            continue;
        WrittenPart part;
        part.number = entry.index;
        part.spanKnown = entry.bodyNoted;
        part.begin = entry.bodyBegin;
        part.end = entry.bodyEnd;
        part.encoding = entry.bodyEncoding;
        part.written = entry.written;
        part.size = entry.written ? entry.size : 0;
        parts.push_back(part);
    }
    return parts;
}

// ScanLedger::keep - into the one buffer, unless the same words are there
// already as the previous file's; past 4 GiB of words, none are kept.
ScanLedger::Text ScanLedger::keep(const std::string& text, const Text& previous) {
    if (text.empty())
        return Text{};
    if (words(previous) == text)
        return previous;
    if (words_.size() + text.size() > UINT32_MAX)
        return Text{};
    const Text kept{static_cast<std::uint32_t>(words_.size()),
                    static_cast<std::uint32_t>(text.size())};
    words_ += text;
    return kept;
}

// ScanLedger::words - a stretch of the buffer as a string.
std::string ScanLedger::words(const Text& text) const {
    return words_.substr(text.offset, text.length);
}

// ScanLedger::describe - words for the log lines about a file.
void ScanLedger::describe(const std::string& path, ScanFileDescription description) {
    Entry* entry = find(path);
    if (entry == nullptr)
        return;
    entry->displayName = lastDisplayName_ = keep(description.displayName, lastDisplayName_);
    entry->contentType = lastContentType_ = keep(description.contentType, lastContentType_);
    entry->reading = lastReading_ = keep(description.reading, lastReading_);
}

// ScanLedger::account - see the header.
std::string ScanLedger::account(const std::string& path) const {
    const Entry* entry = find(path);
    if (entry == nullptr)
        return std::string();
    if (entry->kind == ScanFileKind::Copy)
        return "the copy of the message";
    std::string text =
        entry->contentType.length == 0 ? std::string() : printableName(words(entry->contentType));
    if (entry->size >= 0)
        text += (text.empty() ? "" : ", ") + std::to_string(entry->size) + " bytes";
    if (entry->reading.length != 0)
        text += (text.empty() ? "" : ", ") + words(entry->reading);
    // The file's own name in the folder, to match with the anti-virus's log.
    text += (text.empty() ? "" : ", ") +
            printableName(std::string_view(path).substr(path.find_last_of('/') + 1));
    std::string named = "attachment " + std::to_string(entry->shownNumber) + ": " +
                        printableName(words(entry->displayName));
    return text.empty() ? named : named + " (" + text + ")";
}

// ScanLedger::description - see the header.
ScanFileDescription ScanLedger::description(const std::string& path) const {
    const Entry* entry = find(path);
    if (entry == nullptr)
        return ScanFileDescription{};
    return ScanFileDescription{words(entry->displayName), words(entry->contentType),
                               words(entry->reading)};
}

// ScanLedger::forget - the writer removed its own file.
void ScanLedger::forget(const std::string& path) {
    const Entry* entry = find(path);
    if (entry == nullptr)
        return;
    if (entry->index != kAdopted) {
        int& next = nextIndex_[static_cast<std::size_t>(entry->kind)];
        if (entry->index == next - 1)
            --next;
    }
    if (entry->shownNumber != 0 && entry->shownNumber == shownCreated_)
        --shownCreated_;
    drop(path);
}

// ScanLedger::defer - one file to the deferred list.
void ScanLedger::defer(const std::string& path, bool announced) {
    if (find(path) == nullptr)
        return;
    owners_.defer({path}, announced);
    drop(path);
}

// ScanLedger::adopt - a file written by someone else.
void ScanLedger::adopt(const std::string& path) {
    if (find(path) != nullptr)
        return;
    const auto position = static_cast<std::uint32_t>(entries_.size());
    {
        MutexLock held(owners_.mutex_);
        Entry entry;
        entry.kind = ScanFileKind::Extra;
        entry.index = kAdopted;
        entry.alive = true;
        entries_.push_back(entry);
        adopted_.emplace_back(path, position);
    }
    entries_.back().shownNumber = ++shownCreated_;
    created_[static_cast<std::size_t>(ScanFileKind::Extra)].push_back(position);
    written(path);
}

// ScanLedger::forgetAll - an empty ledger, files untouched.
void ScanLedger::forgetAll() {
    MutexLock held(owners_.mutex_);
    for (std::size_t position = 0; position < entries_.size(); ++position)
        dropLocked(position);
}

// ScanLedger::noteWriteFailure - the request's write results.
void ScanLedger::noteWriteFailure(int error, const std::string& path) {
    if (!writeFailed_) {
        failedPath_ = path;
        failedError_ = error;
        const Entry* entry = path.empty() ? nullptr : find(path);
        failedKind_ = entry == nullptr || entry->kind == ScanFileKind::Spill ? ScanFileKind::Extra
                                                                             : entry->kind;
    }
    writeFailed_ = true;
    if (platform::isNoSpaceError(error))
        noSpaceLeft_ = true;
}

// ScanLedger::failedFileName - a file never created has no record: its own
// name in the folder says which.
std::string ScanLedger::failedFileName() const {
    if (failedPath_.empty())
        return "a file of the message";
    return printableName(failedPath_.substr(failedPath_.find_last_of('/') + 1));
}

// ScanLedger::writeFailureLine - named when the line is written, so that a
// description given after the failure counts.
std::string ScanLedger::writeFailureLine() const {
    if (!writeFailed_)
        return std::string();
    const std::string named =
        find(failedPath_) != nullptr ? account(failedPath_) : failedFileName();
    return "Could not write " + named + ": " +
           (failedError_ != 0 ? std::strerror(failedError_) : "unknown error") +
           "; treated as a virus";
}

// ScanLedger::writeFailureDetail - see the header.
std::string ScanLedger::writeFailureDetail() const {
    if (!writeFailed_)
        return std::string();
    const std::string named =
        find(failedPath_) != nullptr ? shortName(failedPath_) : failedFileName();
    return named + " could not be written";
}

// ScanLedger::shortName - see the header.
std::string ScanLedger::shortName(const std::string& path) const {
    const Entry* entry = find(path);
    if (entry == nullptr)
        return std::string();
    if (entry->kind == ScanFileKind::Copy)
        return "the message";
    if (entry->displayName.length == 0)
        return "attachment " + std::to_string(entry->shownNumber);
    return printableName(words(entry->displayName));
}

// ScanLedger::noteVirusDetail - the first reason wins.
void ScanLedger::noteVirusDetail(const std::string& detail, ScanFileKind kind, VirusSign sign) {
    if (!virusDetail_.empty() || virusCause_.known)
        return;
    virusDetail_ = detail;
    virusCause_ = VirusCause{true, kind == ScanFileKind::Spill ? ScanFileKind::Extra : kind, sign};
}

// ScanLedger::writtenTally - see the header.
WrittenTally ScanLedger::writtenTally(ScanFileKind kind) const {
    const auto found = tallies_.find(kind);
    return found == tallies_.end() ? WrittenTally{} : found->second;
}

// ScanLedger::paths - files of one kind in creation order.
std::vector<std::string> ScanLedger::paths(ScanFileKind kind) const {
    return pathsOf(kind, kind);
}

// ScanLedger::shownPaths - part and extra files in creation order.
std::vector<std::string> ScanLedger::shownPaths() const {
    return pathsOf(ScanFileKind::Part, ScanFileKind::Extra);
}

// ScanLedger::pathsOf - files of either kind in creation order.
std::vector<std::string> ScanLedger::pathsOf(ScanFileKind first, ScanFileKind second) const {
    std::vector<std::string> list;
    for (std::size_t position = 0; position < entries_.size(); ++position) {
        const Entry& entry = entries_[position];
        if (entry.alive && (entry.kind == first || entry.kind == second))
            list.push_back(pathOf(position));
    }
    return list;
}

// ScanLedger::count - number of files of one kind.
std::size_t ScanLedger::count(ScanFileKind kind) const {
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(),
                      [&](const Entry& entry) { return entry.alive && entry.kind == kind; }));
}

// ScanLedger::createdCount - see the header.
std::size_t ScanLedger::createdCount(ScanFileKind kind) const {
    return created_[static_cast<std::size_t>(kind)].size();
}

// ScanLedger::createdAfter - see the header.
std::vector<std::string> ScanLedger::createdAfter(ScanFileKind kind, std::size_t mark) const {
    std::vector<std::string> list;
    const auto& created = created_[static_cast<std::size_t>(kind)];
    for (std::size_t i = mark; i < created.size(); ++i)
        if (entries_[created[i]].alive)
            list.push_back(pathOf(created[i]));
    return list;
}

// ScanLedger::unchanged - compares with the record.
bool ScanLedger::unchanged(const std::string& path) const {
    const Entry* entry = find(path);
    platform::PathStatus status;
    return entry != nullptr && entry->written && platform::statPath(path, status) &&
           !differs(entry->size, entry->modified, entry->hashed, entry->contentHash, path, status);
}

// ScanLedger::remove - compares with the record, then unlinks.
RemovalResult ScanLedger::remove(const std::string& path) {
    RemovalResult result;
    const Entry* entry = find(path);
    platform::PathStatus status;
    if (entry != nullptr && entry->written && platform::statPath(path, status))
        result.changed =
            differs(entry->size, entry->modified, entry->hashed, entry->contentHash, path, status);
    result.error = platform::removePath(path);
    if (result.error == 0 || result.error == ENOENT)
        drop(path);
    return result;
}

// ScanLedger::removeShown - one round over the files shown to the
// anti-virus.
int ScanLedger::removeShown(std::vector<std::string>* actedOnLines) {
    bool actedOn = false;
    std::vector<std::string> locked;
    // Each name is rebuilt as its turn comes, not all of them at once: a
    // message may have tens of thousands. Entries never move, and none is
    // created meanwhile.
    for (std::size_t position = 0; position < entries_.size(); ++position) {
        const Entry& shown = entries_[position];
        if (!shown.alive || (shown.kind != ScanFileKind::Part && shown.kind != ScanFileKind::Extra))
            continue;
        const std::string path = pathOf(position);
        // Named before the removal drops the record.
        const std::string named = actedOnLines != nullptr ? account(path) : std::string();
        const std::string name = shortName(path);
        const Entry* entry = find(path);
        const ScanFileKind kind = entry != nullptr ? entry->kind : ScanFileKind::Part;
        const RemovalResult removal = remove(path);
        if (removal.error == ENOENT || (removal.error == 0 && removal.changed)) {
            actedOn = true;
            const ScanFileAction action =
                removal.error == ENOENT ? ScanFileAction::Removed : ScanFileAction::Changed;
            noteVirusDetail(actedOnDetail(action, name), kind,
                            removal.error == ENOENT ? VirusSign::Removed : VirusSign::Changed);
            if (actedOnLines != nullptr)
                actedOnLines->push_back(actedOnLine(action, named));
        } else if (removal.error == EACCES)
            locked.push_back(path);
        else if (removal.error != 0)
            drop(path);  // nothing to learn from it, nothing more to try
    }
    // Once the anti-virus has shown its hand the verdict is settled; the
    // files it still holds are only garbage to collect later.
    if (actedOn) {
        if (!locked.empty())
            owners_.defer(locked, false);
        for (const std::string& path : locked)
            drop(path);
        return 1;
    }
    return locked.empty() ? 0 : -1;
}

// ScanLedger::deferShown - a request gives up on its files.
void ScanLedger::deferShown(std::vector<std::string>* keptLocked) {
    const std::vector<std::string> shown = shownPaths();
    if (shown.empty())
        return;
    for (const std::string& path : shown) {
        const Entry* entry = find(path);
        noteVirusDetail(actedOnDetail(ScanFileAction::KeptLocked, shortName(path)),
                        entry != nullptr ? entry->kind : ScanFileKind::Part, VirusSign::KeptLocked);
        if (keptLocked != nullptr)
            keptLocked->push_back(actedOnLine(ScanFileAction::KeptLocked, account(path)));
    }
    owners_.defer(shown, true);
    for (const std::string& path : shown)
        drop(path);
}

// ScanLedger::nameIndex - where a file's index goes in byIndex_: the copy,
// whose name carries none, always at 0, so the newest copy is found.
std::size_t ScanLedger::nameIndex(ScanFileKind kind, int index) {
    return kind == ScanFileKind::Copy ? 0 : static_cast<std::size_t>(index);
}

// ScanLedger::pathOf - the name rebuilt from kind and index.
std::string ScanLedger::pathOf(std::size_t position) const {
    const Entry& entry = entries_[position];
    if (entry.index == kAdopted) {
        for (const auto& [path, at] : adopted_)
            if (at == position)
                return path;
        return std::string();
    }
    return scanFileName(folder_, prefix_, entry.kind, requestId_, entry.index);
}

// ScanLedger::locate - reads the kind and index back from the name; an
// index is taken only in the form scanFileName writes it.
std::size_t ScanLedger::locate(const std::string& path) const {
    for (const auto& [name, at] : adopted_)
        if (name == path && entries_[at].alive)
            return at;
    for (std::size_t kind = 0; kind < kKinds; ++kind) {
        const std::string& front = nameFront_[kind];
        const std::string& back = nameBack_[kind];
        if (path.size() < front.size() + back.size() || path.compare(0, front.size(), front) != 0 ||
            path.compare(path.size() - back.size(), back.size(), back) != 0)
            continue;
        const std::string digits =
            path.substr(front.size(), path.size() - front.size() - back.size());
        std::size_t index = 0;
        if (static_cast<ScanFileKind>(kind) != ScanFileKind::Copy) {
            if (digits.empty() || digits.size() > 9 || (digits[0] == '0' && digits.size() > 1) ||
                digits.find_first_not_of("0123456789") != std::string::npos)
                continue;
            index = static_cast<std::size_t>(std::stoul(digits));
        } else if (!digits.empty()) {
            continue;
        }
        const auto& byIndex = byIndex_[kind];
        if (index >= byIndex.size() || byIndex[index] == kNone)
            continue;
        const std::size_t position = byIndex[index];
        if (entries_[position].alive)
            return position;
    }
    return std::string::npos;
}

// ScanLedger::find - the entry of path, or nullptr.
ScanLedger::Entry* ScanLedger::find(const std::string& path) {
    const std::size_t position = locate(path);
    return position != std::string::npos ? &entries_[position] : nullptr;
}

const ScanLedger::Entry* ScanLedger::find(const std::string& path) const {
    const std::size_t position = locate(path);
    return position != std::string::npos ? &entries_[position] : nullptr;
}

// ScanLedger::drop - no longer recorded, no longer held.
void ScanLedger::drop(const std::string& path) {
    const std::size_t position = locate(path);
    if (position == std::string::npos)
        return;
    MutexLock held(owners_.mutex_);
    dropLocked(position);
}

// ScanLedger::dropLocked - an adopted name is let go of entirely.
void ScanLedger::dropLocked(std::size_t position) {
    entries_[position].alive = false;
    if (entries_[position].index == kAdopted)
        adopted_.erase(std::remove_if(adopted_.begin(), adopted_.end(),
                                      [&](const auto& each) { return each.second == position; }),
                       adopted_.end());
}

}  // namespace tarnwick
