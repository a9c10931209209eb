// SPDX-License-Identifier: Apache-2.0
// part_files.h - the files the unpacker writes, and the record of them.
//
// Every decoded body part becomes one file "FOLDER/msg-N-part-K.scanme" in
// the temporary folder, where the resident anti-virus examines it. This unit
// opens those files through the request's ledger (which names, records and
// later removes them) and buffers their output. Nothing here prints.
//
// It deliberately does not look at content types or file names from the
// message: a part file's name depends only on the message number and order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "codec/content_hash.h"
#include "scanfiles/scan_ledger.h"

namespace tarnwick::unpacker {

class PartReader;

// PartFileOutput - one open part file with its own output buffer. Decoders
// append bytes; the buffer is written out when full and at close. A write
// that fails marks the output failed and the data of that buffer is lost;
// writing goes on. Owns the file handle: not copyable.
class PartFileOutput {
  public:
    // Bytes gathered before one write to the file: large enough that a write
    // per buffer costs little, small enough for the memory bound.
    static constexpr std::size_t kBufferSize = 64 * 1024;

    // Takes ownership of file. REQUIRES: file open for binary writing.
    // When path is given, the closed file is offered to the anti-virus
    // (platform::offerToScanner); with a ledger, failed writes are noted in
    // it and the closed file's size and time are recorded.
    explicit PartFileOutput(std::FILE* file, std::string path = {}, ScanLedger* ledger = nullptr);
    ~PartFileOutput();
    PartFileOutput(const PartFileOutput&) = delete;
    PartFileOutput& operator=(const PartFileOutput&) = delete;

    // put - appends one byte.
    void put(unsigned char byte) {
        if (used_ == kBufferSize)
            flush();
        buffer_[used_++] = static_cast<char>(byte);
    }
    // append - appends size bytes.
    void append(const char* data, std::size_t size);
    // room - where the next bytes go, for a decoder that writes them there
    // itself: at least one byte's room (the buffer is written out first
    // when full); size gets how much. added then tells how many it wrote.
    char* room(std::size_t& size) {
        if (used_ == kBufferSize)
            flush();
        size = kBufferSize - used_;
        return buffer_.get() + used_;
    }
    // added - count bytes were written where room pointed. REQUIRES: count
    // is at most the room it gave.
    void added(std::size_t count) { used_ += count; }
    // close - writes out the buffer and closes the file; later calls do
    // nothing. Returns false when any write of this file failed.
    bool close();
    // failed - true once a write of this file has failed.
    bool failed() const { return failed_; }
    // path - the file's path; empty when none was given.
    const std::string& path() const { return path_; }

  private:
    void flush();

    std::FILE* file_;
    std::string path_;
    ScanLedger* ledger_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    std::int64_t bytesWritten_ = 0;  // what the file took
    bool failed_ = false;
    codec::ContentHash hash_;  // of what the file took, for the ledger
};

// kFirstReading - the words that name this reading in the log lines.
inline constexpr const char* kFirstReading = "first reading";

// partFileName - "FOLDER/msg-M-part-K.scanme" with M and K as signed decimals.
std::string partFileName(const std::string& folder, int messageNumber, int number);

// openPartFile - the next part file of the request, created and recorded
// through its ledger (which uses up the number whatever happens). nullptr
// when it could not be created: nothing is recorded, the failure is noted.
std::unique_ptr<PartFileOutput> openPartFile(ScanLedger& ledger);
// openPartFile - the same for a caller without a ledger of its own: the
// unpacker's own record under messageNumber (see unpacker.h).
std::unique_ptr<PartFileOutput> openPartFile(int messageNumber, const std::string& folder);

}  // namespace tarnwick::unpacker
