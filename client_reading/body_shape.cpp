// SPDX-License-Identifier: Apache-2.0
// body_shape.cpp - the one-pass check that a body is well-formed for its
// encoding, in words of eight bytes or vectors of sixteen and thirty-two
// where the processor has them.
#include "client_reading/body_shape.h"

#include <array>
#include <bit>
#include <cstring>

#include "client_reading/binary_text.h"
#include "codec/cpu_features.h"
#include "codec/decode_kernel.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The widest form of the base64 check needs AVX2, which not every x86-64
// processor has: it is compiled for it on its own and chosen at run time.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define TARNWICK_SHAPE_AVX2 1
#include <immintrin.h>
#endif

namespace tarnwick::client_reading {

namespace {

// Byte classes of the checks: each class one bit, so a run can be or-ed.
constexpr unsigned char kAlphabet = 1;
constexpr unsigned char kLineFeed = 2;
constexpr unsigned char kReturn = 4;
constexpr unsigned char kEquals = 8;
constexpr unsigned char kBlank = 16;
constexpr unsigned char kOther = 32;

constexpr std::array<unsigned char, 256> makeClasses() {
    std::array<unsigned char, 256> table{};
    for (int i = 0; i < 256; ++i)
        table[i] = kOther;
    for (int i = 0; i < 26; ++i) {
        table['A' + i] = kAlphabet;
        table['a' + i] = kAlphabet;
    }
    for (int i = 0; i < 10; ++i)
        table['0' + i] = kAlphabet;
    table['+'] = kAlphabet;
    table['/'] = kAlphabet;
    table['\n'] = kLineFeed;
    table['\r'] = kReturn;
    table['='] = kEquals;
    table[' '] = kBlank;
    table['\t'] = kBlank;
    return table;
}
constexpr auto kClass = makeClasses();

#if defined(__SSE2__)
// inRange16 - all ones in each byte of bytes that lies in [low, high].
inline __m128i inRange16(__m128i bytes, int low, int high) {
    // Shifted so that low becomes the smallest signed byte value.
    const __m128i shifted = _mm_add_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x80 - low)));
    return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(-128 + (high - low + 1))));
}

// bitCount - the bits set in marks, without a library call where the
// processor has no instruction for it.
inline std::uint64_t bitCount(std::uint64_t marks) {
    marks -= (marks >> 1) & 0x5555555555555555u;
    marks = (marks & 0x3333333333333333u) + ((marks >> 2) & 0x3333333333333333u);
    marks = (marks + (marks >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return (marks * 0x0101010101010101u) >> 56;
}

// base64Alphabet16 - all ones in each byte of bytes that is a base64
// character. Clearing bit 5 folds the small letters onto the capitals and
// nothing else onto them.
inline __m128i base64Alphabet16(__m128i bytes) {
    const __m128i letters =
        inRange16(_mm_and_si128(bytes, _mm_set1_epi8(static_cast<char>(0xDF))), 'A', 'Z');
    return _mm_or_si128(_mm_or_si128(letters, inRange16(bytes, '0', '9')),
                        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('+')),
                                     _mm_cmpeq_epi8(bytes, _mm_set1_epi8('/'))));
}

// base64LineEnds16 - all ones in each byte of bytes that is CR or LF.
inline __m128i base64LineEnds16(__m128i bytes) {
    return _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')),
                        _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')));
}
#endif

#if defined(TARNWICK_SHAPE_AVX2)
// inRange32 - all ones in each byte of bytes that lies in [low, high].
__attribute__((target("avx2"))) inline __m256i inRange32(__m256i bytes, int low, int high) {
    const __m256i shifted = _mm256_add_epi8(bytes, _mm256_set1_epi8(static_cast<char>(0x80 - low)));
    return _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(-128 + (high - low + 1))), shifted);
}

// base64Blocks32 - over whole 64-byte blocks of base64 characters and line
// ends only: how many bytes those were; adds the characters to alphabet.
__attribute__((target("avx2"))) std::size_t base64Blocks32(const unsigned char* p, std::size_t size,
                                                           std::uint64_t& alphabet) {
    std::size_t done = 0;
    for (; size - done >= 64; done += 64) {
        std::uint32_t valid = 0xFFFFFFFFu;
        std::uint64_t ends = 0;
        for (int k = 0; k < 2; ++k) {
            const __m256i bytes =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + done + 32 * k));
            const __m256i letters = inRange32(
                _mm256_and_si256(bytes, _mm256_set1_epi8(static_cast<char>(0xDF))), 'A', 'Z');
            const __m256i others =
                _mm256_or_si256(inRange32(bytes, '0', '9'),
                                _mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('+')),
                                                _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('/'))));
            const __m256i lineEnds =
                _mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\n')),
                                _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\r')));
            valid &= static_cast<std::uint32_t>(
                _mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(letters, others), lineEnds)));
            ends |= static_cast<std::uint64_t>(
                        static_cast<std::uint32_t>(_mm256_movemask_epi8(lineEnds)))
                    << (32 * k);
        }
        if (valid != 0xFFFFFFFFu)
            break;
        alphabet += 64 - bitCount(ends);
    }
    return done;
}

