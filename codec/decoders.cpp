// SPDX-License-Identifier: Apache-2.0
// decoders.cpp - streaming base64, quoted-printable, uuencode and identity
// decoders, and the uuencode and yEnc line helpers.
//
// Output is gathered in a small buffer and handed to the sink in blocks.
// Ordinary base64 groups and quoted-printable text go through the decoding
// kernel both readings share (decode_kernel.h); every byte it stops
// at goes through this file's own lenient state machines.
#include "codec/decoders.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "codec/alphabets.h"
#include "codec/block_lines.h"
#include "codec/buffered_decoder.h"
#include "codec/decode_kernel.h"
#include "codec/decoder_variants.h"

namespace tarnwick::codec {

namespace {

class IdentityDecoder final : public Decoder {
  public:
    explicit IdentityDecoder(ByteSink& sink) : sink_(sink) {}
    void feed(const char* data, std::size_t size) override {
        if (size != 0)
            sink_.write(data, size);
    }
    void finish() override {}

  private:
    ByteSink& sink_;
};

// kGroupsPerRun - whole groups decoded between two checks of output room.
constexpr std::size_t kGroupsPerRun = 1024;
// kQuotedPrintableStep - input bytes the quoted-printable kernel is offered
// at a time. It stops wherever this reader's own rules take over (a line end
// after a blank, "=" before a blank, a malformed escape), so asking room for
// all the input at hand would write the output block out at each such stop.
constexpr std::size_t kQuotedPrintableStep = 4096;

// kSecondReadingRules - as clients read quoted-printable: "=" CR LF is a
// soft break, and an encoded CR is kept.
constexpr QuotedPrintableRules kSecondReadingRules{.dropCarriageReturn = false,
                                                   .crLfSoftBreaks = true};

class Base64Decoder final : public BufferedDecoder {
  public:
    Base64Decoder(ByteSink& sink, AfterPadding afterPadding)
        : BufferedDecoder(sink), stopAtPadding_(afterPadding == AfterPadding::Stop) {}
    bool metDataAfterPadding() const override { return dataAfterPadding_; }
    unsigned metPoints() const override {
        return points_ | (dataAfterPadding_ ? kBase64DataAfterPadding : 0U);
    }
    void feed(const char* data, std::size_t size) override {
        const auto* bytes = reinterpret_cast<const unsigned char*>(data);
        if (padded_ && (stopAtPadding_ || !dataAfterPadding_)) {
            // Only whether more data follows matters now, or nothing does.
            for (std::size_t i = 0; i < size && !dataAfterPadding_; ++i)
                dataAfterPadding_ = kBase64Value[bytes[i]] < 64;
            if (stopAtPadding_)
                return;
        }
        // Locals, not members, in the loop: stores through the output
        // pointer could otherwise alias them and force reloads.
        unsigned group = group_;
        int count = count_;
        std::size_t i = 0;
        while (i < size) {
            if (count == 0 && size - i >= 4) {
                // The common case: runs of four alphabet characters in a row.
                const std::size_t from = i;
                i = decodeWholeGroups(bytes, i, size);
                dataAfterPadding_ = dataAfterPadding_ || (padded_ && i != from);
                if (i == size)
                    break;
            }
            const unsigned char v = kBase64Value[bytes[i++]];
            if (v >= 64) {
                // An "=" where padding cannot stand (first or second place
                // of a group) is skipped like any stray byte.
                if (v == kBase64Padding && count >= 2) {
                    group_ = group;
                    count_ = count;
                    endGroup();  // padding: the group ends
                    group = 0;
                    count = 0;
                    if (!padded_ && stopAtPadding_) {
                        padded_ = true;
                        feed(data + i, size - i);  // looks whether data follows
                        return;
                    }
                    padded_ = true;
                } else if (v == kBase64Padding && count == 1) {
                    points_ |= kBase64EqualsSecond;
                } else if (v == kBase64Padding && !padded_) {
                    points_ |= kBase64EqualsFirst;  // the second "=" of padding is none
                }
                continue;  // outside the alphabet: skipped
            }
            dataAfterPadding_ = dataAfterPadding_ || padded_;
            group = (group << 6) | static_cast<unsigned>(v);
            if (++count == 4) {
                char* out = room(3);
                out[0] = static_cast<char>(group >> 16);
                out[1] = static_cast<char>(group >> 8);
                out[2] = static_cast<char>(group);
                advance(3);
                group = 0;
                count = 0;
            }
        }
        group_ = group;
        count_ = count;
    }
    void finish() override {
        if (count_ >= 2)
            points_ |= kBase64ShortLastGroup;
        endGroup();
        flushOutput();
    }

