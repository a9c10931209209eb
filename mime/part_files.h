// SPDX-License-Identifier: Apache-2.0
// part_files.h - the files the unpacker writes, and the record of them.
//
// Every decoded body part becomes one file "FOLDER/msg-N-part-K.scanme" in
// the temporary folder, where the resident anti-virus examines it. This unit
// names and opens those files, buffers their output, keeps the list of the
// files of each request in progress (PartFileRegistry), removes them on
// request, telling whether one had disappeared meanwhile, and keeps what
// could not be removed for later tries.
//
// The state here is process-wide and unlocked: callers must never run two
// unpackings or removals at the same time (the scan job holds the filter's
// lock around every call). Nothing here prints; results are small values.
//
// It deliberately does not look at content types or file names from the
// message: a part file's name depends only on the message number and order.
#pragma once

#include <cstddef>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tarnwick::mime {

class PartReader;

// writeFailed - set when, during the current unpackMessage call, a part file
// could not be created or some of its data could not be written. Reset when
// unpackMessage starts.
extern bool writeFailed;
// partNumber - number given to the next part file; reset to 0 when
// unpackMessage starts, incremented by every openPartFile (success or not).
extern int partNumber;
// namePrefix - put before "msg-" in the names of the part files of the
// current unpackMessage call (empty: the usual names); set when it starts.
extern std::string namePrefix;

// noSpaceLeft - set when a part file could not be created or written
// because the disk was full (platform::isNoSpaceError). Unlike writeFailed it
// is not reset by unpackMessage: takeNoSpaceLeft (unpacker.h) reads and
// clears it.
extern bool noSpaceLeft;

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
    // (platform::offerToScanner).
    explicit PartFileOutput(std::FILE* file, std::string path = {});
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
    // close - writes out the buffer and closes the file; later calls do
    // nothing. Returns false when any write of this file failed.
    bool close();
    // failed - true once a write of this file has failed.
    bool failed() const { return failed_; }

  private:
    void flush();

    std::FILE* file_;
    std::string path_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    bool failed_ = false;
};

// PartFileRegistry - message number to the files of the request in progress
// under that number, in the order they were written or added. An entry
// exists from the request's first file until removePartFiles drops it or
// deferPartFiles hands what is left to the deferred clean-up, so a later
// request with the same number starts with an empty list.
class PartFileRegistry {
  public:
    // add - appends path to the list of messageNumber, creating the entry.
    void add(int messageNumber, std::string path);
    // owns - true when path is on the list of any message number: a
    // request in progress has written it.
    bool owns(const std::string& path) const;
    // count - length of the list of messageNumber; 0 without an entry.
    std::size_t count(int messageNumber) const;
    // paths - a copy of the list of messageNumber; empty without an entry.
    std::vector<std::string> paths(int messageNumber) const;
    // replace - the list of messageNumber becomes paths; an empty paths
    // removes the entry.
    void replace(int messageNumber, std::vector<std::string> paths);

  private:
    std::map<int, std::vector<std::string>> lists_;
};

// partFileRegistry - the one registry of the process.
extern PartFileRegistry partFileRegistry;
// leftoverFiles - part files that could not be removed when a sibling had
// disappeared; every removePartFiles call tries them again.
extern std::vector<std::string> leftoverFiles;
// deferredFiles - per message number, the files its request gave up on
// (deferPartFiles); retryDeferredPartFiles tries them again.
extern std::map<int, std::vector<std::string>> deferredFiles;

// partFileName - "FOLDER/PREFIXmsg-M-part-K.scanme" with M and K as signed
// decimals.
std::string partFileName(const std::string& folder, int messageNumber, int number,
                         const std::string& prefix = {});

// openPartFile - names the next part file of messageNumber (incrementing
// partNumber whatever happens, with namePrefix), creates or truncates it for
// binary writing and registers it. nullptr when it could not be created;
// nothing is registered then.
std::unique_ptr<PartFileOutput> openPartFile(int messageNumber, const std::string& folder);

}  // namespace tarnwick::mime
