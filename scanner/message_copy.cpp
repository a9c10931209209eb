// SPDX-License-Identifier: Apache-2.0
// message_copy.cpp - the first level's copy of a message in 4096-byte steps.
#include "scanner/message_copy.h"

#include <cerrno>

#include "codec/content_hash.h"
#include "runtime/platform.h"

namespace tarnwick {

namespace {

// giveBuffer - makes buffer the stream's own, allocating it on first use.
void giveBuffer(std::FILE* stream, std::unique_ptr<char[]>& buffer) {
    if (stream == nullptr)
        return;
    if (!buffer)
        buffer.reset(new char[CopyStreamBuffers::kStreamBufferSize]);
    std::setvbuf(stream, buffer.get(), _IOFBF, CopyStreamBuffers::kStreamBufferSize);
}

}  // namespace

void CopyStreamBuffers::useForMessage(std::FILE* message) {
    giveBuffer(message, message_);
}

void CopyStreamBuffers::useForCopy(std::FILE* copy) {
    giveBuffer(copy, copy_);
}

CopyOutcome copyMessage(std::FILE* message, std::FILE* copy) {
    CopyOutcome outcome;
    codec::ContentHash hash;
    outcome.contentHash = hash.value();
    if (std::feof(message))
        return outcome;
    char block[kCopyBlockSize];
    for (;;) {
        errno = 0;
        const std::size_t count = std::fread(block, 1, sizeof block, message);
        const int readError = errno;
        errno = 0;
        // Before a short last block the full blocks are written out, so a
        // write that fails shows here, as at the step that held its bytes;
        // only the short last block stays buffered until the copy is closed.
        const bool flushFailed = count < sizeof block && std::fflush(copy) != 0;
        const std::size_t written =
            count == 0 || flushFailed ? 0 : std::fwrite(block, 1, count, copy);
        outcome.bytesCopied += count;
        hash.add(block, written);
        outcome.contentHash = hash.value();
        // A short last block at the end of the message is the normal end; a
        // stream error on either side means the copy is incomplete.
        if (flushFailed || written != count || std::ferror(copy)) {
            outcome.copyFailed = true;
            outcome.error = errno;
            outcome.noSpace = platform::isNoSpaceError(errno);
            break;
        }
        if (std::ferror(message)) {
            outcome.copyFailed = true;
            outcome.readFailed = true;
            outcome.error = readError;
            break;
        }
        if (std::feof(message) || count == 0)
            break;
    }
    return outcome;
}

}  // namespace tarnwick
