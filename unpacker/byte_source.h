// SPDX-License-Identifier: Apache-2.0
// byte_source.h - where the unpacker's bytes come from.
//
// The PartReader pulls raw bytes through this interface in reads of at most
// its buffer size. TextModeFile (message_input.h) is the real one: a binary
// read of the message file that folds CR LF into LF itself; tests use
// MemorySource. A read error counts as the end of input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnwick::unpacker {

// ByteSource - a forward-only stream of bytes. Not copyable.
class ByteSource {
  public:
    ByteSource() = default;
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;
    virtual ~ByteSource() = default;

    // read - copies up to size bytes into buffer; returns the count, 0 only
    // at the end of input (or after a read error).
    virtual std::size_t read(char* buffer, std::size_t size) = 0;

    // storedOffset - the offset in the stored file of the byte that lies
    // unread bytes before the next byte read would return (the reader holds
    // unread bytes it was served). False when the source cannot tell.
    virtual bool storedOffset(std::size_t unread, std::uint64_t& offset) const {
        (void)unread;
        (void)offset;
        return false;
    }
};

// MemorySource - serves a string, at most maxRead bytes per read (tests use
// small values to split boundary lines across buffer fills).
class MemorySource final : public ByteSource {
  public:
    explicit MemorySource(std::string text, std::size_t maxRead = static_cast<std::size_t>(-1))
        : text_(std::move(text)), maxRead_(maxRead) {}
    std::size_t read(char* buffer, std::size_t size) override {
        std::size_t count = text_.size() - position_;
        if (count > size)
            count = size;
        if (count > maxRead_)
            count = maxRead_;
        text_.copy(buffer, count, position_);
        position_ += count;
        return count;
    }
    // storedOffset - the position in the string.
    bool storedOffset(std::size_t unread, std::uint64_t& offset) const override {
        if (unread > position_)
            return false;
        offset = position_ - unread;
        return true;
    }

  private:
    std::string text_;
    std::size_t maxRead_;
    std::size_t position_ = 0;
};

}  // namespace tarnwick::unpacker
