// SPDX-License-Identifier: Apache-2.0
// decode_kernel.cpp - whole-group base64 and uuencode decoding and the
// quoted-printable run copier.
//
// Base64 looks every character up in one of four tables that already hold
// its six bits shifted into their place in the group, and marks a byte
// outside the alphabet with bits above the group's 24: or-ing four lookups
// gives the three bytes, and one compare of two groups together tells
// whether both were ordinary. Where the processor has SSSE3, sixteen
// characters are first taken a step with vector byte shuffles; the tables
// take what is left. Quoted-printable, with SSSE3, takes sixteen bytes a
// step whatever they hold: the escapes and soft line breaks whole inside
// the step are decoded in place and the bytes they drop squeezed out by a
// shuffle, with no branch on what the bytes are; a step stops short only
// where the caller must look. Without it, plain stretches are copied eight
// or sixteen bytes a step and each "=", CR and LF is taken on its own.
#include "codec/decode_kernel.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "codec/cpu_features.h"

// The vector form of the base64 loop needs the byte shuffle of SSSE3, which
// not every x86-64 processor has: it is compiled for it on its own and chosen
// at run time.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define TARNWICK_BASE64_VECTOR 1
#include <tmmintrin.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnwick::codec {

namespace {

// kBase64Outside - table value of a byte outside the alphabet, "=" included:
// above the 24 bits a group holds, in every place.
constexpr std::uint32_t kBase64Outside = 0xFF000000u;
// kGroupLimit - above a group's 24 bits: a value at or above it holds a
// byte outside the alphabet.
constexpr std::uint32_t kGroupLimit = 1u << 24;

// Base64Places - for each of the four places of a group, each byte's value
// shifted into that place.
struct Base64Places {
    std::uint32_t values[4][256];
    constexpr Base64Places() : values() {
        for (int place = 0; place < 4; ++place)
            for (int i = 0; i < 256; ++i)
                values[place][i] = kBase64Value[i] >= 64
                                       ? kBase64Outside
                                       : static_cast<std::uint32_t>(kBase64Value[i])
                                             << (6 * (3 - place));
    }
};
constexpr Base64Places kBase64Places;

// kWordBytes - bytes scanned per step of the quoted-printable copier.
constexpr std::size_t kWordBytes = 8;
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
constexpr int kCarriageReturn = 13;

// zeroBytes - the high bit of every byte of word that is zero is set; a
// byte above a zero one may be marked too, never one below, so the lowest
// mark is always a real zero.
inline std::uint64_t zeroBytes(std::uint64_t word) {
    return (word - kOnes) & ~word & kHighBits;
}

// specialBytes - marks of the bytes of word that are "=", CR or LF.
inline std::uint64_t specialBytes(std::uint64_t word) {
    return zeroBytes(word ^ (kOnes * '=')) | zeroBytes(word ^ (kOnes * '\r')) |
           zeroBytes(word ^ (kOnes * '\n'));
}

// plainBytesBefore - how many bytes of the word come before its first
// marked one, in memory order. REQUIRES: marks is not zero.
inline std::size_t plainBytesBefore(std::uint64_t marks) {
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<std::size_t>(std::countr_zero(marks)) / 8;
    else
        return static_cast<std::size_t>(std::countl_zero(marks)) / 8;
}

// isBlank - a space or a tab: a line end right after one is left to the
// caller.
inline bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// softBreakLength - the bytes of the soft line break at the "=" in front of
// in ("=" LF, or under crLfSoftBreaks also "=" CR LF), or 0 for none whole
// inside in.
inline std::size_t softBreakLength(const char* in, std::size_t size, QuotedPrintableRules rules) {
    if (size >= 2 && in[1] == '\n')
        return 2;
    if (rules.crLfSoftBreaks && size >= 3 && in[1] == '\r' && in[2] == '\n')
        return 3;
    return 0;
}

// putGroup - the three bytes of one group's 24 bits.
inline void putGroup(std::uint32_t bits, char* out) {
    out[0] = static_cast<char>(bits >> 16);
    out[1] = static_cast<char>(bits >> 8);
    out[2] = static_cast<char>(bits);
}

// groupBits - the table lookups of one group of four characters.
inline std::uint32_t groupBits(const unsigned char* in) {
    const auto& table = kBase64Places.values;
    return table[0][in[0]] | table[1][in[1]] | table[2][in[2]] | table[3][in[3]];
}

#if defined(TARNWICK_BASE64_VECTOR)
// kVectorBytes - characters per step of the vector loop; it stores 16 bytes
// for the 12 it decodes.
constexpr std::size_t kVectorBytes = 16;
constexpr std::size_t kVectorOutput = 12;

// decodeBase64Vectors - sixteen characters a step while all of them are in
// the alphabet. Each byte's high and low half look up a class bit pattern
// (their and is zero only for alphabet characters), then an offset by its
// high half ("/" has its own) turns the character into its six bits, and
// two multiply-adds and a shuffle pack four sixes into three bytes.
// Returns the characters consumed (a multiple of 4: the whole groups of a
// last step that holds another byte count too); out gets three quarters of
// that. Each step stores 16 bytes for the 12 it decodes, so it runs only
// while room for 16 is left.
__attribute__((target("ssse3"))) std::size_t decodeBase64Vectors(const char* in, std::size_t size,
                                                                 char* out, std::size_t room) {
    const __m128i lowClass = _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                           0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m128i highClass = _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10,
                                            0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    const __m128i offsets = _mm_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m128i lowHalf = _mm_set1_epi8(0x0F);
    const __m128i slash = _mm_set1_epi8('/');
    const __m128i pairs = _mm_set1_epi32(0x01400140);
    const __m128i quads = _mm_set1_epi32(0x00011000);
    const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    std::size_t i = 0;
    std::size_t o = 0;
    while (size - i >= kVectorBytes && room - o >= kVectorBytes) {
        const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i high = _mm_and_si128(_mm_srli_epi32(chars, 4), lowHalf);
        const __m128i classes =
            _mm_and_si128(_mm_shuffle_epi8(lowClass, _mm_and_si128(chars, lowHalf)),
                          _mm_shuffle_epi8(highClass, high));
        const unsigned alphabet =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(classes, _mm_setzero_si128())));
        const __m128i roll =
            _mm_shuffle_epi8(offsets, _mm_add_epi8(_mm_cmpeq_epi8(chars, slash), high));
        const __m128i sixes = _mm_add_epi8(chars, roll);
        const __m128i packed = _mm_madd_epi16(_mm_maddubs_epi16(sixes, pairs), quads);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm_shuffle_epi8(packed, order));
        if (alphabet != 0xFFFF) {
            // Each group is packed on its own: the whole groups in front of
            // the first other byte (the end of a line, mostly) count.
            const std::size_t groups = static_cast<std::size_t>(std::countr_one(alphabet)) / 4;
            return i + 4 * groups;
        }
        i += kVectorBytes;
        o += kVectorOutput;
    }
    return i;
}

