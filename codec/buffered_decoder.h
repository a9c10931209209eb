// SPDX-License-Identifier: Apache-2.0
// buffered_decoder.h - the output gathering every streaming decoder of this
// folder shares, and the limits of their held-back bytes. Internal to codec/.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "codec/decoders.h"

namespace tarnwick::codec {

// kOutputBlock - decoded bytes gathered before one write to the sink.
constexpr std::size_t kOutputBlock = 16 * 1024;
// kMaxHeldBlanks - blanks a quoted-printable decoder holds back waiting for
// the line end that would drop them; more are written out as they stand.
constexpr std::size_t kMaxHeldBlanks = 1024;

inline bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// BufferedDecoder - output gathering shared by every decoder. The block is
// taken on the first byte: many decoders made for a leaf are never fed.
class BufferedDecoder : public Decoder {
  public:
    explicit BufferedDecoder(ByteSink& sink) : sink_(sink) {}

  protected:
    void put(char c) {
        if (used_ == capacity_)
            makeRoom();
        out_[used_++] = c;
    }
    void put(std::string_view bytes) {
        for (char c : bytes)
            put(c);
    }
    // room - makes room for count more bytes (count <= kOutputBlock) and
    // returns where they go; the caller then calls advance(count).
    char* room(std::size_t count) {
        if (used_ + count > capacity_)
            makeRoom();
        return out_.get() + used_;
    }
    void advance(std::size_t count) { used_ += count; }
    void flushOutput() {
        if (used_ != 0)
            sink_.write(out_.get(), used_);
        used_ = 0;
    }

  private:
    void makeRoom() {
        if (out_ == nullptr) {
            out_.reset(new char[kOutputBlock]);
            capacity_ = kOutputBlock;
        } else {
            flushOutput();
        }
    }

    ByteSink& sink_;
    std::unique_ptr<char[]> out_;
    std::size_t used_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace tarnwick::codec