// haveAvx2 - the processor has AVX2; asked once.
bool haveAvx2() {
    return cpuHasAvx2();
}
#endif

// plainRunEnd - the first byte of [p, end) that is "=", CR or LF, or end:
// the bytes before it stand for themselves in quoted-printable.
const unsigned char* plainRunEnd(const unsigned char* p, const unsigned char* end) {
#if defined(__SSE2__)
    for (; end - p >= 16; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i special =
            _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('=')),
                         _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')),
                                      _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))));
        const int mask = _mm_movemask_epi8(special);
        if (mask != 0)
            return p + std::countr_zero(static_cast<unsigned>(mask));
    }
#endif
    while (p != end && (kClass[*p] & (kLineFeed | kReturn | kEquals)) == 0)
        ++p;
    return p;
}

// Eight bytes in one word: the high bit of each byte marks it.
constexpr std::uint64_t kLowBits = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

// inRange - REQUIRES: no byte of word has its high bit set. The high bit of
// each byte of the result is set where that byte lies in [low, high].
constexpr std::uint64_t inRange(std::uint64_t word, unsigned low, unsigned high) {
    const std::uint64_t atLeastLow = word + kLowBits * (0x80 - low);
    const std::uint64_t aboveHigh = word + kLowBits * (0x7F - high);
    return atLeastLow & ~aboveHigh & kHighBits;
}

// Where a quoted-printable or identity body stands after a byte.
enum State : int { kText, kAfterReturn, kAfterEquals, kAfterHex, kSoftBreakReturn };

// Where the next decoded byte stands in its line: at the line's start,
// after a line that so far is "=" (escaped), or further on. A soft line
// break leaves it where it was.
enum LineStart : int { kLineBegins, kLineBeganWithEquals, kInLine };

}  // namespace

BodyShape::BodyShape(codec::TransferEncoding encoding, bool crLfAllowed)
    : encoding_(encoding), crLfAllowed_(crLfAllowed) {
    // Uuencoded leaves are never checked: their blocks are found by the
    // scanner of embedded blocks.
    wellFormed_ = encoding != codec::TransferEncoding::Uuencode;
}

void BodyShape::watchForBinary(bool wide) {
    watchBinary_ = true;
    wide_ = wide;
}

void BodyShape::judgeStart() {
    // Without an escape among them the first bytes decode as they stand
    // (line ends aside, which no signature holds).
    startJudged_ = true;
    if ((encoding_ == codec::TransferEncoding::QuotedPrintable &&
         start_.find('=') != std::string::npos) ||
        looksBinary(start_, true, wide_))
        mayBeBinary_ = true;
    start_.clear();
}

bool BodyShape::feed(const char* data, std::size_t size) {
    if (!wellFormed_ || size == 0)
        return wellFormed_;
    if (watchBinary_ && !mayBeBinary_) {
        if (!startJudged_) {
            start_.append(data, std::min(size, kSignatureBytes - start_.size()));
            if (start_.size() == kSignatureBytes)
                judgeStart();
        }
        // A control byte in the encoded bytes stands for itself.
        if (!wide_ && looksBinary(std::string_view(data, size), false))
            mayBeBinary_ = true;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    switch (encoding_) {
        case codec::TransferEncoding::Base64:
            wellFormed_ = feedBase64(p, p + size);
            break;
        case codec::TransferEncoding::QuotedPrintable:
            wellFormed_ = feedQuotedPrintable(p, p + size);
            break;
        default:
            wellFormed_ = feedIdentity(p, p + size);
            break;
    }
    return wellFormed_;
}

bool BodyShape::feedBase64(const unsigned char* p, const unsigned char* end) {
    // The common case, alphabet and line ends only, many bytes at a time;
    // the rest (padding among it) one byte at a time.
    if (padding_ == 0) {
#if defined(TARNWICK_SHAPE_AVX2)
        if (haveAvx2())
            p += base64Blocks32(p, static_cast<std::size_t>(end - p), alphabet_);
#endif
#if defined(__SSE2__)
        // Four vectors a step: one test of all of them, line ends counted
        // from their marks.
        for (; end - p >= 64; p += 64) {
            unsigned valid = 0xFFFF;
            std::uint64_t ends = 0;
            for (int k = 0; k < 4; ++k) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
                const __m128i lineEnds = base64LineEnds16(bytes);
                valid &= static_cast<unsigned>(
                    _mm_movemask_epi8(_mm_or_si128(base64Alphabet16(bytes), lineEnds)));
                ends |=
                    static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(lineEnds)))
                    << (16 * k);
            }
            if (valid != 0xFFFF)
                break;
            alphabet_ += 64 - bitCount(ends);
        }
        for (; end - p >= 16; p += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i lineEnds = base64LineEnds16(bytes);
            if (_mm_movemask_epi8(_mm_or_si128(base64Alphabet16(bytes), lineEnds)) != 0xFFFF)
                break;
            alphabet_ += 16 - bitCount(static_cast<unsigned>(_mm_movemask_epi8(lineEnds)));
        }
