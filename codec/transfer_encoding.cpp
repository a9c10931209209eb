// SPDX-License-Identifier: Apache-2.0
// transfer_encoding.cpp - the lenient reading of an encoding's name.
#include "codec/transfer_encoding.h"

#include <string>

namespace tarnwick::codec {

TransferEncoding transferEncodingNamed(std::string_view value) {
    std::string name;
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    for (char c : value)
        if (c != '"')
            name.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
    if (name == "base64")
        return TransferEncoding::Base64;
    if (name == "quoted-printable")
        return TransferEncoding::QuotedPrintable;
    if (name == "x-uuencode" || name == "x-uue" || name == "uuencode" || name == "uue")
        return TransferEncoding::Uuencode;
    return TransferEncoding::Identity;
}

}  // namespace tarnwick::codec
