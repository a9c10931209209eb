// SPDX-License-Identifier: Apache-2.0
// message_input.cpp - text-mode reading of a message file and finding where
// the message's own header block begins.
//
// The translation is done here rather than by a text-mode C stream because
// such a stream would end the input at a Ctrl-Z on Windows and treat line
// ends differently per platform.
#include "unpacker/message_input.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "mailfile/envelope.h"
#include "runtime/platform.h"
#include "unpacker/header_parser.h"

namespace tarnwick::unpacker {

namespace {

// copyUntilCr - copies bytes from in to out up to the first CR or count
// bytes; returns how many were copied.
std::size_t copyUntilCr(const char* in, char* out, std::size_t count) {
    std::size_t done = 0;
#if defined(__SSE2__)
    // Sixteen bytes a step: each block is stored before it is looked at,
    // and the bytes from its CR on are simply written again later.
    for (; count - done >= 16; done += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + done), bytes);
        const int crs = _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')));
        if (crs != 0)
            return done + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(crs)));
    }
#endif
    const void* cr = std::memchr(in + done, '\r', count - done);
    const std::size_t plain =
        cr ? static_cast<std::size_t>(static_cast<const char*>(cr) - in) : count;
    std::memcpy(out + done, in + done, plain - done);
    return plain;
}

}  // namespace

TextModeFile::TextModeFile(std::FILE* file, std::size_t rawBufferSize)
    : file_(file),
      raw_(new char[std::max<std::size_t>(rawBufferSize, 2)]),
      rawSize_(std::max<std::size_t>(rawBufferSize, 2)),
      recentFolds_(new std::uint64_t[kRememberedFolds]) {
    // The file is read a raw buffer at a time: a stdio buffer of its own
    // would only cost its allocation, a look at the file and a copy.
    if (file_ != nullptr)
        std::setvbuf(file_, nullptr, _IONBF, 0);
}

TextModeFile::~TextModeFile() {
    if (file_ != nullptr)
        std::fclose(file_);
}

bool TextModeFile::ensureRaw(std::size_t count) {
    if (rawEnd_ - rawPos_ >= count)
        return true;
    if (rawPos_ != 0) {
        std::memmove(raw_.get(), raw_.get() + rawPos_, rawEnd_ - rawPos_);
        rawEnd_ -= rawPos_;
        rawPos_ = 0;
    }
    while (rawEnd_ < count && !fileEnded_) {
        const std::size_t got = std::fread(raw_.get() + rawEnd_, 1, rawSize_ - rawEnd_, file_);
        // fread falls short only at the end of the file or on an error;
        // both end the input.
        if (got < rawSize_ - rawEnd_)
            fileEnded_ = true;
        rawEnd_ += got;
    }
    return rawEnd_ - rawPos_ >= count;
}

int TextModeFile::foldedAt(std::size_t& rawCount) {
    if (pendingPos_ < pending_.size()) {
        rawCount = 0;
        return static_cast<unsigned char>(pending_[pendingPos_]);
    }
    if (!ensureRaw(1))
        return -1;
    const char c = raw_[rawPos_];
    // A CR at the end of the buffered bytes needs the next read to tell.
    if (c == '\r' && ensureRaw(2) && raw_[rawPos_ + 1] == '\n') {
        rawCount = 2;
        return '\n';
    }
    rawCount = 1;
    return static_cast<unsigned char>(c);
}

int TextModeFile::peek() {
    std::size_t rawCount = 0;
    return foldedAt(rawCount);
}

int TextModeFile::get() {
    std::size_t rawCount = 0;
    const int c = foldedAt(rawCount);
    if (c < 0)
        return c;
    if (rawCount == 0) {
        ++pendingPos_;
        return c;
    }
    if (rawCount == 2)
        recentFolds_[folds_++ & (kRememberedFolds - 1)] = produced_;
    ++produced_;
    rawPos_ += rawCount;
    return c;
}

