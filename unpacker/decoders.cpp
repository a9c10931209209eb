// SPDX-License-Identifier: Apache-2.0
// decoders.cpp - copy, quoted-printable and base64 body decoders.
//
// Speed matters: the unpacker runs under the process-wide lock. Each decoder
// takes the bytes of the part in runs (PartReader::takeRun, a line at a
// time without its newline) and asks nextChar only for the byte after a
// run, which is where a boundary line may begin. The ordinary data of a run
// goes through the decoding kernel both readers share
// (codec/decode_kernel.h); every byte it stops at goes through this
// file's own state machines, which alone decide what is unusual. State that
// spans a run's end (a half-read escape, a half-read base64 group) lives in
// the decoder objects.
#include "unpacker/decoders.h"

#include <array>
#include <string_view>

#include "codec/decode_kernel.h"

namespace tarnwick::unpacker {
namespace {

// hexDigit - the value of a hexadecimal digit; this reading's rule gives
// every other byte (and the end of the part) 127.
constexpr int kHexOther = 127;
inline int hexDigit(int c) {
    if (c < 0)
        return kHexOther;
    const unsigned value = codec::kHexDigitValue[static_cast<unsigned char>(c)];
    return value < 16 ? static_cast<int>(value) : kHexOther;
}

// The base64 alphabet's values (0..63), kPad for "=", kSkip for the rest.
using codec::kBase64Value;
constexpr unsigned char kPad = codec::kBase64Padding;
constexpr unsigned char kSkip = codec::kBase64Other;

// Escape state of the quoted-printable decoder between bytes.
enum class EscapeState { Plain, AfterEquals, AfterFirstDigit };

// kFirstReadingRules - the text this decoder reads has its CR LF folded
// already, so only "=" LF is a soft break; an encoded CR is dropped.
constexpr codec::QuotedPrintableRules kFirstReadingRules{.dropCarriageReturn = true,
                                                         .crLfSoftBreaks = false};

// QuotedPrintableDecoder - the escape state machine, fed byte by byte or a
// run at a time.
class QuotedPrintableDecoder {
  public:
    explicit QuotedPrintableDecoder(PartFileOutput& output) : output_(output) {}

    // feed - one byte, or PartReader::kEndOfPart.
    void feed(int c) {
        switch (state_) {
            case EscapeState::Plain:
                if (c == '=')
                    state_ = EscapeState::AfterEquals;
                else
                    output_.put(static_cast<unsigned char>(c));
                return;
            case EscapeState::AfterEquals:
                if (c == '\n') {
                    state_ = EscapeState::Plain;  // soft line break
                    return;
                }
                first_ = hexDigit(c);
                state_ = EscapeState::AfterFirstDigit;
                return;
            case EscapeState::AfterFirstDigit: {
                int second = hexDigit(c);
                unsigned char value = static_cast<unsigned char>((first_ << 4) | second);
                // An encoded carriage return would double the line end once
                // the text is shown again; it is dropped.
                if (value != 13)
                    output_.put(value);
                state_ = EscapeState::Plain;
                return;
            }
        }
    }

    // feedRun - a run of bytes: plain text and well-formed escapes go
    // through the shared kernel straight into the output's buffer; whatever
    // it stops at is fed byte by byte.
    void feedRun(std::string_view run) {
        const char* p = run.data();
        const char* end = p + run.size();
        while (p < end) {
            if (state_ == EscapeState::Plain) {
                std::size_t room = 0;
                char* to = output_.room(room);
                const codec::DecodedRun decoded = codec::decodeQuotedPrintableRun(
                    p, static_cast<std::size_t>(end - p), to, room, kFirstReadingRules);
                output_.added(decoded.produced);
                p += decoded.consumed;
                if (p == end)
                    return;
            }
            feed(static_cast<unsigned char>(*p++));
        }
    }

    // finish - the end of the part: a pending escape reads it as a non-digit
    // (twice for a lone "="), as every further read would.
    void finish() {
        while (state_ != EscapeState::Plain)
            feed(PartReader::kEndOfPart);
    }

  private:
    PartFileOutput& output_;
    EscapeState state_ = EscapeState::Plain;
    int first_ = 0;
};

// Base64Decoder - the group state machine.
class Base64Decoder {
  public:
    explicit Base64Decoder(PartFileOutput& output) : output_(output) {}