#endif
        for (; end - p >= 8; p += 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            const std::uint64_t alphabet = inRange(word, 'A', 'Z') | inRange(word, 'a', 'z') |
                                           inRange(word, '0', '9') | inRange(word, '+', '+') |
                                           inRange(word, '/', '/');
            const std::uint64_t lineEnds = inRange(word, '\n', '\n') | inRange(word, '\r', '\r');
            if ((word & kHighBits) != 0 || (alphabet | lineEnds) != kHighBits)
                break;
            // Line ends are few: counted one by one.
            std::uint64_t count = 8;
            for (std::uint64_t ends = lineEnds; ends != 0; ends &= ends - 1)
                --count;
            alphabet_ += count;
        }
    }
    for (; p != end; ++p) {
        const unsigned char c = kClass[*p];
        if (c == kAlphabet) {
            if (padding_ != 0)
                return false;  // data after padding
            ++alphabet_;
        } else if (c == kEquals) {
            // Padding completes the last group, holding two or three
            // characters of it.
            if (++padding_ > 2 || (alphabet_ + padding_) % 4 == 1 ||
                (padding_ == 1 && alphabet_ % 4 < 2))
                return false;
        } else if (c != kLineFeed && c != kReturn) {
            return false;
        }
    }
    return true;
}

bool BodyShape::feedQuotedPrintable(const unsigned char* p, const unsigned char* end) {
    int state = state_;
    bool blankLast = blankLast_;
    std::uint64_t decoded = decoded_;
    bool ok = true;
    while (p != end && ok) {
        if (state == kText) {
            // Bytes that stand for themselves, blanks among them, in a run.
            const unsigned char* start = p;
            p = plainRunEnd(p, end);
            if (p != start) {
                if (lineStart_ == kLineBegins && *start == 'b')
                    noteLineOpening(start, p, p == end || *p == '=');
                else if (lineStart_ == kLineBeganWithEquals && *start == 'y')
                    mayOpenBlock_ = true;
                lineStart_ = kInLine;
                decoded += static_cast<std::uint64_t>(p - start);
                blankLast = kClass[p[-1]] == kBlank;
            }
            if (p == end)
                break;
        }
        const unsigned char c = *p++;
        if (state == kText && end - p >= 2) {
            // The usual escapes and line ends, whole in this piece, without
            // going through the states one byte at a time.
            if (c == '=' && codec::kHexDigitValue[p[0]] < 16 && codec::kHexDigitValue[p[1]] < 16) {
                ok = takeEscape(codec::kHexDigitValue[p[0]] * 16 + codec::kHexDigitValue[p[1]]);
                ++decoded;
                blankLast = false;
                p += 2;
                continue;
            }
            if (c == '=' && p[0] == '\r' && p[1] == '\n') {
                blankLast = false;  // a soft line break
                p += 2;
                continue;
            }
            if (c == '\r' && p[0] == '\n') {
                ok = !blankLast && crLfAllowed_;
                ++decoded;  // the first reading writes CR LF as LF
                lineStart_ = kLineBegins;
                ++p;
                continue;
            }
        }
        switch (state) {
            case kText:
                if (c == '=') {
                    state = kAfterEquals;
                    blankLast = false;
                } else {
                    // A line end: blanks before it would be dropped by one
                    // reading and kept by the other.
                    ok = !blankLast && (c == '\n' || crLfAllowed_);
                    if (c == '\n') {
                        ++decoded;
                        lineStart_ = kLineBegins;
                    } else {
                        state = kAfterReturn;
                    }
                }
                break;
            case kAfterReturn:
                ok = c == '\n';
                ++decoded;  // the first reading writes CR LF as LF
                state = kText;
                lineStart_ = kLineBegins;
                break;
            case kAfterEquals:
                if (codec::kHexDigitValue[c] < 16) {
                    firstHex_ = codec::kHexDigitValue[c];
                    state = kAfterHex;
                } else if (c == '\n') {
                    state = kText;  // soft line break
                } else {
                    ok = c == '\r';  // a soft line break writes nothing either way
                    state = kSoftBreakReturn;
                }
                break;
            case kAfterHex:
                ok = codec::kHexDigitValue[c] < 16 &&
                     takeEscape(firstHex_ * 16 + codec::kHexDigitValue[c]);
                ++decoded;
                state = kText;
                break;
            default:  // kSoftBreakReturn
                ok = c == '\n';
                state = kText;
                break;
        }
    }
    state_ = state;
    blankLast_ = blankLast;
    decoded_ = decoded;
    return ok;
}