// decodeUuVectors - four groups a step while at least six are left (each
// step stores 16 bytes for the 12 it decodes): every character gives
// (byte - 32) & 63, packed as base64's sixes are. Returns the groups done.
__attribute__((target("ssse3"))) std::size_t decodeUuVectors(const char* in, std::size_t groups,
                                                             char* out) {
    const __m128i space = _mm_set1_epi8(32);
    const __m128i sixBits = _mm_set1_epi8(63);
    const __m128i pairs = _mm_set1_epi32(0x01400140);
    const __m128i quads = _mm_set1_epi32(0x00011000);
    const __m128i order = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    std::size_t g = 0;
    for (; groups - g >= 6; g += 4) {
        const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * g));
        const __m128i sixes = _mm_and_si128(_mm_sub_epi8(chars, space), sixBits);
        const __m128i packed = _mm_madd_epi16(_mm_maddubs_epi16(sixes, pairs), quads);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * g), _mm_shuffle_epi8(packed, order));
    }
    return g;
}

// CompactHalves - for each set of kept bytes of an eight-byte half (a bit
// per byte), the byte shuffle that moves them to the front of the half in
// order, and how many they are.
struct CompactHalves {
    std::uint64_t shuffles[256];
    unsigned char counts[256];
    constexpr CompactHalves() : shuffles(), counts() {
        for (unsigned kept = 0; kept < 256; ++kept) {
            std::uint64_t shuffle = 0;
            unsigned count = 0;
            for (unsigned byte = 0; byte < 8; ++byte)
                if ((kept >> byte & 1u) != 0)
                    shuffle |= static_cast<std::uint64_t>(byte) << (8 * count++);
            shuffles[kept] = shuffle;
            counts[kept] = static_cast<unsigned char>(count);
        }
    }
};
constexpr CompactHalves kCompactHalves;

