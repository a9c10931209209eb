// SPDX-License-Identifier: Apache-2.0
// part_readings.cpp - the readings of one header block.
#include "client_reading/part_readings.h"

#include <algorithm>

#include "client_reading/charsets.h"
#include "client_reading/siphash.h"

namespace tarnwick::client_reading {

namespace {

void addUnique(std::vector<std::string>& list, const std::string& value) {
    if (value.empty())
        return;
    std::string key = boundaryKey(value);
    if (std::find(list.begin(), list.end(), key) == list.end())
        list.push_back(std::move(key));
}

// distinctValues - the first and the last value of a field (one when equal
// or given once; an empty string when absent), then each of them with its
// RFC 2047 encoded words decoded when that differs: clients that decode a
// whole header field read a structural value written that way too; and an
// empty string when every one had blanks before its colon, for the strict
// clients to which the field is absent.
std::vector<std::string> distinctValues(const FieldValues& field) {
    if (field.count == 0)
        return {std::string()};
    std::vector<std::string> values{field.first};
    if (field.count > 1 && field.first != field.last)
        values.push_back(field.last);
    if (field.spacedCount == field.count)
        values.push_back(std::string());
    for (std::size_t i = 0, given = values.size(); i < given; ++i) {
        if (values[i].find("=?") == std::string::npos)
            continue;  // no encoded word: decoding changes nothing
        std::string decoded = decodeEncodedWords(values[i]);
        if (std::find(values.begin(), values.end(), decoded) == values.end())
            values.push_back(std::move(decoded));
    }
    return values;
}

bool isBlankByte(char c) {
    return c == ' ' || c == '\t';
}

// boundaryCandidates - every spelling of the boundary clients use: the
// first and the last value (the RFC 2231 form counts as the last), each as
// written with its quotes too, and with encoded words decoded.
std::vector<std::string> boundaryCandidates(const StructuredValue& value) {
    const std::vector<std::string> plain = parameterValues(value, "boundary");
    const std::vector<std::string> raw = rawParameterValues(value, "boundary");
    std::vector<std::string> candidates;
    if (!plain.empty()) {
        addUnique(candidates, plain.front());
        addUnique(candidates, plain.back());
    }
    if (!raw.empty()) {
        addUnique(candidates, raw.front());
        addUnique(candidates, raw.back());
        // Blanks at the end inside the quotes, kept by some clients: then
        // only a delimiter line with those blanks matches, and "--" after
        // them closes.
        // Quotes inside the value: the whole of it to the ";", outer quotes
        // dropped, as clients that split at ";" first read it.
        for (const Parameter& parameter : value.parameters) {
            std::string_view whole = parameter.whole;
            if (parameter.name != "boundary" || whole.empty())
                continue;
            if (whole.size() > 1 && whole.front() == '"' && whole.back() == '"')
                whole = whole.substr(1, whole.size() - 2);
            while (!whole.empty() && isBlankByte(whole.back()))
                whole.remove_suffix(1);
            addUnique(candidates, std::string(whole));
        }
        for (const std::string* given : {&raw.front(), &raw.back()}) {
            const std::string_view text = *given;
            if (text.size() > 3 && text.front() == '"' && text.back() == '"' &&
                isBlankByte(text[text.size() - 2]) && text.find('\\') == std::string_view::npos)
                addUnique(candidates, std::string(text.substr(1, text.size() - 2)));
        }
    }
    if (!plain.empty()) {
        addUnique(candidates, decodeEncodedWords(plain.front()));
        addUnique(candidates, decodeEncodedWords(plain.back()));
        // Clients that convert header text to UTF-8 first: the RFC 2231
        // form from its charset, encoded words from theirs, raw 8-bit
        // bytes that are no UTF-8 from ISO-8859-1.
        std::string converted;
        if (toUtf8(parameterCharset(value, "boundary"), plain.back(), converted))
            addUnique(candidates, converted);
        for (const std::string* given : {&plain.front(), &plain.back()}) {
            if (given->find("=?") != std::string::npos)
                addUnique(candidates, decodeEncodedWords(*given, true));
            if (!isUtf8(*given) && toUtf8("iso-8859-1", *given, converted))
                addUnique(candidates, converted);
        }
    }
    return candidates;
}

// isWideCharset - a charset whose text is full of NUL and control bytes.
bool isWideCharset(const StructuredValue& value) {
    for (const std::string& charset : parameterValues(value, "charset")) {
        const std::string lowered = lowerTrimmed(charset);
        for (const char* wide :
             {"utf-16", "utf16", "utf-32", "utf32", "ucs-2", "ucs2", "ucs-4", "ucs4"})
            if (lowered.compare(0, std::string_view(wide).size(), wide) == 0)
                return true;
    }
    return false;
}

bool hasFileName(const StructuredValue& value, std::string_view name) {
    // Most parts give the parameter plainly or not at all; only a name
    // with a "*" after it needs the full reading of RFC 2231 sections.
    bool sectioned = false;
    for (const Parameter& parameter : value.parameters) {
        if (parameter.name == name)
            return true;
        sectioned = sectioned || (parameter.name.size() > name.size() &&
                                  parameter.name.compare(0, name.size(), name) == 0 &&
                                  parameter.name[name.size()] == '*');
    }
    return sectioned && !parameterValues(value, name).empty();
}

// encodingsOf - every transfer encoding parsers read in value, each once:
// the lenient reading first (blanks and quotes dropped, case ignored); then
// the strict one, for which a name in quotes or with blanks after it names
// no encoding, so the body stands as it is; then the name before any ";"
// with comments dropped, as parsers that read the field as a structured
// one take it, and its first word.
std::vector<codec::TransferEncoding> encodingsOf(std::string_view value) {
    std::vector<codec::TransferEncoding> encodings{codec::transferEncodingNamed(value)};
    const auto add = [&](codec::TransferEncoding encoding) {
        if (std::find(encodings.begin(), encodings.end(), encoding) == encodings.end())
            encodings.push_back(encoding);
    };
    std::string_view strict = value;
    while (!strict.empty() && isBlankByte(strict.front()))
        strict.remove_prefix(1);
    if (strict.find('"') != std::string_view::npos ||
        (!strict.empty() && isBlankByte(strict.back())))
        add(codec::TransferEncoding::Identity);
    std::string token;
    int comments = 0;  // open comments around the byte
    for (char c : value) {
        if (c == '(') {
            ++comments;
        } else if (c == ')' && comments > 0) {
            --comments;
        } else if (comments == 0) {
            if (c == ';')
                break;
            token.push_back(c);
        }
    }
    add(codec::transferEncodingNamed(token));
    // Its first word alone, as clients that stop at a blank take it.
    const std::size_t first = token.find_first_not_of(" \t");
    if (first != std::string::npos)
        add(codec::transferEncodingNamed(
            std::string_view(token).substr(first, token.find_first_of(" \t", first) - first)));
    // Only some clients know the uuencode names other than x-uuencode: the
    // others offer the body as it stands.
    if (encodings.front() == codec::TransferEncoding::Uuencode &&
        lowerTrimmed(value) != "x-uuencode")
        add(codec::TransferEncoding::Identity);
    return encodings;
}

// firstFileName - the first value of parameter name, encoded words decoded.
std::string firstFileName(const StructuredValue& value, const char* name) {
    const std::vector<std::string> names = parameterValues(value, name);
    return names.empty() ? std::string() : decodeEncodedWords(names.front());
}

}  // namespace

std::string boundaryKey(std::string_view boundary) {
    if (boundary.size() <= kMaxBoundaryBytes)
        return std::string(boundary);
    if (boundary.size() >= kMaxExactBoundaryBytes)
        return boundaryPrefixKey(boundary);
    SipHasher hasher(processSipHashKey());
    hasher.update(reinterpret_cast<const unsigned char*>(boundary.data()), boundary.size());
    return boundaryPrefixKey(boundary) + std::to_string(hasher.finish());
}

std::string boundaryPrefixKey(std::string_view boundary) {
    return std::string(boundary.substr(0, kMaxBoundaryBytes)) + '\n';
}

std::string PartReading::key() const {
    return type + '\n' + std::to_string(static_cast<int>(encoding)) + '\n' + boundary;
}

bool isMultipartType(const std::string& type) {
    return type.compare(0, 10, "multipart/") == 0;
}

bool isReportType(const std::string& type) {
    return type == "message/delivery-status" || type == "message/global-delivery-status" ||
           type == "message/disposition-notification" ||
           type == "message/global-disposition-notification" || type == "message/feedback-report";
}

bool isTextType(const std::string& type) {
    return type.compare(0, 5, "text/") == 0;
}

PartFacts partFacts(const HeaderBlock& header, const std::string& defaultType) {
    PartFacts facts;
    std::vector<std::string> keys;  // of facts.readings
    facts.malformedName = header.malformedName;
    facts.duplicateField = header.contentType.count > 1 || header.transferEncoding.count > 1 ||
                           header.disposition.count > 1;
    for (const std::string& disposition : distinctValues(header.disposition)) {
        const StructuredValue value = parseStructuredValue(disposition);
        facts.duplicateParameter = facts.duplicateParameter || parameterGivenTwice(value);
        if (value.type == "attachment" || hasFileName(value, "filename") ||
            hasFileName(value, "name"))
            facts.named = true;
        if (facts.fileName.empty())
            facts.fileName = firstFileName(value, "filename");
    }
    for (const std::string& contentType : distinctValues(header.contentType)) {
        const StructuredValue value = parseStructuredValue(contentType);
        facts.duplicateParameter = facts.duplicateParameter || parameterGivenTwice(value);
        if (hasFileName(value, "name") || hasFileName(value, "filename"))
            facts.named = true;
        if (facts.fileName.empty())
            facts.fileName = firstFileName(value, "name");
        std::string type = value.type;
        // A type without a slash is unusable: read as text, as some clients
        // do, and as binary data, as the others offer it.
        const bool withoutSlash = !type.empty() && type.find('/') == std::string::npos;
        if (type.empty())
            type = defaultType;
        else if (withoutSlash)
            type = "text/plain";
        const std::vector<std::string> boundaries =
            isMultipartType(type) ? boundaryCandidates(value) : std::vector<std::string>{""};
        // What the value says for every encoding and boundary alike.
        PartReading common;
        common.type = type;
        common.wideCharset = isWideCharset(value);
        if (type == "message/partial") {
            const std::vector<std::string> ids = parameterValues(value, "id");
            const std::vector<std::string> numbers = parameterValues(value, "number");
            // Whole: the walker keeps a long one by a hash of all of it.
            common.partialId = ids.empty() ? std::string() : ids.front();
            if (!numbers.empty()) {
                for (char c : numbers.front().substr(0, 9))
                    if (c >= '0' && c <= '9')
                        common.partialNumber = common.partialNumber * 10 + (c - '0');
            }
        }
        std::vector<codec::TransferEncoding> encodings;
        for (const std::string& encodingValue : distinctValues(header.transferEncoding))
            for (codec::TransferEncoding encoding : encodingsOf(encodingValue))
                encodings.push_back(encoding);
        for (codec::TransferEncoding encoding : encodings) {
            for (const std::string& boundary :
                 boundaries.empty() ? std::vector<std::string>{""} : boundaries) {
                PartReading reading = common;
                reading.encoding = encoding;
                reading.boundary = boundary;
                // A non-text part is offered with the line ends it has as
                // stored, whatever its encoding says.
                reading.lineEndsMayDiffer = isTextType(type);
                PartReading binary = reading;
                binary.type = "application/octet-stream";
                binary.lineEndsMayDiffer = false;
                for (PartReading* given : {&reading, withoutSlash ? &binary : nullptr}) {
                    if (given == nullptr)
                        continue;
                    std::string key = given->key();
                    if (facts.readings.size() < kMaxPartReadings &&
                        std::find(keys.begin(), keys.end(), key) == keys.end()) {
                        keys.push_back(std::move(key));
                        facts.readings.push_back(std::move(*given));
                    }
                }
            }
        }
    }
    return facts;
}

}  // namespace tarnwick::client_reading
