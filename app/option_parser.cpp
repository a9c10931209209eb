// SPDX-License-Identifier: Apache-2.0
// option_parser.cpp - the strict command-line reader.
#include "app/option_parser.h"

namespace tarnwick {

namespace {

constexpr std::string_view kEndOfOptions = "--";

// findKnownOption - the known option of that name, or nullptr.
const KnownOption* findKnownOption(std::string_view name, const std::vector<KnownOption>& known) {
    for (const KnownOption& option : known) {
        if (option.name == name || (!option.shortName.empty() && option.shortName == name))
            return &option;
    }
    return nullptr;
}

// isOptionWord - a word that names an option rather than an operand.
bool isOptionWord(const std::string& word) {
    return word.size() > 1 && word.front() == '-' && !isInteger(word);
}

}  // namespace

// isInteger - sign and digits only.
bool isInteger(std::string_view word) {
    if (!word.empty() && (word.front() == '+' || word.front() == '-'))
        word.remove_prefix(1);
    if (word.empty())
        return false;
    for (const char c : word) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// parseWords - options with their values, operands, or the first error.
ParsedWords parseWords(const std::vector<std::string>& words,
                       const std::vector<KnownOption>& known) {
    ParsedWords parsed;
    bool optionsEnded = false;
    for (std::size_t index = 0; index < words.size(); ++index) {
        const std::string& word = words[index];
        if (optionsEnded || !isOptionWord(word)) {
            parsed.operands.push_back(word);
            continue;
        }
        if (word == kEndOfOptions) {
            optionsEnded = true;
            continue;
        }
        const std::size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const KnownOption* option = findKnownOption(name, known);
        if (option == nullptr) {
            parsed.error = "unknown option '" + word + "'";
            return parsed;
        }
        GivenOption given{std::string(option->name), {}};
        if (equals != std::string::npos) {
            if (!option->takesValue) {
                parsed.error = "option " + name + " takes no value";
                return parsed;
            }
            given.value = word.substr(equals + 1);
        } else if (option->takesValue) {
            if (index + 1 >= words.size()) {
                parsed.error = "option " + name + " needs a value";
                return parsed;
            }
            given.value = words[++index];
        }
        parsed.options.push_back(std::move(given));
    }
    return parsed;
}

// errorLine - the one refusal line.
std::string errorLine(const std::string& error) {
    return "* Error: " + error;
}

}  // namespace tarnwick
