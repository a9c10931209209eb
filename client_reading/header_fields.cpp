// SPDX-License-Identifier: Apache-2.0
// header_fields.cpp - lenient header fields and their parameters.
//
// Only three fields decide how a part is read, so only they are kept; all
// other fields are recognised just far enough to know where they end.
#include "client_reading/header_fields.h"

#include <algorithm>
#include <map>

#include "client_reading/charsets.h"
#include "codec/alphabets.h"

namespace tarnwick::client_reading {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// percentDecoded - RFC 2231 %XX escapes replaced by their bytes.
std::string percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && codec::hexValue(text[i + 1]) >= 0 &&
            codec::hexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(codec::hexValue(text[i + 1]) * 16 +
                                            codec::hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// base64Decoded - a lenient base64 decoding for encoded words.
std::string base64Decoded(std::string_view text) {
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const unsigned v = codec::kBase64Value[static_cast<unsigned char>(c)];
        if (v >= 64)
            continue;  // padding and stray bytes
        bits = (bits << 6) | v;
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xff));
        }
    }
    return out;
}

// encodedWordAt - when an encoded word starts at text[at], its decoded bytes
// and its length.
bool encodedWordAt(std::string_view text, std::size_t at, std::string& decoded, std::size_t& length,
                   bool inUtf8) {
    if (text.substr(at, 2) != "=?")
        return false;
    const std::size_t charsetEnd = text.find('?', at + 2);
    if (charsetEnd == std::string_view::npos || charsetEnd + 2 >= text.size() ||
        text[charsetEnd + 2] != '?')
        return false;
    const char encoding = lowerAscii(text[charsetEnd + 1]);
    if (encoding != 'b' && encoding != 'q')
        return false;
    const std::size_t dataBegin = charsetEnd + 3;
    const std::size_t dataEnd = text.find("?=", dataBegin);
    if (dataEnd == std::string_view::npos)
        return false;
    const std::string_view data = text.substr(dataBegin, dataEnd - dataBegin);
    if (encoding == 'b') {
        decoded = base64Decoded(data);
    } else {
        decoded.clear();
        for (std::size_t i = 0; i < data.size(); ++i) {
            if (data[i] == '_') {
                decoded.push_back(' ');
            } else if (data[i] == '=' && i + 2 < data.size() && codec::hexValue(data[i + 1]) >= 0 &&
                       codec::hexValue(data[i + 2]) >= 0) {
                decoded.push_back(static_cast<char>(codec::hexValue(data[i + 1]) * 16 +
                                                    codec::hexValue(data[i + 2])));
                i += 2;
            } else {
                decoded.push_back(data[i]);
            }
        }
    }
    length = dataEnd + 2 - at;
    if (inUtf8) {
        // The charset may carry a language after "*" (RFC 2231).
        std::string_view charset = text.substr(at + 2, charsetEnd - at - 2);
        charset = charset.substr(0, charset.find('*'));
        std::string converted;
        if (toUtf8(charset, decoded, converted))
            decoded.swap(converted);
    }
    return true;
}

}  // namespace

bool looksLikeFieldLine(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return false;
    const std::string_view name = trimBlanks(line.substr(0, colon));
    if (name.empty() || isBlank(line.front()))
        return false;
    return std::none_of(name.begin(), name.end(), isBlank);
}

void HeaderBlock::ShortValue::keep(char c, std::string& out) {
    const std::size_t limit = state_ == State::Type ? kMaxKeptTypeBytes : kMaxKeptParameterBytes;
    if (kept_ < limit && (state_ == State::Type || keeping_)) {
        out.push_back(c);
        ++kept_;
    }
}

void HeaderBlock::ShortValue::beginParameter(std::string& out) {
    // The name is complete: kept when it decides how the part is read.
    const std::string_view name = trimBlanks(name_);
    const std::string_view base = name.substr(0, name.find('*'));
    keeping_ = false;
    for (const char* wanted : {"boundary", "name", "filename", "id", "number", "charset"})
        keeping_ = keeping_ || equalsIgnoringCase(base, wanted);
    if (!keeping_)
        return;
    if (parameters_ == kMaxKeptParameters)
        out.resize(lastBegin_);  // the last one counts too: it replaces the last kept
    else
        ++parameters_;
    lastBegin_ = out.size();
    out += "; ";
    out += name;
    out += '=';
    kept_ = 0;
}

