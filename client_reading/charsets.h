// SPDX-License-Identifier: Apache-2.0
// charsets.h - text of a few character sets as UTF-8, for comparing a
// boundary the way clients that convert header text do.
//
// A boundary given in RFC 2231 form ("charset'lang'%XX...") or as an RFC 2047
// encoded word names its character set; some clients convert it to UTF-8
// before they look for its delimiter lines, and so does this reading, as one
// more boundary candidate beside the bytes as given. Raw 8-bit bytes that are
// no UTF-8 are taken as ISO-8859-1. Only the character sets that change an
// ASCII-looking boundary's bytes are known: ISO-8859-1 and its aliases,
// UTF-7, UTF-16 (big endian unless a byte order mark or the name says
// otherwise), UTF-32 and the EBCDIC code pages 037 and 500. Any other set
// converts nothing.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick::client_reading {

// toUtf8 - bytes in charset (any case) as UTF-8 into out; false (out
// untouched) when the set is not known here or is UTF-8 or ASCII already.
// A sequence that cannot be converted becomes U+FFFD.
bool toUtf8(std::string_view charset, std::string_view bytes, std::string& out);

// isUtf8 - bytes are well-formed UTF-8 (ASCII included).
bool isUtf8(std::string_view bytes);

}  // namespace tarnwick::client_reading