  private:
    // decodeWholeGroups - decodes groups of four alphabet characters from
    // bytes[i] on while they last (at most up to size), through the shared
    // kernel; returns the index of the first byte not decoded.
    std::size_t decodeWholeGroups(const unsigned char* bytes, std::size_t i, std::size_t size) {
        while (size - i >= 4) {
            const std::size_t groups = std::min((size - i) / 4, kGroupsPerRun);
            const DecodedRun run = decodeBase64Groups(reinterpret_cast<const char*>(bytes + i),
                                                      groups * 4, room(groups * 3), groups * 3);
            advance(run.produced);
            i += run.consumed;
            if (run.consumed != groups * 4)
                break;  // a byte outside the alphabet or padding: one at a time
        }
        return i;
    }

    // endGroup - an incomplete group gives the whole bytes it holds.
    void endGroup() {
        if (count_ >= 2) {
            const unsigned bits = group_ << (6 * (4 - count_));
            put(static_cast<char>(bits >> 16));
            if (count_ == 3)
                put(static_cast<char>(bits >> 8));
        }
        group_ = 0;
        count_ = 0;
    }

    unsigned group_ = 0;
    int count_ = 0;
    bool stopAtPadding_;
    bool padded_ = false;  // a group was ended by "="
    bool dataAfterPadding_ = false;
    unsigned points_ = 0;
};

class QuotedPrintableDecoder final : public BufferedDecoder {
  public:
    using BufferedDecoder::BufferedDecoder;
    unsigned metPoints() const override { return points_; }
    void feed(const char* data, std::size_t size) override {
        std::size_t i = 0;
        while (i < size) {
            if (state_ == State::Text && held_.empty()) {
                // The common case: bytes that stand for themselves and
                // well-formed escapes, through the shared kernel. Blanks it
                // copied last are given back to step, which holds them until
                // it sees whether a line end follows (escapes never end in a
                // blank, so those are raw blanks).
                const std::size_t want = std::min(size - i, kQuotedPrintableStep);
                const DecodedRun run = decodeQuotedPrintableRun(data + i, size - i, room(want),
                                                                want, kSecondReadingRules);
                std::size_t blanks = 0;
                while (blanks < run.consumed && isBlank(data[i + run.consumed - 1 - blanks]))
                    ++blanks;
                advance(run.produced - blanks);
                i += run.consumed - blanks;
                if (i == size)
                    break;
            }
            step(data[i++]);
        }
    }
    void finish() override {
        if (state_ != State::Text || !held_.empty())
            points_ |= kQpCutEscape;
        if (state_ == State::FirstHex) {
            put('=');
            put(firstHex_);
        }
        // "=" (with blanks) at the very end is a soft break; blanks at the
        // end of the last line go like those before any line end.
        state_ = State::Text;
        held_.clear();
        flushOutput();
    }

  private:
    enum class State { Text, Equals, FirstHex, EqualsBlanks, SoftBreakCr };

