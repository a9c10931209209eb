// SPDX-License-Identifier: Apache-2.0
// decoder_variants.cpp - the base64 and quoted-printable decoders of the
// other families, byte by byte: they run only for a body that met a point
// they decide otherwise, so they keep to plain state machines.
#include "codec/decoder_variants.h"

#include <string>

#include "codec/alphabets.h"
#include "codec/buffered_decoder.h"

namespace tarnwick::codec {

namespace {

class Base64VariantDecoder final : public BufferedDecoder {
  public:
    Base64VariantDecoder(ByteSink& sink, DecodeVariant variant)
        : BufferedDecoder(sink), variant_(variant) {}
    void feed(const char* data, std::size_t size) override {
        const auto* bytes = reinterpret_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size && !stopped_; ++i) {
            const unsigned char v = kBase64Value[bytes[i]];
            if (v < 64) {
                pads_ = 0;
                group_ = (group_ << 6) | v;
                if (++count_ == 4)
                    endGroup();
            } else if (v == kBase64Padding) {
                takePadding();
            }
        }
    }
    void finish() override {
        if (!stopped_ && variant_ != DecodeVariant::Base64EndsAtEquals)
            endGroup();
        flushOutput();
    }

  private:
    void takePadding() {
        switch (variant_) {
            case DecodeVariant::Base64EndsAtEquals:
                stopped_ = true;
                endGroup();
                return;
            case DecodeVariant::Base64EqualsEndsGroup:
                endGroup();
                return;
            case DecodeVariant::Base64EndsAtFullPadding:
                // "=" after the data of a group, with the "=" before it since then.
                if (count_ >= 2 && count_ + ++pads_ >= 4) {
                    stopped_ = true;
                    endGroup();
                }
                return;
            default:
                return;  // skipped
        }
    }
    // endGroup - the group in hand gives its whole bytes.
    void endGroup() {
        const unsigned bits = group_ << (6 * (4 - count_));
        for (int k = 0; k < count_ - 1; ++k)
            put(static_cast<char>(bits >> (16 - 8 * k)));
        group_ = 0;
        count_ = 0;
    }

    DecodeVariant variant_;
    unsigned group_ = 0;
    int count_ = 0;
    int pads_ = 0;  // "=" since the last alphabet character
    bool stopped_ = false;
};

// TripleQuotedPrintableDecoder - "=" takes the two bytes after it.
class TripleQuotedPrintableDecoder final : public BufferedDecoder {
  public:
    using BufferedDecoder::BufferedDecoder;
    void feed(const char* data, std::size_t size) override {
        for (std::size_t i = 0; i < size; ++i) {
            const char c = data[i];
            if (state_ == 0) {
                if (c == '=')
                    state_ = 1;
                else
                    put(c);
            } else if (state_ == 1) {
                if (c == '\n') {
                    state_ = 0;  // soft break
                } else {
                    saved_ = c;
                    state_ = 2;
                }
            } else {
                state_ = 0;
                if (hexValue(saved_) >= 0 && hexValue(c) >= 0) {
                    put(static_cast<char>(hexValue(saved_) * 16 + hexValue(c)));
                } else if (!(saved_ == '\r' && c == '\n')) {
                    put('=');
                    put(saved_);
                    put(c);
                }
            }
        }
    }
    void finish() override {
        state_ = 0;  // an escape cut short is dropped
        flushOutput();
    }

  private:
    int state_ = 0;
    char saved_ = 0;
};

// RereadingQuotedPrintableDecoder - a malformed "=" stands for itself and
// what follows it is read afresh.
class RereadingQuotedPrintableDecoder final : public BufferedDecoder {
  public:
    RereadingQuotedPrintableDecoder(ByteSink& sink, bool keepEnd)
        : BufferedDecoder(sink), keepEnd_(keepEnd), lfLineEnds_(keepEnd) {}
    void feed(const char* data, std::size_t size) override {
        for (std::size_t i = 0; i < size; ++i)
            step(data[i]);
    }
    void finish() override {
        if (state_ == State::TextCr) {
            put('\r');
            state_ = State::Text;
        }
        if (keepEnd_) {
            if (state_ != State::Text)
                put('=');
            if (state_ == State::FirstHex)
                put(firstHex_);
            put(held_);
        } else if (state_ == State::FirstHex) {
            put('=');
            put(firstHex_);
        }
        held_.clear();
        state_ = State::Text;
        flushOutput();
    }

