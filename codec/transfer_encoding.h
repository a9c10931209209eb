// SPDX-License-Identifier: Apache-2.0
// transfer_encoding.h - the one type both readings and the account between
// them use for how a body is encoded.
//
// The first reading names only base64 and quoted-printable (its own literal
// rule, unpacker/header_parser.h); the second also uuencode, and reads the
// field's value the lenient way (transferEncodingNamed).
#pragma once

#include <string_view>

namespace tarnwick::codec {

// TransferEncoding - the encodings undone; Identity is a body taken as it
// stands (7bit, 8bit, binary and every unknown name).
enum class TransferEncoding { Identity, QuotedPrintable, Base64, Uuencode };

// transferEncodingNamed - the encoding a Content-Transfer-Encoding value
// names as lenient clients read it (case, surrounding blanks and quotes
// ignored): "base64", "quoted-printable", "x-uuencode", "x-uue", "uuencode",
// "uue"; anything else is Identity.
TransferEncoding transferEncodingNamed(std::string_view value);

}  // namespace tarnwick::codec