void HeaderBlock::ShortValue::add(std::string_view bytes, std::string& out) {
    for (char c : bytes) {
        switch (state_) {
            case State::Type:
                if (c == ';')
                    state_ = State::Name;
                else
                    keep(c, out);
                break;
            case State::Name:
                if (c == ';') {
                    name_.clear();  // no "=": not a parameter
                } else if (c == '=') {
                    beginParameter(out);
                    name_.clear();
                    state_ = State::BeforeValue;
                } else if (name_.size() < 64) {
                    name_.push_back(c);
                }
                break;
            case State::BeforeValue:
                if (isBlank(c))
                    break;
                if (c == ';') {
                    state_ = State::Name;
                    break;
                }
                state_ = c == '"' ? State::Quoted : State::Token;
                if (keeping_ && c == '"')
                    out.push_back(c);
                else
                    keep(c, out);
                break;
            case State::Token:
                if (c == ';')
                    state_ = State::Name;
                else
                    keep(c, out);
                break;
            case State::Quoted:
                if (c == '"') {
                    if (keeping_)
                        out.push_back(c);
                    state_ = State::AfterQuoted;
                } else if (c == '\\') {
                    state_ = State::Escape;
                } else {
                    keep(c, out);
                }
                break;
            case State::Escape:
                // The pair is kept whole or not at all.
                if (kept_ + 2 <= kMaxKeptParameterBytes) {
                    keep('\\', out);
                    keep(c, out);
                }
                state_ = State::Quoted;
                break;
            case State::AfterQuoted:
                if (c == ';')
                    state_ = State::Name;
                break;
        }
    }
}

void HeaderBlock::appendValue(std::string_view bytes) {
    if (!inShort_ && value_.size() + bytes.size() <= kMaxFieldBytes) {
        value_.append(bytes);
        return;
    }
    if (!inShort_) {
        // Too long to keep whole: from here on it is kept in short.
        inShort_ = true;
        short_ = ShortValue();
        std::string whole;
        whole.swap(value_);
        short_.add(whole, value_);
    }
    short_.add(bytes, value_);
}

void HeaderBlock::addToLine(std::string_view more) {
    if (gathering_ && current_ != nullptr)
        appendValue(more);
}

void HeaderBlock::addLine(std::string_view line) {
    const bool continuation = !line.empty() && isBlank(line.front());
    const std::size_t colon = line.find(':');
    if (continuation || colon == std::string_view::npos) {
        // Folded line, or a line without a colon: the previous field goes on.
        if (gathering_ && current_ != nullptr)
            appendValue(line);
        return;
    }
    commit();
    std::string_view name = line.substr(0, colon);
    const std::string_view trimmed = trimBlanks(name);
    currentSpaced_ = trimmed.size() != name.size();
    if (currentSpaced_ || trimmed.empty())
        malformedName = true;
    for (char c : trimmed)
        if (static_cast<unsigned char>(c) > 127 || static_cast<unsigned char>(c) < 33)
            malformedName = true;
    name = trimmed;
    current_ = nullptr;
    if (equalsIgnoringCase(name, "content-type"))
        current_ = &contentType;
    else if (equalsIgnoringCase(name, "content-transfer-encoding"))
        current_ = &transferEncoding;
    else if (equalsIgnoringCase(name, "content-disposition"))
        current_ = &disposition;
    gathering_ = true;
    value_.clear();
    inShort_ = false;
    if (current_ != nullptr)
        appendValue(line.substr(colon + 1));
}

void HeaderBlock::commit() {
    if (gathering_ && current_ != nullptr) {
        if (current_->count == 0)
            current_->first = value_;
        current_->last = value_;
        ++current_->count;
        if (currentSpaced_)
            ++current_->spacedCount;
    }
    gathering_ = false;
    current_ = nullptr;
}

void HeaderBlock::finish() {
    commit();
}

StructuredValue parseStructuredValue(std::string_view value) {
    StructuredValue result;
    std::size_t at = value.find(';');
    for (char c : value.substr(0, at))
        if (!isBlank(c) && c != '"')
            result.type.push_back(lowerAscii(c));
    while (at != std::string_view::npos && at < value.size()) {
        ++at;  // past ';'
        while (at < value.size() && (isBlank(value[at]) || value[at] == ';'))
            ++at;
        const std::size_t equals = value.find_first_of("=;", at);
        if (equals == std::string_view::npos || value[equals] == ';') {
            at = equals;
            continue;
        }
        Parameter parameter;
        for (char c : trimBlanks(value.substr(at, equals - at)))
            parameter.name.push_back(lowerAscii(c));
        std::size_t position = equals + 1;
        while (position < value.size() && isBlank(value[position]))
            ++position;
        const std::size_t rawBegin = position;
        if (position < value.size() && value[position] == '"') {
            ++position;
            while (position < value.size() && value[position] != '"') {
                if (value[position] == '\\' && position + 1 < value.size())
                    ++position;
                parameter.value.push_back(value[position++]);
            }
            if (position < value.size())
                ++position;  // closing quote
            at = value.find(';', position);
            parameter.raw.assign(trimBlanks(value.substr(rawBegin, position - rawBegin)));
            const std::string_view whole = trimBlanks(
                value.substr(rawBegin, at == std::string_view::npos ? at : at - rawBegin));
            if (whole.size() != parameter.raw.size())
                parameter.whole.assign(whole);
        } else {
            at = value.find(';', position);
            const std::string_view token =
                value.substr(position, at == std::string_view::npos ? at : at - position);
            parameter.raw.assign(token);
            parameter.value.assign(trimBlanks(token));
        }
        // Blanks at the end of a value never survive a delimiter line match.
        while (!parameter.value.empty() && isBlank(parameter.value.back()))
            parameter.value.pop_back();
        while (!parameter.raw.empty() && isBlank(parameter.raw.back()))
            parameter.raw.pop_back();
        if (!parameter.name.empty())
            result.parameters.push_back(std::move(parameter));
    }
    return result;
}

