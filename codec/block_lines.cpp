// SPDX-License-Identifier: Apache-2.0
// block_lines.cpp - uuencoded lines and yEnc data.
#include "codec/block_lines.h"

#include <algorithm>

#include "codec/decode_kernel.h"

namespace tarnwick::codec {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

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

}  // namespace tarnwick::codec