void BodyShape::screenLineStarts(const unsigned char* p, const unsigned char* end) {
    // A well-formed identity body has CR only in CR LF: its lines begin at
    // the body's start and after each LF.
    if (mayOpenBlock_ || p == end)
        return;
    if (lineStart_ == kLineBegins && (*p == 'b' || *p == '='))
        noteLineOpening(p, end, true);
    lineStart_ = kInLine;
    while (!mayOpenBlock_) {
        const void* found = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        if (found == nullptr)
            return;
        p = static_cast<const unsigned char*>(found) + 1;
        if (p == end) {
            lineStart_ = kLineBegins;
            return;
        }
        if (*p == 'b' || *p == '=')
            noteLineOpening(p, end, true);
    }
}

bool BodyShape::takeEscape(int value) {
    noteEscape(value);
    // An escaped CR is dropped by one reading only.
    if (value == 13)
        return false;
    mayBeBinary_ = mayBeBinary_ ||
                   (watchBinary_ && !wide_ && isNotTextByte(static_cast<unsigned char>(value)));
    return true;
}

void BodyShape::noteEscape(int value) {
    // An escaped LF begins a line nobody looked at; an escaped "b" may
    // begin "begin", an escaped "=" then "y" "=ybegin".
    if (value == '\n' || (lineStart_ == kLineBegins && value == 'b') ||
        (lineStart_ == kLineBeganWithEquals && value == 'y'))
        mayOpenBlock_ = true;
    lineStart_ = lineStart_ == kLineBegins && value == '=' ? kLineBeganWithEquals : kInLine;
}

void BodyShape::noteLineOpening(const unsigned char* line, const unsigned char* end, bool mayGoOn) {
    // Only "begin" (uuencode) and "=y" (yEnc) open a block; too few bytes
    // to look at decide nothing, unless the line ends there.
    const std::string_view opening = *line == '=' ? "=y" : "begin";
    const std::size_t count = static_cast<std::size_t>(end - line);
    if (count < opening.size() ? mayGoOn : std::memcmp(line, opening.data(), opening.size()) == 0)
        mayOpenBlock_ = true;
}

bool BodyShape::feedIdentity(const unsigned char* p, const unsigned char* end) {
    screenLineStarts(p, end);
    // Every byte is written as it stands, but for CR LF, which the first
    // reading writes as LF.
    decoded_ += static_cast<std::uint64_t>(end - p);
    if (state_ == kAfterReturn) {
        if (*p != '\n')
            return false;
        --decoded_;
        ++p;
        state_ = kText;
    }
    while (p != end) {
        const void* found = std::memchr(p, '\r', static_cast<std::size_t>(end - p));
        if (found == nullptr)
            return true;
        if (!crLfAllowed_)
            return false;
        p = static_cast<const unsigned char*>(found) + 1;
        if (p == end) {
            state_ = kAfterReturn;
            return true;
        }
        if (*p != '\n')
            return false;
        --decoded_;
        ++p;
    }
    return true;
}

bool BodyShape::finish() {
    if (!wellFormed_)
        return false;
    if (watchBinary_ && !startJudged_)
        judgeStart();
    if (encoding_ == codec::TransferEncoding::Base64) {
        if ((alphabet_ + static_cast<std::uint64_t>(padding_)) % 4 != 0)
            return false;
        decoded_ = (alphabet_ + static_cast<std::uint64_t>(padding_)) / 4 * 3 -
                   static_cast<std::uint64_t>(padding_);
        return true;
    }
    // A body may not end inside an escape or a line end, nor after a blank.
    return state_ == kText && !blankLast_;
}

}  // namespace tarnwick::client_reading
