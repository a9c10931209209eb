// SPDX-License-Identifier: Apache-2.0
// filter_answer.h - reading what the filter writes on its standard output.
//
// The bridge is a client of the helper protocol and keeps its own small
// reader: a line is either a log line ("* ..."), an answer ("<number> <kind>
// [quoted text]") or something else (taken as a log line too). Quoted texts
// are unescaped here (backslash-backslash, backslash-quote, backslash-t and
// backslash-e, the line break); an ADDHEADER text is split into header
// fields. Nothing here keeps state; every function is pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::milter {

// AnswerKind - the word after the request number.
enum class AnswerKind {
    Ok,         // " OK": accept unchanged (for FILE: not scanned)
    AddHeader,  // " ADDHEADER \"...\"": accept with the fields added
    Rejected,   // " REJECTED \"...\"": refused for now (queue full, number in use, postponed)
    Error,      // " ERROR \"...\"": reject the message
    Discard,    // " DISCARD": drop the message
    Failure,    // " FAILURE": the command was not understood
    Intf,       // " INTF <version>": the answer to INTF
    Unknown,    // any other word
};

// FilterAnswer - one answer line, its quoted text already unescaped.
struct FilterAnswer {
    std::uint32_t requestId = 0;
    AnswerKind kind = AnswerKind::Unknown;
    std::string text;  // the unescaped quoted text, or the rest of the line for INTF
};

// HeaderField - one field to add: the name and the value without the blank
// after the colon; continuation lines stay in the value, joined by LF.
struct HeaderField {
    std::string name;
    std::string value;
};

// isLogLine - true for the filter's "* " lines.
bool isLogLine(std::string_view line);

// logLineRequest - the request a log line "* (N) ..." is about, if it names one.
std::optional<std::uint32_t> logLineRequest(std::string_view line);

// isAnswerLogLine - true for the log line the filter writes together with
// each answer ("* OK", "* Adding Header(s) to message", ...), which says
// nothing the answer does not.
bool isAnswerLogLine(std::string_view line);

// parseAnswer - the answer a line holds: decimal digits (no sign, at most
// 4294967295), one blank, a kind word, then for REJECTED, ERROR and ADDHEADER
// a double-quoted text. Nothing when the line is no answer (log lines,
// "(null) FAILURE", a number that does not fit, a missing blank).
std::optional<FilterAnswer> parseAnswer(std::string_view line);

// unescapeText - the inverse of the filter's quoting: backslash followed by
// backslash, double quote, 't' or 'e' gives backslash, double quote, tab or
// LF; any other backslash is kept as it is.
std::string unescapeText(std::string_view text);

// splitHeaderFields - the fields of an ADDHEADER text (already unescaped):
// one per line "Name: value"; a line that starts with a blank or tab
// continues the field before it; lines without a colon, or with an empty
// name, are skipped.
std::vector<HeaderField> splitHeaderFields(std::string_view text);

}  // namespace tarnwick::milter