// decodeQuotedPrintableVectors - sixteen bytes a step while room for
// sixteen is left. Every "=" of a step followed by two hex digits inside it
// is an escape: its byte is put in place of the "=" and its digits are
// squeezed out by a shuffle of each half, as are soft line breaks. A step
// counts up to its first other "=" (a malformed escape, or one cut by the
// step's end, which the next step takes), CR or LF right after a blank, or
// under dropCarriageReturn escape that gives 13; when that is its first
// byte, the caller's own loop takes it. afterBlank: the byte in front of
// in is a blank.
__attribute__((target("ssse3"))) DecodedRun decodeQuotedPrintableVectors(
    const char* in, std::size_t size, char* out, std::size_t room, QuotedPrintableRules rules,
    bool afterBlank) {
    const __m128i equalsSign = _mm_set1_epi8('=');
    const __m128i carriageReturn = _mm_set1_epi8(kCarriageReturn);
    const __m128i highHalves = _mm_set1_epi8(static_cast<char>(0xF0));
    std::size_t i = 0;
    std::size_t o = 0;
    // The byte in front of the step is a blank.
    unsigned blankInFront = afterBlank ? 1u : 0u;
    while (size - i >= 16 && room - o >= 16) {
        const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i equals = _mm_cmpeq_epi8(chars, equalsSign);
        const unsigned carriageReturns =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chars, carriageReturn)));
        const unsigned lineFeeds =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chars, _mm_set1_epi8('\n'))));
        const unsigned blanks = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chars, _mm_set1_epi8(' ')),
                                           _mm_cmpeq_epi8(chars, _mm_set1_epi8('\t')))));
        const unsigned blankBefore = blanks << 1 | blankInFront;
        // Each byte as a hex digit: its value, and whether it is one.
        const __m128i digits = _mm_sub_epi8(chars, _mm_set1_epi8('0'));
        const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(digits, _mm_set1_epi8(9)), digits);
        const __m128i letters =
            _mm_sub_epi8(_mm_or_si128(chars, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
        const __m128i isLetter = _mm_cmpeq_epi8(_mm_min_epu8(letters, _mm_set1_epi8(5)), letters);
        const __m128i hexValues =
            _mm_or_si128(_mm_and_si128(digits, isDigit),
                         _mm_and_si128(_mm_add_epi8(letters, _mm_set1_epi8(10)), isLetter));
        const __m128i isHex = _mm_or_si128(isDigit, isLetter);
        const __m128i escapes = _mm_and_si128(
            equals, _mm_and_si128(_mm_srli_si128(isHex, 1), _mm_srli_si128(isHex, 2)));
        const __m128i values =
            _mm_or_si128(_mm_and_si128(_mm_slli_epi16(_mm_srli_si128(hexValues, 1), 4), highHalves),
                         _mm_srli_si128(hexValues, 2));
        const unsigned equalsMarks = static_cast<unsigned>(_mm_movemask_epi8(equals));
        const unsigned escapeMarks = static_cast<unsigned>(_mm_movemask_epi8(escapes));
        const unsigned softBreaks = equalsMarks & lineFeeds >> 1;
        const unsigned crLfSoftBreaks =
            rules.crLfSoftBreaks ? equalsMarks & carriageReturns >> 1 & lineFeeds >> 2 : 0u;
        unsigned stops = ((carriageReturns | lineFeeds) & blankBefore) |
                         (equalsMarks & ~(escapeMarks | softBreaks | crLfSoftBreaks));
        if (rules.dropCarriageReturn)
            stops |= static_cast<unsigned>(
                _mm_movemask_epi8(_mm_and_si128(escapes, _mm_cmpeq_epi8(values, carriageReturn))));
        // Most steps take all sixteen bytes: a branch, not a select, so
        // that the next step's load need not wait for this one's marks.
        unsigned taken = 16;
        if (stops != 0) {
            taken = static_cast<unsigned>(std::countr_zero(stops));
            if (taken == 0)
                break;
        }
        const __m128i decoded =
            _mm_or_si128(_mm_and_si128(escapes, values), _mm_andnot_si128(escapes, chars));
        const unsigned dropped = escapeMarks << 1 | escapeMarks << 2 | softBreaks |
                                 softBreaks << 1 | crLfSoftBreaks | crLfSoftBreaks << 1 |
                                 crLfSoftBreaks << 2;
        const unsigned kept = ~dropped & ((1u << taken) - 1u);
        const unsigned lowKept = kept & 0xFFu;
        const unsigned highKept = kept >> 8;
        const __m128i shuffle = _mm_set_epi64x(
            static_cast<long long>(kCompactHalves.shuffles[highKept] + 0x0808080808080808ULL),
            static_cast<long long>(kCompactHalves.shuffles[lowKept]));
        const __m128i squeezed = _mm_shuffle_epi8(decoded, shuffle);
        const std::size_t lowCount = kCompactHalves.counts[lowKept];
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + o), squeezed);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + o + lowCount),
                         _mm_unpackhi_epi64(squeezed, squeezed));
        i += taken;
        o += lowCount + kCompactHalves.counts[highKept];
        blankInFront = blankBefore >> taken & 1u;
    }
    return DecodedRun{i, o};
}

// haveVectorBase64 - the processor has SSSE3; asked once.
bool haveVectorBase64() {
    return cpuHasSsse3();
}
#endif

}  // namespace

// decodeBase64Groups - sixteen characters per step where the processor
// allows, then two groups per step while eight bytes and room for
// six are left, then single groups.
DecodedRun decodeBase64Groups(const char* in, std::size_t size, char* out, std::size_t room) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(in);
    std::size_t i = 0;
    std::size_t o = 0;
