// SPDX-License-Identifier: Apache-2.0
// part_files.cpp - naming, opening, buffering and removing part files.
//
// Removal interprets the C library's error codes through the platform layer:
// ENOENT means the anti-virus deleted the file, EACCES that it still holds
// it open; a create or write that fails for a full disk (ENOSPC, EDQUOT) is
// noted apart from every other write failure. No other operating-system
// access happens here.
#include "mime/part_files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "mime/unpacker.h"
#include "runtime/platform.h"

namespace tarnwick::mime {

bool writeFailed = false;
bool noSpaceLeft = false;
int partNumber = 0;
std::string namePrefix;
PartFileRegistry partFileRegistry;
std::vector<std::string> leftoverFiles;
std::map<int, std::vector<std::string>> deferredFiles;

namespace {

// noteWriteError - remembers a full disk behind a failed create or write.
void noteWriteError(int error) {
    if (platform::isNoSpaceError(error))
        noSpaceLeft = true;
}

// appendNew - appends the paths not yet in list, in order.
void appendNew(std::vector<std::string>& list, const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        if (std::find(list.begin(), list.end(), path) == list.end())
            list.push_back(path);
    }
}

// retryLeftoverFiles - one more removal of every leftover, except those a
// request in progress has written again; keeps what could not be removed.
void retryLeftoverFiles(std::vector<std::string> keep) {
    // A leftover that no longer exists needs no more attempts; keeping it
    // would retry it forever and, once the request number comes round
    // again, delete a fresh part file of that later message.
    for (const std::string& path : leftoverFiles) {
        if (partFileRegistry.owns(path)) {
            keep.push_back(path);
            continue;
        }
        int error = platform::removePath(path);
        if (error != 0 && error != ENOENT)
            keep.push_back(path);
    }
    leftoverFiles = std::move(keep);
}

}  // namespace

// PartFileOutput::PartFileOutput - adopts the file; stdio's own buffering is
// switched off so that a failing write shows in our flush, not later.
PartFileOutput::PartFileOutput(std::FILE* file, std::string path)
    : file_(file), path_(std::move(path)), buffer_(std::make_unique<char[]>(kBufferSize)) {
    std::setvbuf(file_, nullptr, _IONBF, 0);
}

// PartFileOutput::~PartFileOutput - closes the file if still open.
PartFileOutput::~PartFileOutput() {
    close();
}

// PartFileOutput::append - copies bytes into the buffer, flushing when full.
void PartFileOutput::append(const char* data, std::size_t size) {
    while (size > 0) {
        if (used_ == kBufferSize)
            flush();
        std::size_t room = kBufferSize - used_;
        std::size_t chunk = size < room ? size : room;
        std::memcpy(buffer_.get() + used_, data, chunk);
        used_ += chunk;
        data += chunk;
        size -= chunk;
    }
}

// PartFileOutput::flush - writes the buffer out. On failure the buffer is
// dropped all the same so decoding can go on to the end of the part.
void PartFileOutput::flush() {
    errno = 0;
    if (used_ > 0 && std::fwrite(buffer_.get(), 1, used_, file_) != used_) {
        failed_ = true;
        noteWriteError(errno);
    }
    used_ = 0;
}

// PartFileOutput::close - final flush, then close. The data's last write
// counts like every other; a failing fclose of an unbuffered stream has
// nothing left to lose and is not counted.
bool PartFileOutput::close() {
    if (file_ == nullptr)
        return !failed_;
    flush();
    std::fclose(file_);
    file_ = nullptr;
    if (!path_.empty())
        platform::offerToScanner(path_);
    return !failed_;
}

// PartFileRegistry::add - appends a path to a message's list.
void PartFileRegistry::add(int messageNumber, std::string path) {
    lists_[messageNumber].push_back(std::move(path));
}

// PartFileRegistry::owns - whether any list holds path.
bool PartFileRegistry::owns(const std::string& path) const {
    for (const auto& [number, paths] : lists_) {
        if (std::find(paths.begin(), paths.end(), path) != paths.end())
            return true;
    }
    return false;
}

// PartFileRegistry::count - length of a message's list.
std::size_t PartFileRegistry::count(int messageNumber) const {
    auto entry = lists_.find(messageNumber);
    return entry == lists_.end() ? 0 : entry->second.size();
}

