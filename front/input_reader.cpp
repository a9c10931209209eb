// SPDX-License-Identifier: Apache-2.0
// input_reader.cpp - the non-blocking-beyond-the-line-end reader of the
// command channel.
#include "front/input_reader.h"

#include <algorithm>

#include "runtime/platform.h"

namespace tarnwick {

InputLineReader::InputLineReader(int descriptor)
    : descriptor_(descriptor), buffer_(inputBufferSize) {}

bool InputLineReader::fill() {
    begin_ = 0;
    end_ = 0;
    if (ended_)
        return false;
    const long count = platform::readDescriptor(descriptor_, buffer_.data(), buffer_.size());
    if (count <= 0) {
        // A read error ends the command channel just as its end does.
        ended_ = true;
        return false;
    }
    end_ = static_cast<std::size_t>(count);
    return true;
}

bool InputLineReader::pairByteAvailable() {
    if (begin_ < end_)
        return true;
    if (ended_ || !platform::inputPending(descriptor_))
        return false;
    return fill();
}

bool InputLineReader::readTextLine(std::string& line) {
    line.clear();
    bool tookAny = false;
    for (;;) {
        if (begin_ == end_ && !fill()) {
            owedPairByte_ = 0;
            return tookAny;
        }
        if (owedPairByte_ != 0) {
            // The rest of a line end split across two writes: not a new line.
            const bool completesPair = buffer_[begin_] == owedPairByte_;
            owedPairByte_ = 0;
            if (completesPair) {
                ++begin_;
                continue;
            }
        }
        const auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(begin_);
        const auto last = buffer_.begin() + static_cast<std::ptrdiff_t>(end_);
        const auto lineEnd =
            std::find_if(first, last, [](char c) { return c == '\n' || c == '\r'; });
        line.append(first, lineEnd);
        tookAny = true;
        begin_ = static_cast<std::size_t>(lineEnd - buffer_.begin());
        if (lineEnd == last)
            continue;
        const char ending = *lineEnd;
        const char pair = ending == '\n' ? '\r' : '\n';
        ++begin_;
        if (pairByteAvailable()) {
            if (buffer_[begin_] == pair)
                ++begin_;
        } else if (!ended_) {
            owedPairByte_ = pair;
        }
        return true;
    }
}

bool readTextLine(InputLineReader& reader, std::string& line) {
    return reader.readTextLine(line);
}

}  // namespace tarnwick