#if defined(TARNWICK_BASE64_VECTOR)
    if (haveVectorBase64()) {
        i = decodeBase64Vectors(in, size, out, room);
        o = i / 4 * 3;
    }
#endif
    while (size - i >= 8 && room - o >= 6) {
        const std::uint32_t first = groupBits(bytes + i);
        const std::uint32_t second = groupBits(bytes + i + 4);
        if ((first | second) >= kGroupLimit)
            break;
        putGroup(first, out + o);
        putGroup(second, out + o + 3);
        i += 8;
        o += 6;
    }
    while (size - i >= 4 && room - o >= 3) {
        const std::uint32_t bits = groupBits(bytes + i);
        if (bits >= kGroupLimit)
            break;
        putGroup(bits, out + o);
        i += 4;
        o += 3;
    }
    return DecodedRun{i, o};
}

namespace {

// copyPlainBytes - copies the bytes before the first "=", CR or LF of in,
// whole steps only (a shorter tail is left to the caller), and returns how
// many those were. Each step is stored before it is tested: only the bytes
// before a special one count.
std::size_t copyPlainBytes(const char* in, std::size_t size, char* out, std::size_t room) {
    std::size_t done = 0;
#if defined(__SSE2__)
    // Sixteen bytes a step where the compiler may use SSE2 everywhere.
    for (; size - done >= 16 && room - done >= 16; done += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + done), bytes);
        const int marks = _mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('=')),
                         _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')),
                                      _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')))));
        if (marks != 0)
            return done + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(marks)));
    }
#endif
    for (; size - done >= kWordBytes && room - done >= kWordBytes; done += kWordBytes) {
        std::uint64_t word;
        std::memcpy(&word, in + done, kWordBytes);
        std::memcpy(out + done, &word, kWordBytes);
        const std::uint64_t marks = specialBytes(word);
        if (marks != 0)
            return done + plainBytesBefore(marks);
    }
    return done;
}

}  // namespace

// decodeQuotedPrintableRun - sixteen bytes a step where the processor
// allows, else plain stretches by copyPlainBytes; the rest of the input a
// byte at a time, escapes and soft line breaks decoded in place.
DecodedRun decodeQuotedPrintableRun(const char* in, std::size_t size, char* out, std::size_t room,
                                    QuotedPrintableRules rules) {
    std::size_t i = 0;
    std::size_t o = 0;
    while (i < size && o < room) {
#if defined(TARNWICK_BASE64_VECTOR)
        if (haveVectorBase64()) {
            const DecodedRun run = decodeQuotedPrintableVectors(in + i, size - i, out + o, room - o,
                                                                rules, i > 0 && isBlank(in[i - 1]));
            i += run.consumed;
            o += run.produced;
            if (i == size || o == room)
                break;
        }
#endif
        const std::size_t plain = copyPlainBytes(in + i, size - i, out + o, room - o);
        i += plain;
        o += plain;
        if (i == size || o == room)
            break;
        const char c = in[i];
        if (c == '\r' || c == '\n') {
            if (i > 0 && isBlank(in[i - 1]))
                break;
            out[o++] = c;
            ++i;
            continue;
        }
        if (c != '=') {
            out[o++] = c;
            ++i;
            continue;
        }
        const std::size_t softBreak = softBreakLength(in + i, size - i, rules);
        if (softBreak != 0) {
            i += softBreak;
            continue;
        }
        if (size - i < 3)
            break;
        const unsigned high = kHexDigitValue[static_cast<unsigned char>(in[i + 1])];
        const unsigned low = kHexDigitValue[static_cast<unsigned char>(in[i + 2])];
        if ((high | low) >= 16)
            break;
        const unsigned value = high << 4 | low;
        i += 3;
        if (rules.dropCarriageReturn && value == kCarriageReturn)
            continue;
        out[o++] = static_cast<char>(value);
    }
    return DecodedRun{i, o};
}

// decodeUuGroups - see the header; four groups a step where the processor
// allows, then plain arithmetic, no table.
void decodeUuGroups(const char* in, std::size_t groups, char* out) {
    std::size_t g = 0;
#if defined(TARNWICK_BASE64_VECTOR)
    if (haveVectorBase64())
        g = decodeUuVectors(in, groups, out);
#endif
    const auto* bytes = reinterpret_cast<const unsigned char*>(in) + 4 * g;
    out += 3 * g;
    for (; g < groups; ++g, bytes += 4, out += 3) {
        const std::uint32_t bits = ((bytes[0] - 32u) & 63u) << 18 | ((bytes[1] - 32u) & 63u) << 12 |
                                   ((bytes[2] - 32u) & 63u) << 6 | ((bytes[3] - 32u) & 63u);
        putGroup(bits, out);
    }
}

}  // namespace tarnwick::codec
