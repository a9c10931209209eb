// SPDX-License-Identifier: Apache-2.0
// protocol.h - the text side of the helper protocol: line reading on files,
// field splitting, command words, request numbers and quoted texts.
//
// These functions are pure (apart from the file they read) and keep no state,
// so any thread may call them. They never write to the console and never
// unescape anything: the protocol only escapes what it sends.
// Reading lines from standard input lives in input_reader.h, because there
// the reader must never wait for a byte beyond a line end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// protocolFieldCount - the fields of a command line: request token, command
// word, argument. The last field runs to the end of the line.
inline constexpr std::size_t protocolFieldCount = 3;

// readTextLine - reads one line from a file opened in binary mode. LF, CR,
// CR LF and LF CR each end one line; the line end is not stored. Lines have
// no length limit and may hold any byte, NUL included. Returns false, with
// line empty, when the file had no byte left at all (not even a line end);
// a last line without a line end is returned as a line.
// REQUIRES: file != nullptr.
bool readTextLine(std::FILE* file, std::string& line);

// splitFields - splits line at runs of SP, CR and LF into at most maxFields
// fields. Leading separators are skipped; the last allowed field starts at
// the first non-separator after the field before it and keeps everything up
// to the end of the line, inner and trailing separators included. A line of
// separators only has no fields. REQUIRES: maxFields >= 1.
std::vector<std::string> splitFields(std::string_view line,
                                     std::size_t maxFields = protocolFieldCount);

// lowerCase - turns A-Z into a-z and leaves every other byte alone.
std::string lowerCase(std::string_view text);

// toRequestNumber - reads text as a decimal unsigned number: optional white
// space, an optional '+' or '-', then digits up to the first other byte. A
// minus negates the value modulo 2^32. No digits, or a value above
// 4294967295, gives 0. "007" is 7, "08" is 8, "abc" is 0, "-1" is 4294967295.
std::uint32_t toRequestNumber(std::string_view text);

// replaceAll - replaces every occurrence of from (non-empty) in text by to,
// scanning left to right and continuing after each inserted text, which is
// never rescanned. Returns the number of replacements.
std::size_t replaceAll(std::string& text, std::string_view from, std::string_view to);

// quoteText - the escaped text placed between the double quotes of an
// answer: the lines joined by LF, then backslash, double quote and tab
// escaped, every line break (CR LF, LF CR, LF) written as backslash 'e',
// stray CRs deleted, and runs of line breaks collapsed to one. No lines give
// the empty text. The result never holds a raw CR, LF, tab or bare quote.
std::string quoteText(const std::vector<std::string>& lines);

}  // namespace tarnwick
