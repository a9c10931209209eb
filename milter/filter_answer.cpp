// SPDX-License-Identifier: Apache-2.0
// filter_answer.cpp - answer lines, quoted texts and header fields.
#include "milter/filter_answer.h"

#include <array>
#include <utility>

namespace tarnwick::milter {

namespace {

// The largest request number the protocol carries.
constexpr std::uint64_t maxRequestId = 0xFFFFFFFFull;

// The kind words, exactly as the filter writes them.
constexpr std::array<std::pair<std::string_view, AnswerKind>, 7> kindWords{{
    {"OK", AnswerKind::Ok},
    {"ADDHEADER", AnswerKind::AddHeader},
    {"REJECTED", AnswerKind::Rejected},
    {"ERROR", AnswerKind::Error},
    {"DISCARD", AnswerKind::Discard},
    {"FAILURE", AnswerKind::Failure},
    {"INTF", AnswerKind::Intf},
}};

// kindOf - the kind a word names.
AnswerKind kindOf(std::string_view word) {
    for (const auto& [text, kind] : kindWords) {
        if (word == text)
            return kind;
    }
    return AnswerKind::Unknown;
}

// carriesQuotedText - the kinds followed by a double-quoted text.
bool carriesQuotedText(AnswerKind kind) {
    return kind == AnswerKind::AddHeader || kind == AnswerKind::Rejected ||
           kind == AnswerKind::Error;
}

// quotedContent - what lies between the first and the last double quote of
// rest, or the whole of rest when it is not quoted.
std::string_view quotedContent(std::string_view rest) {
    if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"')
        return rest.substr(1, rest.size() - 2);
    return rest;
}

// The log lines the filter writes together with an answer.
constexpr std::array<std::string_view, 5> answerLogLines{
    "* OK", "* Postponing message", "* Rejecting message", "* Discarding message",
    "* Adding Header(s) to message"};

}  // namespace

bool isLogLine(std::string_view line) {
    return line.size() >= 2 && line[0] == '*' && line[1] == ' ';
}

std::optional<std::uint32_t> logLineRequest(std::string_view line) {
    constexpr std::string_view opening = "* (";
    if (line.substr(0, opening.size()) != opening)
        return std::nullopt;
    std::size_t close = line.find(')', opening.size());
    if (close == std::string_view::npos)
        return std::nullopt;
    // The number is read as an answer's would be.
    std::optional<FilterAnswer> number =
        parseAnswer(std::string(line.substr(opening.size(), close - opening.size())) + " OK");
    if (!number)
        return std::nullopt;
    return number->requestId;
}

bool isAnswerLogLine(std::string_view line) {
    for (std::string_view known : answerLogLines) {
        if (line == known)
            return true;
    }
    return false;
}

std::optional<FilterAnswer> parseAnswer(std::string_view line) {
    std::size_t digits = 0;
    std::uint64_t number = 0;
    while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') {
        number = number * 10 + static_cast<std::uint64_t>(line[digits] - '0');
        if (number > maxRequestId)
            return std::nullopt;
        ++digits;
    }
    if (digits == 0 || digits >= line.size() || line[digits] != ' ')
        return std::nullopt;
    std::string_view rest = line.substr(digits + 1);
    std::size_t wordEnd = rest.find(' ');
    std::string_view word = rest.substr(0, wordEnd);
    std::string_view argument =
        wordEnd == std::string_view::npos ? std::string_view() : rest.substr(wordEnd + 1);

    FilterAnswer answer;
    answer.requestId = static_cast<std::uint32_t>(number);
    answer.kind = kindOf(word);
    if (carriesQuotedText(answer.kind))
        answer.text = unescapeText(quotedContent(argument));
    else
        answer.text = std::string(argument);
    return answer;
}

std::string unescapeText(std::string_view text) {
    std::string plain;
    plain.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 == text.size()) {
            plain += c;
            continue;
        }
        char next = text[i + 1];
        if (next == '\\' || next == '"') {
            plain += next;
        } else if (next == 't') {
            plain += '\t';
        } else if (next == 'e') {
            plain += '\n';
        } else {
            plain += c;  // not an escape: the backslash stays, the next byte is read normally
            continue;
        }
        ++i;
    }
    return plain;
}

std::vector<HeaderField> splitHeaderFields(std::string_view text) {
    std::vector<HeaderField> fields;
    bool lastKept = false;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty())
            continue;
        if (line.front() == ' ' || line.front() == '\t') {
            if (lastKept)
                fields.back().value += "\n" + std::string(line);
            continue;
        }
        std::size_t colon = line.find(':');
        lastKept = colon != std::string_view::npos && colon > 0;
        if (!lastKept)
            continue;
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        fields.push_back({std::string(line.substr(0, colon)), std::string(value)});
    }
    return fields;
}

}  // namespace tarnwick::milter
