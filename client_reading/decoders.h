// SPDX-License-Identifier: Apache-2.0
// decoders.h - the transfer encodings as lenient mail clients undo them.
//
// Each decoder takes the raw bytes of a body (line ends included, in pieces
// of any size) and hands its output to a ByteSink as it goes, so no body is
// ever held whole. Base64 skips bytes outside its alphabet, goes on after a
// padded group and turns a final incomplete group into the bytes it holds.
// Quoted-printable reads "=" with blanks up to the line end as a soft line
// break and keeps a malformed escape as it stands. Uuencode decodes the
// first "begin" ... "end" block (for a container; the blocks of a leaf are
// all found by the embedded block scanner). Identity keeps every byte. The line-level
// helpers serve the scanner of embedded uuencoded and yEnc blocks too.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace tarnwick::client_reading {

// ByteSink - where decoded bytes go.
class ByteSink {
  public:
    virtual ~ByteSink() = default;
    virtual void write(const char* data, std::size_t size) = 0;
};

// TransferEncoding - the encodings the reader undoes; anything else is kept
// as it stands.
enum class TransferEncoding { Identity, Base64, QuotedPrintable, Uuencode };

// hexValue - the value of a hexadecimal digit of either case, -1 for any
// other byte.
int hexValue(char c);

// transferEncodingNamed - the encoding a Content-Transfer-Encoding value
// names (case and surrounding blanks ignored): "base64",
// "quoted-printable", "x-uuencode", "x-uue", "uuencode", "uue"; anything
// else (7bit, 8bit, binary, unknown) is Identity.
TransferEncoding transferEncodingNamed(std::string_view value);

// Decoder - one body being decoded.
class Decoder {
  public:
    virtual ~Decoder() = default;
    // feed - the next raw bytes of the body.
    virtual void feed(const char* data, std::size_t size) = 0;
    // finish - the body has ended: flushes what is held back.
    virtual void finish() = 0;
};

// makeDecoder - a decoder for encoding writing into sink (which must outlive it).
std::unique_ptr<Decoder> makeDecoder(TransferEncoding encoding, ByteSink& sink);

// isUuBeginLine - "begin", blanks, a mode of 3 or 4 octal digits, then a
// blank or the end of the line. With anyMode, the mode is any octal number
// as lenient readers take it: any count of digits, a sign, a "0o" prefix,
// single underscores between digits.
bool isUuBeginLine(std::string_view line, bool anyMode = false);
// looksUuencoded - line has the length its count character asks for (give
// or take the padding encoders add or drop) and only uuencode characters.
bool looksUuencoded(std::string_view line);
// isUuEndLine - "end", optionally followed by blanks.
bool isUuEndLine(std::string_view line);
// appendUuLine - appends the bytes one uuencoded line holds (its first
// character gives the count; missing characters count as zero bits).
void appendUuLine(std::string_view line, std::string& out);

// YencUnescaper - undoes yEnc data bytes: line ends are dropped, "=" escapes
// the next byte (minus 64), every byte is then reduced by 42 modulo 256.
class YencUnescaper {
  public:
    // decode - appends the bytes data holds to out.
    void decode(std::string_view data, std::string& out);
    // reset - forgets a pending "=" (at the start of a block).
    void reset() { escaped_ = false; }

  private:
    bool escaped_ = false;
};

}  // namespace tarnwick::client_reading
