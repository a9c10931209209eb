// SPDX-License-Identifier: Apache-2.0
// part_files.cpp - opening and buffering part files, and the unpacker's own
// record for callers without a ledger.
//
// A create or write that fails is noted in the request's ledger, which tells
// a full disk (ENOSPC, EDQUOT) apart from every other failure. No other
// operating-system access happens here.
#include "unpacker/part_files.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

#include "runtime/platform.h"
#include "unpacker/unpacker.h"

namespace tarnwick::unpacker {

namespace {

// OwnRecord - the ledgers of callers that have none of their own (the
// unpack tool, benchmarks, tests), by message number, with their folder's
// owners. Process-wide, like the unpacker itself.
struct OwnRecord {
    ScanFileOwners owners;
    std::map<int, std::unique_ptr<ScanLedger>> ledgers;
};

// ownRecord - the one own record, made at first use.
OwnRecord& ownRecord() {
    static OwnRecord record;
    return record;
}

// ownLedger - the ledger under messageNumber, or nullptr.
ScanLedger* ownLedger(int messageNumber) {
    auto entry = ownRecord().ledgers.find(messageNumber);
    return entry == ownRecord().ledgers.end() ? nullptr : entry->second.get();
}

// ownLedgerFor - the ledger under messageNumber, begun when missing.
ScanLedger& ownLedgerFor(int messageNumber, const std::string& folder) {
    std::unique_ptr<ScanLedger>& ledger = ownRecord().ledgers[messageNumber];
    if (!ledger)
        ledger = std::make_unique<ScanLedger>(ownRecord().owners, folder, std::string(),
                                              static_cast<std::uint32_t>(messageNumber));
    return *ledger;
}

// endOwnLedgerWhenEmpty - drops the ledger under messageNumber once it
// holds no file shown to the anti-virus.
void endOwnLedgerWhenEmpty(int messageNumber) {
    const ScanLedger* ledger = ownLedger(messageNumber);
    if (ledger != nullptr && ledger->count(ScanFileKind::Part) == 0 &&
        ledger->count(ScanFileKind::Extra) == 0)
        ownRecord().ledgers.erase(messageNumber);
}

}  // namespace

// PartFileOutput::PartFileOutput - adopts the file; stdio's own buffering is
// switched off so that a failing write shows in our flush, not later.
PartFileOutput::PartFileOutput(std::FILE* file, std::string path, ScanLedger* ledger)
    : file_(file),
      path_(std::move(path)),
      ledger_(ledger),
      buffer_(new char[kBufferSize]) {  // not zeroed: every byte is written before use
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
    // The stream's error mark too: an unbuffered stream may count bytes as
    // taken that its device refused.
    if (used_ > 0 &&
        (std::fwrite(buffer_.get(), 1, used_, file_) != used_ || std::ferror(file_) != 0)) {
        failed_ = true;
        if (ledger_ != nullptr)
            ledger_->noteWriteFailure(errno, path_);
    } else {
        bytesWritten_ += static_cast<std::int64_t>(used_);
        hash_.add(buffer_.get(), used_);
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
    if (ledger_ != nullptr) {
        ledger_->written(path_, bytesWritten_);
        // A file not written whole keeps no hash: any later change counts.
        if (!failed_)
            ledger_->noteContentHash(path_, hash_.value());
    }
    if (!path_.empty())
        platform::offerToScanner(path_);
    return !failed_;
}

// partFileName - see part_files.h.
std::string partFileName(const std::string& folder, int messageNumber, int number) {
    return scanFileName(folder, std::string(), ScanFileKind::Part,
                        static_cast<std::uint32_t>(messageNumber), number);
}

// openPartFile - creates and records the next part file.
std::unique_ptr<PartFileOutput> openPartFile(ScanLedger& ledger) {
    std::string path;
    std::FILE* file = ledger.create(ScanFileKind::Part, path);
    if (file == nullptr)
        return nullptr;
    return std::make_unique<PartFileOutput>(file, std::move(path), &ledger);
}

// openPartFile - through the unpacker's own record.
std::unique_ptr<PartFileOutput> openPartFile(int messageNumber, const std::string& folder) {
    return openPartFile(ownLedgerFor(messageNumber, folder));
}

// unpackMessage - see unpacker.h.
int unpackMessage(std::unique_ptr<ByteSource> input, int messageNumber, const std::string& folder) {
    return unpackMessage(std::move(input), ownLedgerFor(messageNumber, folder));
}

// registeredPartFiles - see unpacker.h.
std::vector<std::string> registeredPartFiles(int messageNumber) {
    const ScanLedger* ledger = ownLedger(messageNumber);
    return ledger == nullptr ? std::vector<std::string>{} : ledger->shownPaths();
}

// firstReadingParts - see unpacker.h.
WrittenParts firstReadingParts(int messageNumber) {
    const ScanLedger* ledger = ownLedger(messageNumber);
    return ledger == nullptr ? WrittenParts{} : ledger->writtenParts();
}

// pendingLeftoverFiles - see unpacker.h.
std::vector<std::string> pendingLeftoverFiles() {
    return ownRecord().owners.deferredPaths();
}

// addPartFiles - see unpacker.h.
void addPartFiles(int messageNumber, const std::vector<std::string>& paths) {
    ScanLedger& ledger = ownLedgerFor(messageNumber, std::string());
    for (const std::string& path : paths)
        ledger.adopt(path);
}

// deferPartFiles - see unpacker.h.
void deferPartFiles(int messageNumber) {
    if (ScanLedger* ledger = ownLedger(messageNumber))
        ledger->deferShown();
    ownRecord().ledgers.erase(messageNumber);
}

// retryDeferredPartFiles - see unpacker.h.
int retryDeferredPartFiles(int) {
    return ownRecord().owners.retryDeferred() ? -1 : 0;
}

// removePartFiles - one removal round for a message plus the deferred files.
int removePartFiles(int messageNumber) {
    int result = 0;
    if (ScanLedger* ledger = ownLedger(messageNumber))
        result = ledger->removeShown();
    endOwnLedgerWhenEmpty(messageNumber);
    ownRecord().owners.retryDeferred();
    return result;
}

// forgetPartFiles - see unpacker.h.
void forgetPartFiles() {
    for (auto& [number, ledger] : ownRecord().ledgers)
        ledger->forgetAll();
    ownRecord().ledgers.clear();
    ownRecord().owners.forgetDeferred();
}

}  // namespace tarnwick::unpacker