  private:
    enum class State { Text, TextCr, Equals, FirstHex, EqualsBlanks, EqualsCr };

    void step(char c) {
        switch (state_) {
            case State::Text:
                if (isBlank(c) && held_.size() < kMaxHeldBlanks) {
                    held_.push_back(c);
                    return;
                }
                if (c == '\r' || c == '\n')
                    held_.clear();  // blanks before a line end are dropped
                put(held_);
                held_.clear();
                if (c == '=')
                    state_ = State::Equals;
                else if (c == '\r' && lfLineEnds_)
                    state_ = State::TextCr;
                else
                    put(c);
                return;
            case State::TextCr:
                // A hard CR LF line break is given as LF alone.
                state_ = State::Text;
                if (c != '\n')
                    put('\r');
                step(c);
                return;
            case State::Equals:
                if (hexValue(c) >= 0) {
                    firstHex_ = c;
                    state_ = State::FirstHex;
                } else if (isBlank(c)) {
                    held_.assign(1, c);
                    state_ = State::EqualsBlanks;
                } else if (c == '\r') {
                    state_ = State::EqualsCr;
                } else if (c == '\n') {
                    state_ = State::Text;  // soft break
                } else {
                    rereadAfterEquals("", c);
                }
                return;
            case State::FirstHex:
                if (hexValue(c) >= 0) {
                    put(static_cast<char>(hexValue(firstHex_) * 16 + hexValue(c)));
                    state_ = State::Text;
                } else {
                    rereadAfterEquals(std::string(1, firstHex_), c);
                }
                return;
            case State::EqualsBlanks:
                if (isBlank(c) && held_.size() < kMaxHeldBlanks) {
                    held_.push_back(c);
                } else if (c == '\n') {
                    held_.clear();
                    state_ = State::Text;
                } else if (c == '\r') {
                    held_.clear();
                    state_ = State::EqualsCr;
                } else {
                    std::string blanks;
                    blanks.swap(held_);
                    rereadAfterEquals(blanks, c);
                }
                return;
            case State::EqualsCr:
                if (c == '\n')
                    state_ = State::Text;
                else
                    rereadAfterEquals("\r", c);
                return;
        }
    }
    // rereadAfterEquals - the "=" stands for itself; the bytes after it are
    // read again as text.
    void rereadAfterEquals(const std::string& taken, char c) {
        put('=');
        state_ = State::Text;
        for (char t : taken)
            step(t);
        step(c);
    }

    bool keepEnd_;
    bool lfLineEnds_;  // CR LF becomes LF
    State state_ = State::Text;
    char firstHex_ = 0;
    std::string held_;
};

// kDecidedOtherwise - the points each variant decides otherwise, in the
// order of DecodeVariant.
constexpr std::array<unsigned, kDecodeVariants.size()> kDecidedOtherwise{
    kBase64DataAfterPadding,
    kBase64EqualsFirst | kBase64EqualsSecond | kBase64DataAfterPadding | kBase64ShortLastGroup,
    kBase64EqualsSecond,
    kBase64DataAfterPadding,
    kQpEqualsEquals | kQpMalformedEscape | kQpTrailingBlanks | kQpBlanksSoftBreak | kQpCutEscape,
    kQpEqualsEquals | kQpCutEscape,
    kQpEqualsEquals,
};

}  // namespace

bool decidesOtherwise(DecodeVariant variant, unsigned points) {
    return (kDecidedOtherwise[static_cast<std::size_t>(variant)] & points) != 0;
}

std::unique_ptr<Decoder> makeVariantDecoder(DecodeVariant variant, ByteSink& sink) {
    switch (variant) {
        case DecodeVariant::Base64SkipsEquals:
        case DecodeVariant::Base64EndsAtEquals:
        case DecodeVariant::Base64EqualsEndsGroup:
        case DecodeVariant::Base64EndsAtFullPadding:
            return std::make_unique<Base64VariantDecoder>(sink, variant);
        case DecodeVariant::QpKeepsTriples:
            return std::make_unique<TripleQuotedPrintableDecoder>(sink);
        case DecodeVariant::QpRereadsKeepsEnd:
            return std::make_unique<RereadingQuotedPrintableDecoder>(sink, true);
        case DecodeVariant::QpRereadsDropsEnd:
            break;
    }
    return std::make_unique<RereadingQuotedPrintableDecoder>(sink, false);
}

}  // namespace tarnwick::codec
