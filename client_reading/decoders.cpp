// SPDX-License-Identifier: Apache-2.0
// decoders.cpp - streaming base64, quoted-printable, uuencode and identity
// decoders, and the uuencode and yEnc line helpers.
//
// Output is gathered in a small buffer and handed to the sink in blocks.
// Ordinary base64 groups and quoted-printable text go through the decoding
// kernel both readers share (mailfile/decode_kernel.h); every byte it stops
// at goes through this file's own lenient state machines.
#include "client_reading/decoders.h"

#include "client_reading/header_fields.h"
#include "mailfile/decode_kernel.h"

#include <algorithm>
#include <cstdint>

namespace tarnwick::client_reading {

namespace {

// kOutputBlock - decoded bytes gathered before one write to the sink.
constexpr std::size_t kOutputBlock = 16 * 1024;
// kMaxHeldBlanks - blanks a quoted-printable decoder holds back waiting for
// the line end that would drop them; more are written out as they stand.
constexpr std::size_t kMaxHeldBlanks = 1024;
// kMaxUuLine - the part of a uuencoded line looked at (a full line is 61).
constexpr std::size_t kMaxUuLine = 256;

bool isBlank(char c) {
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

// kBase64Padding, kBase64Other - table values of "=" and of bytes outside
// the alphabet.
constexpr signed char kBase64Padding = -2;
constexpr signed char kBase64Other = -1;

struct Base64Table {
    signed char values[256];
    constexpr Base64Table() : values() {
        for (int i = 0; i < 256; ++i)
            values[i] = kBase64Other;
        for (int i = 0; i < 26; ++i) {
            values['A' + i] = static_cast<signed char>(i);
            values['a' + i] = static_cast<signed char>(26 + i);
        }
        for (int i = 0; i < 10; ++i)
            values['0' + i] = static_cast<signed char>(52 + i);
        values[static_cast<unsigned char>('+')] = 62;
        values[static_cast<unsigned char>('/')] = 63;
        values[static_cast<unsigned char>('=')] = kBase64Padding;
    }
};
constexpr Base64Table kBase64;

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
    using BufferedDecoder::BufferedDecoder;
    void feed(const char* data, std::size_t size) override {
        const auto* bytes = reinterpret_cast<const unsigned char*>(data);
        // Locals, not members, in the loop: stores through the output
        // pointer could otherwise alias them and force reloads.
        unsigned group = group_;
        int count = count_;
        std::size_t i = 0;
        while (i < size) {
            if (count == 0 && size - i >= 4) {
                // The common case: runs of four alphabet characters in a row.
                i = decodeWholeGroups(bytes, i, size);
                if (i == size)
                    break;
            }
            const signed char v = kBase64.values[bytes[i++]];
            if (v < 0) {
                // An "=" where padding cannot stand (first or second place
                // of a group) is skipped like any stray byte.
                if (v == kBase64Padding && count >= 2) {
                    group_ = group;
                    count_ = count;
                    endGroup();  // padding: the group ends, decoding goes on
                    group = 0;
                    count = 0;
                }
                continue;  // outside the alphabet: skipped
            }
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
};

class QuotedPrintableDecoder final : public BufferedDecoder {
  public:
    using BufferedDecoder::BufferedDecoder;
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
                    put('=');  // "==" stands for one "=", as clients read it
                    state_ = State::Text;
                } else {
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
                    put('=');
                    put(firstHex_);
                    step(c);
                }
                return;
            case State::EqualsBlanks:
                if (isBlank(c) && held_.size() < kMaxHeldBlanks) {
                    held_.push_back(c);
                } else if (c == '\r') {
                    held_.clear();
                    state_ = State::SoftBreakCr;
                } else if (c == '\n') {
                    held_.clear();
                    state_ = State::Text;
                } else {
                    put('=');
                    putHeld();
                    state_ = State::Text;
                    step(c);
                }
                return;
            case State::SoftBreakCr:
                state_ = State::Text;
                if (c != '\n')
                    step(c);
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

// hexValue - see the header.
int hexValue(char c) {
    const unsigned value = kHexDigitValue[static_cast<unsigned char>(c)];
    return value < 16 ? static_cast<int>(value) : -1;
}

TransferEncoding transferEncodingNamed(std::string_view value) {
    const std::string name = lowerTrimmed(value);
    if (name == "base64")
        return TransferEncoding::Base64;
    if (name == "quoted-printable")
        return TransferEncoding::QuotedPrintable;
    if (name == "x-uuencode" || name == "x-uue" || name == "uuencode" || name == "uue")
        return TransferEncoding::Uuencode;
    return TransferEncoding::Identity;
}

std::unique_ptr<Decoder> makeDecoder(TransferEncoding encoding, ByteSink& sink) {
    switch (encoding) {
        case TransferEncoding::Base64:
            return std::make_unique<Base64Decoder>(sink);
        case TransferEncoding::QuotedPrintable:
            return std::make_unique<QuotedPrintableDecoder>(sink);
        case TransferEncoding::Uuencode:
            return std::make_unique<UudecodeDecoder>(sink);
        case TransferEncoding::Identity:
            break;
    }
    return std::make_unique<IdentityDecoder>(sink);
}

namespace {

// uuModeEnd - where an octal number as lenient readers take it ends when
// one starts at line[at] (a sign, "0o", digits 0-7 with single underscores
// between them); at itself when none does.
std::size_t uuModeEnd(std::string_view line, std::size_t at) {
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    const std::size_t from = at;
    if (at < line.size() && (line[at] == '+' || line[at] == '-'))
        ++at;
    bool underscoreAllowed = false;
    if (line.substr(at, 2) == "0o" || line.substr(at, 2) == "0O") {
        at += 2;
        underscoreAllowed = true;
    }
    std::size_t digits = 0;
    while (at < line.size()) {
        if (octal(line[at])) {
            ++digits;
            underscoreAllowed = true;
        } else if (line[at] == '_' && underscoreAllowed && at + 1 < line.size() &&
                   octal(line[at + 1])) {
            underscoreAllowed = false;
        } else {
            break;
        }
        ++at;
    }
    return digits == 0 ? from : at;
}

}  // namespace

bool isUuBeginLine(std::string_view line, bool anyMode) {
    if (line.substr(0, 5) != "begin")
        return false;
    std::size_t at = 5;
    const std::size_t blanksFrom = at;
    while (at < line.size() && isBlank(line[at]))
        ++at;
    if (at == blanksFrom)
        return false;
    const std::size_t modeFrom = at;
    if (anyMode) {
        at = uuModeEnd(line, at);
        return at != modeFrom && (at == line.size() || isBlank(line[at]));
    }
    while (at < line.size() && line[at] >= '0' && line[at] <= '7')
        ++at;
    const std::size_t digits = at - modeFrom;
    return (digits == 3 || digits == 4) && (at == line.size() || isBlank(line[at]));
}

bool looksUuencoded(std::string_view line) {
    if (line.empty() || line.size() > 2 + kMaxUuLine)
        return false;
    const int count = (line[0] - ' ') & 63;
    const std::size_t needed = 1 + (static_cast<std::size_t>(count) + 2) / 3 * 4;
    // Encoders pad the last group with "`" or blanks, some drop them.
    return std::all_of(line.begin(), line.end(), [](char c) { return c >= ' ' && c <= '`'; }) &&
           line.size() + 2 >= needed && line.size() <= needed + 2;
}

bool isUuEndLine(std::string_view line) {
    if (line.substr(0, 3) != "end")
        return false;
    for (char c : line.substr(3))
        if (!isBlank(c))
            return false;
    return true;
}

void appendUuLine(std::string_view line, std::string& out) {
    if (line.empty())
        return;
    const std::size_t count = static_cast<std::size_t>((line[0] - ' ') & 63);
    const std::size_t from = out.size();
    out.resize(from + count);
    // Whole groups the line holds go through the shared kernel; the rest
    // (the group the count ends in, missing characters as zero bits) here.
    const std::size_t wholeGroups = std::min(count / 3, (line.size() - 1) / 4);
    decodeUuGroups(line.data() + 1, wholeGroups, out.data() + from);
    auto sixBits = [&](std::size_t index) -> unsigned {
        return index < line.size() ? static_cast<unsigned>((line[index] - ' ') & 63) : 0u;
    };
    std::size_t produced = wholeGroups * 3;
    for (std::size_t at = 1 + wholeGroups * 4; produced < count; at += 4) {
        const unsigned bits = (sixBits(at) << 18) | (sixBits(at + 1) << 12) |
                              (sixBits(at + 2) << 6) | sixBits(at + 3);
        for (int shift = 16; shift >= 0 && produced < count; shift -= 8, ++produced)
            out[from + produced] = static_cast<char>((bits >> shift) & 0xff);
    }
}

void YencUnescaper::decode(std::string_view data, std::string& out) {
    for (char c : data) {
        if (c == '\r' || c == '\n')
            continue;
        if (!escaped_ && c == '=') {
            escaped_ = true;
            continue;
        }
        unsigned char byte = static_cast<unsigned char>(c);
        if (escaped_)
            byte = static_cast<unsigned char>(byte - 64);
        escaped_ = false;
        out.push_back(static_cast<char>(static_cast<unsigned char>(byte - 42)));
    }
}

}  // namespace tarnwick::client_reading
