// SPDX-License-Identifier: Apache-2.0
// decode_kernel.h - the inner loops of the transfer decodings, shared by both
// readings.
//
// Both readers decode the same encodings, but each has its own rules for
// what is unusual (a stray byte, padding, a malformed escape, a line end).
// What they agree on is the ordinary data in between: whole base64 groups of
// four alphabet characters, quoted-printable text with well-formed "=" + two
// hex digit escapes, whole uuencode groups. These functions decode only such
// ordinary data, as fast as plain C++ allows (table lookups, several bytes
// per step, no branch per byte), and stop in front of the first byte that
// is not ordinary, so that the caller's own byte-by-byte handling takes it
// from there. They keep no state: a caller that is fed its input in pieces
// calls them per piece and handles what spans a piece's end itself.
//
// Deliberately not done: anything a reader might read differently. Padding,
// bytes outside an alphabet, blanks after "=", line ends after blanks and
// partial groups are always left to the caller; where the readers' rules
// for quoted-printable differ, the caller says which it keeps.
#pragma once

#include <cstddef>

#include "codec/alphabets.h"

namespace tarnwick::codec {

// DecodedRun - how far one call got: input bytes consumed and output bytes
// written.
struct DecodedRun {
    std::size_t consumed = 0;
    std::size_t produced = 0;
};

// decodeBase64Groups - decodes whole groups of four characters of the base64
// alphabet ("A"-"Z", "a"-"z", "0"-"9", "+", "/") from the start of in, three
// bytes from each, into out. Stops in front of the first group that holds
// any other byte ("=", a line end, a blank, a stray byte), when fewer than
// four bytes are left, or when out has no room for three more bytes.
// consumed is a multiple of four and produced three quarters of it.
// REQUIRES: out has room bytes.
DecodedRun decodeBase64Groups(const char* in, std::size_t size, char* out, std::size_t room);

// QuotedPrintableRules - the two points on which the readers' quoted-
// printable differs inside what the kernel takes.
struct QuotedPrintableRules {
    // An escape that gives 13 writes nothing.
    bool dropCarriageReturn = false;
    // "=" CR LF is a soft line break, as "=" LF always is.
    bool crLfSoftBreaks = false;
};

// decodeQuotedPrintableRun - copies bytes that stand for themselves,
// decodes escapes "=" + two hex digits (either case) into the byte they
// give and drops soft line breaks whole inside in. A carriage return or line
// feed stands for itself too, unless the byte in front of it in in is a
// space or a tab. Stops in front of such a line end, in front of any other
// "=" (a soft break or escape cut by the end of in, a malformed escape), at
// the end of in, or when out is full (every input byte gives at most one
// output byte). Blanks are copied like any byte: a caller that drops blanks
// before a line end looks at the bytes in front of where this stopped
// (escapes never end in one), and starts it only where no raw blank is
// pending.
// REQUIRES: out has room bytes.
DecodedRun decodeQuotedPrintableRun(const char* in, std::size_t size, char* out, std::size_t room,
                                    QuotedPrintableRules rules);

// decodeUuGroups - decodes groups whole groups of four uuencode characters
// (each standing for (byte - 32) & 63, so the grave accent and the space
// both give 0) into three bytes each.
// REQUIRES: in holds 4 * groups bytes and out has room for 3 * groups.
void decodeUuGroups(const char* in, std::size_t groups, char* out);

}  // namespace tarnwick::codec
