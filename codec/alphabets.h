// SPDX-License-Identifier: Apache-2.0
// alphabets.h - the two alphabets of the transfer encodings: the value of
// each byte as a hexadecimal digit (quoted-printable, RFC 2231 and RFC 2047
// escapes) and as a base64 character. Every decoder of either reading looks
// bytes up here; what a byte outside an alphabet means is each decoder's
// own rule.
#pragma once

#include <array>

namespace tarnwick::codec {

// kHexDigitValue - the value of each byte as a hexadecimal digit of either
// case; kNotHex (16 or more) for any other byte.
inline constexpr unsigned char kNotHex = 0xF0;
inline constexpr std::array<unsigned char, 256> kHexDigitValue = [] {
    std::array<unsigned char, 256> table{};
    for (unsigned char& value : table)
        value = kNotHex;
    for (int i = 0; i < 10; ++i)
        table['0' + i] = static_cast<unsigned char>(i);
    for (int i = 0; i < 6; ++i) {
        table['A' + i] = static_cast<unsigned char>(10 + i);
        table['a' + i] = static_cast<unsigned char>(10 + i);
    }
    return table;
}();

// hexValue - the value of a hexadecimal digit of either case, -1 for any
// other byte.
inline int hexValue(char c) {
    const unsigned value = kHexDigitValue[static_cast<unsigned char>(c)];
    return value < 16 ? static_cast<int>(value) : -1;
}

// kBase64Value - the six bits of each base64 character ("A"-"Z", "a"-"z",
// "0"-"9", "+", "/"); kBase64Padding for "=", kBase64Other for any other
// byte.
inline constexpr unsigned char kBase64Padding = 64;
inline constexpr unsigned char kBase64Other = 0xFF;
inline constexpr std::array<unsigned char, 256> kBase64Value = [] {
    std::array<unsigned char, 256> table{};
    for (unsigned char& value : table)
        value = kBase64Other;
    for (int i = 0; i < 26; ++i) {
        table['A' + i] = static_cast<unsigned char>(i);
        table['a' + i] = static_cast<unsigned char>(26 + i);
    }
    for (int i = 0; i < 10; ++i)
        table['0' + i] = static_cast<unsigned char>(52 + i);
    table['+'] = 62;
    table['/'] = 63;
    table['='] = kBase64Padding;
    return table;
}();

}  // namespace tarnwick::codec
