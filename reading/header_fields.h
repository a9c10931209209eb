// SPDX-License-Identifier: Apache-2.0
// header_fields.h - a part's header block as lenient mail clients read it.
//
// HeaderBlock takes the lines of one header block and keeps what the second
// reading needs: the first and the last value of Content-Type,
// Content-Transfer-Encoding and Content-Disposition (a field given twice is
// read both ways), and what looked unusual. Blanks between a field name and
// its colon are tolerated, a name with bytes above 127 is still a field, a
// line without a colon continues the previous field, NUL bytes are data.
// Values are kept up to kMaxFieldBytes; the rest of a longer field is
// dropped.
//
// The parameter helpers read "type/subtype; name=value; ..." with quoted
// strings, RFC 2231 continuations and encodings (charset'lang'%XX), and RFC
// 2047 encoded words. Character sets are never converted: the bytes are what
// matters for comparing boundaries and deciding what is an attachment.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::reading {

// kMaxFieldBytes - the part of one field value kept; longer values are cut.
inline constexpr std::size_t kMaxFieldBytes = 16 * 1024;

// FieldValues - the first and last value of one field, and how often it came.
struct FieldValues {
    std::string first;
    std::string last;
    int count = 0;
};

// looksLikeFieldLine - true when line opens a header field: a colon after a
// non-empty name without blanks inside (blanks before the colon allowed).
bool looksLikeFieldLine(std::string_view line);

// HeaderBlock - gathers one header block line by line.
class HeaderBlock {
  public:
    // addLine - one line of the block (no line end; not the empty line that
    // ends it). A line longer than the caller keeps is passed cut.
    void addLine(std::string_view line);
    // finish - ends the block; call once, after the last addLine.
    void finish();

    FieldValues contentType;
    FieldValues transferEncoding;
    FieldValues disposition;
    // malformedName - a field name with blanks before its colon, bytes above
    // 127 or control bytes.
    bool malformedName = false;

  private:
    void commit();

    FieldValues* current_ = nullptr;  // the field being gathered, if kept
    std::string value_;
    bool gathering_ = false;
};

// Parameter - one "name=value" of a structured field.
struct Parameter {
    std::string name;   // lower case, with any "*N" or "*" suffix
    std::string value;  // quotes and escapes removed, trailing blanks dropped
    std::string raw;    // as written, quotes included
};

// StructuredValue - "type/subtype" (lower case, blanks removed) and its
// parameters in order.
struct StructuredValue {
    std::string type;
    std::vector<Parameter> parameters;
};

// parseStructuredValue - reads a Content-Type or Content-Disposition value.
StructuredValue parseStructuredValue(std::string_view value);

// parameterValues - every reading of parameter name: each plain occurrence
// in order, then the RFC 2231 form (name*, name*0, name*1*, ...) joined and
// decoded, when present. Empty when the parameter is absent.
std::vector<std::string> parameterValues(const StructuredValue& value, std::string_view name);
// rawParameterValues - each plain occurrence as written (quotes kept).
std::vector<std::string> rawParameterValues(const StructuredValue& value, std::string_view name);
// parameterGivenTwice - true when some parameter name appears more than once.
bool parameterGivenTwice(const StructuredValue& value);

// decodeEncodedWords - replaces RFC 2047 encoded words ("=?cs?B?...?=",
// "=?cs?Q?...?=") by their bytes; blanks between two encoded words go.
std::string decodeEncodedWords(std::string_view text);

// lowerTrimmed - text in ASCII lower case without surrounding blanks and
// quotes (for transfer-encoding names).
std::string lowerTrimmed(std::string_view text);

}  // namespace tarnwick::reading