bool TextModeFile::storedOffset(std::size_t unread, std::uint64_t& offset) const {
    const std::uint64_t back = unread + (pending_.size() - pendingPos_);
    if (back > produced_)
        return false;
    const std::uint64_t position = produced_ - back;
    // Every fold before position took one byte more of the file; the folds
    // after it are counted from the newest.
    std::uint64_t later = 0;
    while (later < folds_ && later < kRememberedFolds &&
           recentFolds_[(folds_ - 1 - later) & (kRememberedFolds - 1)] >= position)
        ++later;
    if (later == kRememberedFolds)
        return false;  // a forgotten fold may lie after position too
    offset = position + folds_ - later;
    return true;
}

void TextModeFile::putBack(std::string_view text) {
    pending_.assign(text);
    pendingPos_ = 0;
}

std::size_t TextModeFile::read(char* buffer, std::size_t size) {
    if (pendingPos_ < pending_.size()) {
        const std::size_t count = std::min(size, pending_.size() - pendingPos_);
        std::memcpy(buffer, pending_.data() + pendingPos_, count);
        pendingPos_ += count;
        if (pendingPos_ == pending_.size()) {
            pending_.clear();
            pendingPos_ = 0;
        }
        return count;
    }
    std::size_t stored = 0;
    while (stored < size && ensureRaw(1)) {
        // Fold what is buffered; a CR as the last buffered byte is left to
        // get, which reads on to tell.
        const char* in = raw_.get() + rawPos_;
        const std::size_t available = rawEnd_ - rawPos_;
        std::size_t taken = 0;
        while (taken < available && stored < size) {
            const std::size_t count = copyUntilCr(in + taken, buffer + stored,
                                                  std::min(available - taken, size - stored));
            taken += count;
            stored += count;
            produced_ += count;
            if (taken == available || stored == size || taken + 1 == available)
                break;
            if (in[taken + 1] == '\n') {
                recentFolds_[folds_++ & (kRememberedFolds - 1)] = produced_;
                buffer[stored++] = '\n';
                taken += 2;
            } else {
                buffer[stored++] = '\r';
                ++taken;
            }
            ++produced_;
        }
        rawPos_ += taken;
        if (taken + 1 == available && stored < size && in[taken] == '\r')
            buffer[stored++] = static_cast<char>(get());  // the CR, or the folded LF
    }
    return stored;
}

namespace {

// skipRestOfLine - consumes the current line's remaining bytes and its line
// end (LF, CR, CR LF or LF CR). Returns the number of content bytes; sets
// ended when no line end was found (end of input).
std::size_t skipRestOfLine(TextModeFile& input, bool& ended) {
    std::size_t content = 0;
    for (;;) {
        const int c = input.get();
        if (c < 0) {
            ended = true;
            return content;
        }
        if (c == '\n' || c == '\r') {
            if (input.peek() == (c == '\n' ? '\r' : '\n'))
                input.get();
            return content;
        }
        ++content;
    }
}

// isNameByte - a byte that may continue a header field name.
bool isNameByte(int c) {
    return c != ':' && c >= 33 && c <= 126;
}

}  // namespace

void positionAtMessage(TextModeFile& input) {
    // Examine the first line only as far as the two tests need: three
    // bytes for the envelope test, the field name and its colon for the
    // header test.
    std::string prefix;
    for (;;) {
        const int c = input.peek();
        if (c < 0 || c == '\n' || c == '\r')
            break;
        const bool nameEnded =
            !prefix.empty() && !isNameByte(static_cast<unsigned char>(prefix.back()));
        if ((prefix.size() >= 3 && nameEnded) || prefix.size() >= kMaxFirstLineLookAhead)
            break;
        prefix.push_back(static_cast<char>(input.get()));
    }
    const bool envelope = beginsEnvelopeBlock(prefix);
    if (!envelope && isHeaderLine(prefix)) {
        input.putBack(prefix);
        return;
    }
    // (a) and (c): skip through the first empty line.
    bool ended = false;
    std::size_t content = prefix.size() + skipRestOfLine(input, ended);
    while (content != 0 && !ended)
        content = skipRestOfLine(input, ended);
}

std::unique_ptr<ByteSource> openMessageForUnpacking(const std::string& path) {
    std::FILE* file = platform::openSharedFile(path, "rb");
    if (file == nullptr)
        return nullptr;
    auto input = std::make_unique<TextModeFile>(file);
    positionAtMessage(*input);
    return input;
}

}  // namespace tarnwick::unpacker