    void step(char c) {
        switch (state_) {
            case State::Text:
                if (c == '=') {
                    putHeld();
                    state_ = State::Equals;
                } else if (c == '\r' || c == '\n') {
                    if (!held_.empty())
                        points_ |= kQpTrailingBlanks;
                    held_.clear();  // trailing blanks of a line are dropped
                    put(c);
                } else if (isBlank(c)) {
                    held_.push_back(c);
                    if (held_.size() > kMaxHeldBlanks)
                        putHeld();
                } else {
                    putHeld();
                    put(c);
                }
                return;
            case State::Equals:
                if (hexValue(c) >= 0) {
                    firstHex_ = c;
                    state_ = State::FirstHex;
                } else if (isBlank(c)) {
                    held_.assign(1, c);
                    state_ = State::EqualsBlanks;
                } else if (c == '\r') {
                    state_ = State::SoftBreakCr;
                } else if (c == '\n') {
                    state_ = State::Text;
                } else if (c == '=') {
                    points_ |= kQpEqualsEquals;
                    put('=');  // "==" stands for one "=", as clients read it
                    state_ = State::Text;
                } else {
                    points_ |= kQpMalformedEscape;
                    put('=');
                    state_ = State::Text;
                    step(c);
                }
                return;
            case State::FirstHex:
                state_ = State::Text;
                if (hexValue(c) >= 0) {
                    put(static_cast<char>(hexValue(firstHex_) * 16 + hexValue(c)));
                } else {
                    points_ |= kQpMalformedEscape;
                    put('=');
                    put(firstHex_);
                    step(c);
                }
                return;
            case State::EqualsBlanks:
                if (isBlank(c) && held_.size() < kMaxHeldBlanks) {
                    held_.push_back(c);
                } else if (c == '\r') {
                    points_ |= kQpBlanksSoftBreak;
                    held_.clear();
                    state_ = State::SoftBreakCr;
                } else if (c == '\n') {
                    points_ |= kQpBlanksSoftBreak;
                    held_.clear();
                    state_ = State::Text;
                } else {
                    points_ |= kQpMalformedEscape;
                    put('=');
                    putHeld();
                    state_ = State::Text;
                    step(c);
                }
                return;
            case State::SoftBreakCr:
                state_ = State::Text;
                if (c != '\n') {
                    points_ |= kQpMalformedEscape;
                    step(c);
                }
                return;
        }
    }
    void putHeld() {
        put(held_);
        held_.clear();
    }

    State state_ = State::Text;
    char firstHex_ = 0;
    std::string held_;
    unsigned points_ = 0;
};

class UudecodeDecoder final : public BufferedDecoder {
  public:
    using BufferedDecoder::BufferedDecoder;
    void feed(const char* data, std::size_t size) override {
        for (std::size_t i = 0; i < size; ++i) {
            const char c = data[i];
            if (c == '\n' || c == '\r') {
                if (!(c == '\n' && afterCr_))
                    endLine();
                afterCr_ = c == '\r';
                continue;
            }
            afterCr_ = false;
            if (line_.size() < kMaxUuLine)
                line_.push_back(c);
        }
    }
    void finish() override {
        endLine();
        flushOutput();
    }

  private:
    void endLine() {
        if (state_ == State::BeforeBegin) {
            if (isUuBeginLine(line_, true))
                state_ = State::InBlock;
        } else if (state_ == State::InBlock) {
            if (isUuEndLine(line_)) {
                state_ = State::Done;
            } else {
                decoded_.clear();
                appendUuLine(line_, decoded_);
                put(decoded_);
            }
        }
        line_.clear();
    }

    enum class State { BeforeBegin, InBlock, Done };
    State state_ = State::BeforeBegin;
    std::string line_;
    std::string decoded_;
    bool afterCr_ = false;
};

}  // namespace

std::unique_ptr<Decoder> makeDecoder(TransferEncoding encoding, ByteSink& sink,
                                     AfterPadding afterPadding) {
    switch (encoding) {
        case TransferEncoding::Base64:
            return std::make_unique<Base64Decoder>(sink, afterPadding);
        case TransferEncoding::QuotedPrintable:
            return std::make_unique<QuotedPrintableDecoder>(sink);
        case TransferEncoding::Uuencode:
            return std::make_unique<UudecodeDecoder>(sink);
        case TransferEncoding::Identity:
            break;
    }
    return std::make_unique<IdentityDecoder>(sink);
}

}  // namespace tarnwick::codec
