// SPDX-License-Identifier: Apache-2.0
// protocol.cpp - line reading on files, field splitting, request numbers and
// quoting for the helper protocol.
#include "front/protocol.h"

namespace tarnwick {

namespace {

// isFieldSeparator - the bytes that separate fields of a command line.
bool isFieldSeparator(char byte) {
    return byte == ' ' || byte == '\r' || byte == '\n';
}

// isNumberSpace - the white space that formatted number extraction skips.
bool isNumberSpace(char byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' ||
           byte == '\r';
}

// largestRequestNumber - the largest value a request number can take; a
// longer number is not a request number and reads as 0.
constexpr std::uint64_t largestRequestNumber = 0xFFFFFFFFu;

}  // namespace

bool readTextLine(std::FILE* file, std::string& line) {
    line.clear();
    for (;;) {
        const int byte = std::getc(file);
        if (byte == EOF)
            return !line.empty();
        if (byte == '\n' || byte == '\r') {
            // On a file the second byte of a pair can always be looked at.
            const int pair = byte == '\n' ? '\r' : '\n';
            const int next = std::getc(file);
            if (next != pair && next != EOF)
                std::ungetc(next, file);
            return true;
        }
        line.push_back(static_cast<char>(byte));
    }
}

std::vector<std::string> splitFields(std::string_view line, std::size_t maxFields) {
    std::vector<std::string> fields;
    std::size_t position = 0;
    while (position < line.size() && isFieldSeparator(line[position]))
        ++position;
    while (position < line.size()) {
        std::size_t fieldEnd = line.size();
        if (fields.size() + 1 < maxFields) {
            fieldEnd = position;
            while (fieldEnd < line.size() && !isFieldSeparator(line[fieldEnd]))
                ++fieldEnd;
        }
        fields.emplace_back(line.substr(position, fieldEnd - position));
        position = fieldEnd;
        while (position < line.size() && isFieldSeparator(line[position]))
            ++position;
    }
    return fields;
}

std::string lowerCase(std::string_view text) {
    std::string result(text);
    for (char& byte : result) {
        if (byte >= 'A' && byte <= 'Z')
            byte = static_cast<char>(byte - 'A' + 'a');
    }
    return result;
}

std::uint32_t toRequestNumber(std::string_view text) {
    std::size_t position = 0;
    while (position < text.size() && isNumberSpace(text[position]))
        ++position;
    bool negative = false;
    if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
        negative = text[position] == '-';
        ++position;
    }
    std::uint64_t value = 0;
    bool anyDigit = false;
    for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position) {
        anyDigit = true;
        value = value * 10 + static_cast<std::uint64_t>(text[position] - '0');
        // Leading zeros keep the value small, so only a real overflow stops here.
        if (value > largestRequestNumber)
            return 0;
    }
    if (!anyDigit)
        return 0;
    const auto number = static_cast<std::uint32_t>(value);
    return negative ? static_cast<std::uint32_t>(0u - number) : number;
}

std::size_t replaceAll(std::string& text, std::string_view from, std::string_view to) {
    if (from.empty())
        return 0;
    std::size_t position = text.find(from);
    if (position == std::string::npos)
        return 0;
    // Built into a new string so that a text with many matches costs one pass.
    std::string result;
    result.reserve(text.size());
    std::size_t copiedUpTo = 0;
    std::size_t count = 0;
    while (position != std::string::npos) {
        result.append(text, copiedUpTo, position - copiedUpTo);
        result.append(to);
        copiedUpTo = position + from.size();
        ++count;
        position = text.find(from, copiedUpTo);
    }
    result.append(text, copiedUpTo, std::string::npos);
    text.swap(result);
    return count;
}

std::string quoteText(const std::vector<std::string>& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += '\n';
        text += lines[i];
    }
    // The order matters: backslashes first, so the escapes added below are
    // not doubled, and the two-byte line ends before the lone LF and CR.
    replaceAll(text, "\\", "\\\\");
    replaceAll(text, "\"", "\\\"");
    replaceAll(text, "\t", "\\t");
    replaceAll(text, "\r\n", "\\e");
    replaceAll(text, "\n\r", "\\e");
    replaceAll(text, "\n", "\\e");
    replaceAll(text, "\r", "");
    // One pass leaves "\e\e" where three breaks met; repeat until none is left.
    while (replaceAll(text, "\\e\\e", "\\e") > 0) {
    }
    return text;
}

}  // namespace tarnwick
