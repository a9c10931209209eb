// SPDX-License-Identifier: Apache-2.0
// message_copy.h - the first level's copy of a message: the rest of the
// message stream moved into the copy 4096 bytes a step, through streams
// that read and write the files in larger blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace tarnwick {

// Bytes moved per step of the copy.
inline constexpr std::size_t kCopyBlockSize = 4096;

// CopyStreamBuffers - room for the message's and the copy's stream
// buffers. Without it each 4096-byte step is one read and one write of the
// file; with it, one of each per 64 KiB. Must outlive both streams: declare
// it before opening them. copyMessage writes the full blocks out before it
// takes a short last block, so a failing write is still a failure of the
// copy, and only the short last block is left to the copy's closing.
class CopyStreamBuffers {
  public:
    static constexpr std::size_t kStreamBufferSize = 64 * 1024;

    // useForMessage, useForCopy - give the stream its buffer. REQUIRES: no
    // byte has been read from or written to it yet.
    void useForMessage(std::FILE* message);
    void useForCopy(std::FILE* copy);

  private:
    std::unique_ptr<char[]> message_;
    std::unique_ptr<char[]> copy_;
};

// CopyOutcome - what the copy step reports.
struct CopyOutcome {
    std::uint64_t bytesCopied = 0;
    bool copyFailed = false;
    // The copy could not be written because the disk is full.
    bool noSpace = false;
    // Why the copy failed: the message could not be read, or the copy not
    // written; the C library's error code (0 when unknown).
    bool readFailed = false;
    int error = 0;
    // contentHash - the hash of the bytes written (codec::ContentHash).
    std::uint64_t contentHash = 0;
};

// copyMessage - copies the rest of message to copy in blocks. A short last
// block at the end of the message is the normal end, not a failure.
CopyOutcome copyMessage(std::FILE* message, std::FILE* copy);

}  // namespace tarnwick