    // paddingSeen - true once a "=" has ended the data.
    bool paddingSeen() const { return paddingSeen_; }

    // feedRun - bytes of the part; returns early once padding is seen.
    void feedRun(std::string_view run) {
        const char* p = run.data();
        const char* end = p + run.size();
        while (p < end && !paddingSeen_) {
            // A line end between lines of whole groups is skipped here, as
            // feed would skip it, so the kernel starts on the next line.
            if (*p == '\n' && count_ == 0) {
                ++p;
                continue;
            }
            // Whole groups of four alphabet characters, the common case, go
            // through the shared kernel straight into the output's buffer.
            if (count_ == 0 && end - p >= 4) {
                std::size_t room = 0;
                char* to = output_.room(room);
                const codec::DecodedRun decoded =
                    codec::decodeBase64Groups(p, static_cast<std::size_t>(end - p), to, room);
                output_.added(decoded.produced);
                p += decoded.consumed;
                if (decoded.consumed > 0)
                    continue;
            }
            feed(static_cast<unsigned char>(*p++));
        }
    }

    // feed - one byte of the part.
    void feed(unsigned char byte) {
        unsigned char value = kBase64Value[byte];
        if (value == kSkip || paddingSeen_)
            return;
        group_[count_++] = value;
        if (count_ == 4) {
            count_ = 0;
            finishGroup();
        }
    }

  private:
    void finishGroup() {
        if (group_[0] == kPad || group_[1] == kPad) {
            paddingSeen_ = true;
            return;
        }
        output_.put(static_cast<unsigned char>(group_[0] << 2 | group_[1] >> 4));
        if (group_[2] == kPad) {
            paddingSeen_ = true;
            return;
        }
        output_.put(static_cast<unsigned char>(group_[1] << 4 | group_[2] >> 2));
        if (group_[3] == kPad) {
            paddingSeen_ = true;
            return;
        }
        output_.put(static_cast<unsigned char>(group_[2] << 6 | group_[3]));
    }

    PartFileOutput& output_;
    unsigned char group_[4] = {};
    int count_ = 0;
    bool paddingSeen_ = false;
};

}  // namespace

// copyBody - runs go out whole; the byte after a run comes from nextChar,
// which holds back a newline that starts a boundary line.
void copyBody(PartReader& reader, PartFileOutput& output) {
    for (;;) {
        std::string_view run = reader.takeRun();
        output.append(run.data(), run.size());
        int c = reader.nextChar();
        if (c == PartReader::kEndOfPart)
            return;
        output.put(static_cast<unsigned char>(c));
    }
}

// decodeQuotedPrintable - see the header.
void decodeQuotedPrintable(PartReader& reader, PartFileOutput& output) {
    QuotedPrintableDecoder decoder(output);
    for (;;) {
        decoder.feedRun(reader.takeRun());
        int c = reader.nextChar();
        if (c == PartReader::kEndOfPart)
            break;
        decoder.feed(c);
    }
    decoder.finish();
}

// decodeBase64 - see the header. An incomplete group at the end simply
// stays unwritten.
void decodeBase64(PartReader& reader, PartFileOutput& output) {
    Base64Decoder decoder(output);
    while (!decoder.paddingSeen()) {
        decoder.feedRun(reader.takeRun());
        if (decoder.paddingSeen())
            break;
        int c = reader.nextChar();
        if (c == PartReader::kEndOfPart)
            return;
        decoder.feed(static_cast<unsigned char>(c));
    }
    reader.drainPart();
}

// writePartFile - see the header.
int writePartFile(PartReader& reader, TransferEncoding encoding, ScanLedger& ledger) {
    std::unique_ptr<PartFileOutput> output = openPartFile(ledger);
    if (!output) {
        reader.drainPart();
        return 1;
    }
    switch (encoding) {
        case TransferEncoding::QuotedPrintable:
            decodeQuotedPrintable(reader, *output);
            break;
        case TransferEncoding::Base64:
            decodeBase64(reader, *output);
            break;
        case TransferEncoding::Identity:
        case TransferEncoding::Uuencode:  // never named by this reading
            copyBody(reader, *output);
            break;
    }
    // A failed write is noted in the ledger as it happens.
    output->close();
    return 0;
}

}  // namespace tarnwick::unpacker
