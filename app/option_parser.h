// SPDX-License-Identifier: Apache-2.0
// option_parser.h - the strict reading of a command line shared by tarnwick,
// tarnwick-unpack, tarnwick-scan and tarnwick-milter: known options,
// operands, and one error text for anything else.
//
// A word that starts with '-' is an option, unless it is "-" alone or an
// integer ("-3" is a negative number, an operand); after "--" every word is
// an operand. An option that takes a value has it in the next word or after
// '=' ("--scan-dir=PATH", "--wait=1", "-p=SOCKET"), whatever the program. An
// option may have a short spelling ("-p" for "--socket"); it is reported
// under its long name. The result is a plain value; nothing is thrown and
// nothing is printed here.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// KnownOption - one option a program knows.
struct KnownOption {
    std::string_view name;  // with its dashes: "--scan-dir"
    bool takesValue = false;
    std::string_view shortName = {};  // "-p", or empty for none
};

// GivenOption - one option as found, in command-line order.
struct GivenOption {
    std::string name;   // the known option's long name, however it was spelt
    std::string value;  // empty for an option without a value
};

// ParsedWords - the words sorted out.
struct ParsedWords {
    std::vector<GivenOption> options;
    std::vector<std::string> operands;
    // error - empty when every word was understood; else what was wrong,
    // for one line ("unknown option '-w'").
    std::string error;
};

// parseWords - sorts words (without the program name) into known options
// and operands; stops at the first word it cannot take.
ParsedWords parseWords(const std::vector<std::string>& words,
                       const std::vector<KnownOption>& known);

// isInteger - an optional sign, then one or more decimal digits, nothing else.
bool isInteger(std::string_view word);

// errorLine - the refusal line of a command line: "* Error: " and the text.
std::string errorLine(const std::string& error);

}  // namespace tarnwick