std::vector<std::string> parameterValues(const StructuredValue& value, std::string_view name) {
    std::vector<std::string> values;
    // RFC 2231 sections by number, first occurrence of each number wins.
    std::map<int, std::pair<std::string, bool>> sections;
    for (const Parameter& parameter : value.parameters) {
        const std::string_view full = parameter.name;
        if (full == name) {
            values.push_back(parameter.value);
            continue;
        }
        if (full.size() <= name.size() || full.substr(0, name.size()) != name ||
            full[name.size()] != '*')
            continue;
        std::string_view suffix = full.substr(name.size() + 1);
        const bool encoded = !suffix.empty() && suffix.back() == '*';
        if (encoded)
            suffix.remove_suffix(1);
        int number = 0;
        if (!suffix.empty()) {
            if (suffix.size() > 6 || !std::all_of(suffix.begin(), suffix.end(),
                                                  [](char c) { return c >= '0' && c <= '9'; }))
                continue;
            number = std::stoi(std::string(suffix));
        }
        const bool bareStar = full.size() == name.size() + 1;
        sections.emplace(number, std::make_pair(parameter.value, encoded || bareStar));
    }
    if (!sections.empty()) {
        std::string joined;
        bool firstSection = true;
        for (auto& [number, section] : sections) {
            std::string_view text = section.first;
            if (section.second) {
                if (firstSection) {
                    // charset'language'data
                    const std::size_t quote1 = text.find('\'');
                    const std::size_t quote2 =
                        quote1 == std::string_view::npos ? quote1 : text.find('\'', quote1 + 1);
                    if (quote2 != std::string_view::npos)
                        text.remove_prefix(quote2 + 1);
                }
                joined += percentDecoded(text);
            } else {
                joined += text;
            }
            firstSection = false;
        }
        values.push_back(std::move(joined));
    }
    return values;
}

std::string parameterCharset(const StructuredValue& value, std::string_view name) {
    // The first section, "name*" or "name*0*", carries it.
    for (const Parameter& parameter : value.parameters) {
        const std::string_view full = parameter.name;
        if (full.size() <= name.size() || full.substr(0, name.size()) != name)
            continue;
        const std::string_view suffix = full.substr(name.size());
        if (suffix != "*" && suffix != "*0*")
            continue;
        const std::size_t quote = parameter.value.find('\'');
        if (quote != std::string::npos)
            return parameter.value.substr(0, quote);
    }
    return std::string();
}

std::vector<std::string> rawParameterValues(const StructuredValue& value, std::string_view name) {
    std::vector<std::string> values;
    for (const Parameter& parameter : value.parameters)
        if (parameter.name == name)
            values.push_back(parameter.raw);
    return values;
}

bool parameterGivenTwice(const StructuredValue& value) {
    std::vector<std::string_view> names;
    for (const Parameter& parameter : value.parameters)
        names.push_back(parameter.name);
    std::sort(names.begin(), names.end());
    return std::adjacent_find(names.begin(), names.end()) != names.end();
}

std::string decodeEncodedWords(std::string_view text, bool inUtf8) {
    if (text.find("=?") == std::string_view::npos)
        return std::string(text);  // no encoded word can begin anywhere
    std::string out;
    std::string decoded;
    std::size_t length = 0;
    std::size_t blanksAfterWord = std::string_view::npos;  // where blanks after a word began
    for (std::size_t i = 0; i < text.size();) {
        if (encodedWordAt(text, i, decoded, length, inUtf8)) {
            if (blanksAfterWord != std::string_view::npos)
                out.resize(blanksAfterWord);  // blanks between two words go
            out += decoded;
            i += length;
            blanksAfterWord = out.size();
            continue;
        }
        if (!isBlank(text[i]))
            blanksAfterWord = std::string_view::npos;
        out.push_back(text[i++]);
    }
    return out;
}

std::string lowerTrimmed(std::string_view text) {
    std::string out;
    for (char c : trimBlanks(text))
        if (c != '"')
            out.push_back(lowerAscii(c));
    return out;
}

}  // namespace tarnwick::client_reading
