// SPDX-License-Identifier: Apache-2.0
// header_fields.h - a part's header block as lenient mail clients read it.
//
// HeaderBlock takes the lines of one header block and keeps what the second
// reading needs: the first and the last value of Content-Type,
// Content-Transfer-Encoding and Content-Disposition (a field given twice is
// read both ways), and what looked unusual. Blanks between a field name and
// its colon are tolerated, a name with bytes above 127 is still a field, a
// line without a colon continues the previous field, NUL bytes are data.
// Values are kept whole up to kMaxFieldBytes. A longer value is kept in
// short: its type and the parameters that decide how the part is read
// (boundary, name, filename, id, number, charset, in every RFC 2231 form),
// each cut
// to kMaxKeptParameterBytes; other parameters are dropped, so no amount of
// padding pushes a boundary out of reach.
//
// The parameter helpers read "type/subtype; name=value; ..." with quoted
// strings, RFC 2231 continuations and encodings (charset'lang'%XX), and RFC
// 2047 encoded words. Character sets are converted only where asked (a
// boundary's candidates, part_readings.h); otherwise the bytes are what
// matters for comparing boundaries and deciding what is an attachment.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::client_reading {

// kMaxFieldBytes - a field value up to this size is kept as it stands;
// longer values are kept in short.
inline constexpr std::size_t kMaxFieldBytes = 16 * 1024;
// kMaxKeptTypeBytes, kMaxKeptParameterBytes, kMaxKeptParameters - what a
// value kept in short holds at most: the type, each parameter value, and
// the parameters (the first ones, and always the last one).
inline constexpr std::size_t kMaxKeptTypeBytes = 256;
inline constexpr std::size_t kMaxKeptParameterBytes = 1024;
inline constexpr std::size_t kMaxKeptParameters = 32;

// FieldValues - the first and last value of one field, and how often it came.
struct FieldValues {
    std::string first;
    std::string last;
    int count = 0;
    // Times it came with blanks between its name and the colon, a line
    // strict parsers take for no field of that name.
    int spacedCount = 0;
};

// looksLikeFieldLine - true when line opens a header field: a colon after a
// non-empty name without blanks inside (blanks before the colon allowed).
bool looksLikeFieldLine(std::string_view line);

// HeaderBlock - gathers one header block line by line.
class HeaderBlock {
  public:
    // addLine - one line of the block (no line end; not the empty line that
    // ends it), or its first bytes when addToLine follows.
    void addLine(std::string_view line);
    // addToLine - the next bytes of the line last added.
    void addToLine(std::string_view more);
    // finish - ends the block; call once, after the last addLine.
    void finish();

    FieldValues contentType;
    FieldValues transferEncoding;
    FieldValues disposition;
    // malformedName - a field name with blanks before its colon, bytes above
    // 127 or control bytes.
    bool malformedName = false;

  private:
    // ShortValue - keeps a structured value in short, byte by byte.
    class ShortValue {
      public:
        // add - the next bytes of the value; the short form goes to out.
        void add(std::string_view bytes, std::string& out);

      private:
        enum class State { Type, Name, BeforeValue, Token, Quoted, Escape, AfterQuoted };
        void beginParameter(std::string& out);
        void keep(char c, std::string& out);

        State state_ = State::Type;
        std::size_t kept_ = 0;  // bytes kept of the type or the current value
        std::string name_;
        bool keeping_ = false;  // the current parameter is kept
        std::size_t parameters_ = 0;
        std::size_t lastBegin_ = std::string::npos;  // where the last kept one begins
    };

    void commit();
    void appendValue(std::string_view bytes);

    FieldValues* current_ = nullptr;  // the field being gathered, if kept
    bool currentSpaced_ = false;      // its name has blanks before the colon
    std::string value_;
    bool gathering_ = false;
    bool inShort_ = false;
    ShortValue short_;
};

// Parameter - one "name=value" of a structured field.
struct Parameter {
    std::string name;   // lower case, with any "*N" or "*" suffix
    std::string value;  // quotes and escapes removed, trailing blanks dropped
    std::string raw;    // as written, quotes included
    // As written up to the next ";", when more follows the closing quote
    // (what clients that split at ";" first take); else empty.
    std::string whole;
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
// inUtf8: the bytes of a word in a charset charsets.h knows are converted
// to UTF-8, as clients that convert header text read them.
std::string decodeEncodedWords(std::string_view text, bool inUtf8 = false);
// parameterCharset - the charset the RFC 2231 form of parameter name names
// ("charset'lang'..."); empty when none.
std::string parameterCharset(const StructuredValue& value, std::string_view name);

// lowerTrimmed - text in ASCII lower case without surrounding blanks and
// quotes (for transfer-encoding names).
std::string lowerTrimmed(std::string_view text);

}  // namespace tarnwick::client_reading
