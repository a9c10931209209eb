// SPDX-License-Identifier: Apache-2.0
// line_input.cpp - buffered reading of a file range, split at CR LF, LF and
// (unless only LF ends lines) lone CR. Seeks go in steps that fit a long, so ranges beyond 2 GiB
// work on every platform.
#include "client_reading/line_input.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "runtime/platform.h"

namespace tarnwick::client_reading {

RangeReader::RangeReader(const std::string& path, std::uint64_t begin, std::uint64_t end,
                         Reads reads) {
    if (end <= begin)
        return;
    file_ = platform::openSharedFile(path, "rb");
    if (file_ == nullptr)
        return;
    if (reads == Reads::WholeBlocks)
        std::setvbuf(file_, nullptr, _IONBF, 0);
    // A file opened afresh stands at its start already.
    std::uint64_t skip = begin;
    bool first = true;
    while (skip != 0) {
        const std::uint64_t step = skip > LONG_MAX ? LONG_MAX : skip;
        if (std::fseek(file_, static_cast<long>(step), first ? SEEK_SET : SEEK_CUR) != 0) {
            std::fclose(file_);
            file_ = nullptr;
            return;
        }
        skip -= step;
        first = false;
    }
    remaining_ = end - begin;
}

RangeReader::~RangeReader() {
    if (file_ != nullptr)
        std::fclose(file_);
}

std::size_t RangeReader::read(char* buffer, std::size_t size) {
    if (file_ == nullptr || remaining_ == 0)
        return 0;
    if (size > remaining_)
        size = static_cast<std::size_t>(remaining_);
    const std::size_t count = std::fread(buffer, 1, size, file_);
    remaining_ = count == 0 ? 0 : remaining_ - count;
    return count;
}

LineInput::LineInput(RangeReader& source, std::uint64_t beginOffset, bool loneCrEndsLine)
    : source_(source),
      buffer_(new char[kBufferBytes]),
      bufferOffset_(beginOffset),
      loneCrEndsLine_(loneCrEndsLine) {}

bool LineInput::fill() {
    if (endOfInput_)
        return false;
    if (position_ != 0) {
        std::memmove(buffer_.get(), buffer_.get() + position_, length_ - position_);
        length_ -= position_;
        bufferOffset_ += position_;
        position_ = 0;
    }
    if (length_ == kBufferBytes)
        return false;
    const std::size_t count = source_.read(buffer_.get() + length_, kBufferBytes - length_);
    if (count == 0) {
        endOfInput_ = true;
        return false;
    }
    length_ += count;
    return true;
}

std::size_t LineInput::findLineEnd(std::size_t from, std::size_t to) const {
    if (from >= to)
        return to;
    const char* begin = buffer_.get() + from;
    const std::size_t size = to - from;
    const void* lf = std::memchr(begin, '\n', size);
    const std::size_t lfAt = lf == nullptr ? size : static_cast<const char*>(lf) - begin;
    if (!loneCrEndsLine_) {
        if (lf != nullptr)
            return from + (lfAt > 0 && begin[lfAt - 1] == '\r' ? lfAt - 1 : lfAt);
        // A CR last in the buffer may begin a CR LF: the byte after it decides.
        return to == length_ && !endOfInput_ && begin[size - 1] == '\r' ? to - 1 : to;
    }
    const void* cr = std::memchr(begin, '\r', lfAt);
    return from + (cr == nullptr ? lfAt : static_cast<const char*>(cr) - begin);
}

void LineInput::takeLineEnd() {
    contentEnd_ = offset();
    if (position_ == length_) {
        lineEnd_ = {};
    } else if (buffer_[position_] == '\n') {
        lineEnd_ = "\n";
        ++position_;
    } else if (position_ + 1 < length_ && buffer_[position_ + 1] == '\n') {
        lineEnd_ = "\r\n";
        position_ += 2;
    } else {
        lineEnd_ = "\r";
        lineEndedByLoneCr_ = true;
        ++position_;
    }
    inLine_ = false;
}

std::size_t LineInput::scanHead(bool crDecides, std::size_t& scanTo) {
    for (;;) {
        const std::size_t available = length_ - position_;
        scanTo = position_ + std::min(available, kLineHeadBytes);
        const std::size_t end = findLineEnd(position_, scanTo);
        if (end < scanTo) {
            if (crDecides && buffer_[end] == '\r' && end + 1 == length_ && !endOfInput_) {
                fill();  // the byte after the CR decides; the buffer may move
                continue;
            }
            return end;
        }
        if (available >= kLineHeadBytes || endOfInput_)
            return end;
        fill();
    }
}

bool LineInput::peekHead(std::string_view& head) {
    if (position_ == length_ && !fill())
        return false;
    std::size_t scanTo = 0;
    const std::size_t end = scanHead(false, scanTo);
    head = std::string_view(buffer_.get() + position_, end - position_);
    return true;
}

bool LineInput::next(Line& line) {
    std::string_view ignored;
    while (inLine_ && rest(ignored)) {
    }
    if (position_ == length_ && !fill())
        return false;
    // The head: up to kLineHeadBytes, and the byte after a CR so a CR LF
    // can be told from a lone CR.
    std::size_t scanTo = 0;
    const std::size_t end = scanHead(true, scanTo);
    line.offset = offset();
    inLine_ = true;
    if (end < scanTo) {
        line.head = std::string_view(buffer_.get() + position_, end - position_);
        line.complete = true;
        position_ = end;
        takeLineEnd();
        return true;
    }
    line.head = std::string_view(buffer_.get() + position_, scanTo - position_);
    line.complete = endOfInput_ && scanTo == length_;
    position_ = scanTo;
    if (line.complete)
        takeLineEnd();
    return true;
}

bool LineInput::nextRun(char avoid, std::string_view& run) {
    if (inLine_ || position_ == length_ || buffer_[position_] == avoid)
        return false;
    const char* const buffer = buffer_.get();
    // The run may reach up to the first line in the buffer that begins with
    // avoid (a byte avoid right after a CR or LF), else to the buffer's end.
    std::size_t limit = length_;
    for (std::size_t from = position_ + 1; from < length_;) {
        const void* hit = std::memchr(buffer + from, avoid, length_ - from);
        if (hit == nullptr)
            break;
        const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - buffer);
        if (buffer[at - 1] == '\n' || (loneCrEndsLine_ && buffer[at - 1] == '\r')) {
            limit = at;
            break;
        }
        from = at + 1;
    }
    // It ends with the last line end before the limit, but not with a CR
    // at the buffer's end while more input may follow (the byte after it
    // decides between CR and CR LF).
    std::size_t last = limit;
    for (;;) {
        while (last > position_ && buffer[last - 1] != '\n' &&
               (!loneCrEndsLine_ || buffer[last - 1] != '\r'))
            --last;
        if (last == position_)
            return false;  // no whole line
        if (buffer[last - 1] == '\r' && last == length_ && !endOfInput_) {
            --last;
            continue;
        }
        break;
    }
    // last is just past a line end; its content ends before its CR LF, CR
    // or LF.
    std::size_t contentEnd = last - 1;
    if (buffer[contentEnd] == '\n' && contentEnd > position_ && buffer[contentEnd - 1] == '\r')
        --contentEnd;
    run = std::string_view(buffer + position_, contentEnd - position_);
    position_ = contentEnd;
    takeLineEnd();
    return true;
}

bool LineInput::rest(std::string_view& piece) {
    if (!inLine_)
        return false;
    for (;;) {
        if (position_ == length_ && !fill()) {
            takeLineEnd();
            return false;
        }
        const std::size_t end = findLineEnd(position_, length_);
        if (end == position_) {
            if (buffer_[end] == '\r' && end + 1 == length_ && fill())
                continue;
            takeLineEnd();
            return false;
        }
        piece = std::string_view(buffer_.get() + position_, end - position_);
        position_ = end;
        return true;
    }
}

}  // namespace tarnwick::client_reading