// PartFileRegistry::paths - copy of a message's list.
std::vector<std::string> PartFileRegistry::paths(int messageNumber) const {
    auto entry = lists_.find(messageNumber);
    return entry == lists_.end() ? std::vector<std::string>{} : entry->second;
}

// PartFileRegistry::replace - sets or drops a message's list.
void PartFileRegistry::replace(int messageNumber, std::vector<std::string> paths) {
    if (paths.empty())
        lists_.erase(messageNumber);
    else
        lists_[messageNumber] = std::move(paths);
}

// partFileName - the generic name; built without a length limit, so a long
// folder can never cut two names down to the same text.
std::string partFileName(const std::string& folder, int messageNumber, int number,
                         const std::string& prefix) {
    return folder + "/" + prefix + "msg-" + std::to_string(messageNumber) + "-part-" +
           std::to_string(number) + ".scanme";
}

// openPartFile - numbers, creates and registers the next part file.
std::unique_ptr<PartFileOutput> openPartFile(int messageNumber, const std::string& folder) {
    std::string name = partFileName(folder, messageNumber, partNumber, namePrefix);
    ++partNumber;
    errno = 0;
    std::FILE* file = platform::createScanFile(name);
    if (file == nullptr) {
        noteWriteError(errno);
        return nullptr;
    }
    partFileRegistry.add(messageNumber, name);
    return std::make_unique<PartFileOutput>(file, std::move(name));
}

// registeredPartFiles - see unpacker.h.
std::vector<std::string> registeredPartFiles(int messageNumber) {
    return partFileRegistry.paths(messageNumber);
}

// pendingLeftoverFiles - see unpacker.h.
std::vector<std::string> pendingLeftoverFiles() {
    return leftoverFiles;
}

// pendingDeferredFiles - see unpacker.h.
std::vector<std::string> pendingDeferredFiles(int messageNumber) {
    auto entry = deferredFiles.find(messageNumber);
    return entry == deferredFiles.end() ? std::vector<std::string>{} : entry->second;
}

// takeNoSpaceLeft - see unpacker.h.
bool takeNoSpaceLeft() {
    return std::exchange(noSpaceLeft, false);
}

// addPartFiles - see unpacker.h.
void addPartFiles(int messageNumber, const std::vector<std::string>& paths) {
    std::vector<std::string> list = partFileRegistry.paths(messageNumber);
    appendNew(list, paths);
    partFileRegistry.replace(messageNumber, std::move(list));
}

// deferPartFiles - see unpacker.h.
void deferPartFiles(int messageNumber) {
    const std::vector<std::string> rest = partFileRegistry.paths(messageNumber);
    partFileRegistry.replace(messageNumber, {});
    if (!rest.empty())
        appendNew(deferredFiles[messageNumber], rest);
}

// retryDeferredPartFiles - see unpacker.h.
int retryDeferredPartFiles(int messageNumber) {
    std::vector<std::string> kept;
    for (const std::string& path : pendingDeferredFiles(messageNumber)) {
        // A name that the request now in progress has written again is that
        // request's file, and removing it would take it from under its
        // checks; the old file was replaced by it. Kept until the name is
        // free again, when it is found gone and dropped.
        if (partFileRegistry.owns(path) || platform::removePath(path) == EACCES)
            kept.push_back(path);
    }
    const int result = kept.empty() ? 0 : -1;
    if (kept.empty())
        deferredFiles.erase(messageNumber);
    else
        deferredFiles[messageNumber] = std::move(kept);
    retryLeftoverFiles({});
    return result;
}

// removePartFiles - one removal round for a message plus the leftovers.
int removePartFiles(int messageNumber) {
    bool missing = false;
    std::vector<std::string> locked;
    for (std::string& path : partFileRegistry.paths(messageNumber)) {
        int error = platform::removePath(path);
        if (error == ENOENT)
            missing = true;
        else if (error == EACCES)
            locked.push_back(std::move(path));
    }
    // Once the anti-virus has shown its hand by deleting a file, the verdict
    // is settled; the files it still holds are only garbage to collect later.
    std::vector<std::string> keep;
    if (missing) {
        keep = std::move(locked);
        locked.clear();
    }
    bool stillLocked = !locked.empty();
    partFileRegistry.replace(messageNumber, std::move(locked));
    retryLeftoverFiles(std::move(keep));
    if (missing)
        return 1;
    return stillLocked ? -1 : 0;
}

}  // namespace tarnwick::mime
