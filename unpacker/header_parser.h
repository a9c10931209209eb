// SPDX-License-Identifier: Apache-2.0
// header_parser.h - reading a header block and the three fields the walker
// needs: the content type with its parameters, the transfer encoding and
// the disposition's file name.
//
// Everything else in a header block is read and ignored. The results are
// plain C strings (const char*, nullptr meaning "none") that point into
// process-wide buffers: they stay valid until the next call of the function
// that filled them (readHeaderBlock for HeaderFields, splitContentType for
// the type and parameters, findParameter and findDispositionFilename for
// their values). The buffers grow as needed, at most to what the kept part
// of one header block (kMaxKeptHeaderBytes) needs, and releaseHeaderBuffers
// gives back what one message grew; like the rest of the unpacker they rely
// on one call at a time in the whole process.
//
// A zero byte inside a header line is stored with the line, but every field
// value is read as a C string, so a value ends at such a byte.
//
// Deliberately not done: character sets, RFC 2231 (filename*=) decoding,
// encoded words. Malformed fields degrade to "none"; nothing is reported.
#pragma once

#include <cstddef>
#include <string_view>

#include "codec/transfer_encoding.h"
#include "unpacker/part_reader.h"

namespace tarnwick::unpacker {

// At most this many bytes of one header block are kept (its lines from the
// first on, the last kept line possibly cut short). The rest of the block is
// read and dropped: the block still ends where it would, but fields that
// start beyond this are not seen. This bounds the header memory of any
// input; real header blocks are far smaller.
constexpr std::size_t kMaxKeptHeaderBytes = 1024 * 1024;

// TransferEncoding - how a body is encoded (codec/transfer_encoding.h). This
// reading names only QuotedPrintable and Base64: 7bit, 8bit, binary and every
// other name, uuencode's included, are Identity.
using codec::TransferEncoding;

// HeaderFields - what readHeaderBlock found. The positions point into the
// header buffer, whose text runs on to the end of the block (later lines
// included) and ends with a zero byte.
struct HeaderFields {
    // Start of the last Content-Type value (after blanks and comments), or
    // nullptr when there is none or it is empty.
    const char* contentType = nullptr;
    TransferEncoding transferEncoding = TransferEncoding::Identity;
    // Start of the last Content-Disposition value, or nullptr.
    const char* disposition = nullptr;
};

// readHeaderBlock - reads one header block from the reader, which must stand
// at its first line. The block ends at an empty line (consumed, not
// stored), at the end of part, or at the first line that is neither a header
// line nor a continuation line (put back: it is the first body line). The
// reader is left at the first byte of the body. Only the first
// kMaxKeptHeaderBytes of the block are kept and searched for the fields.
HeaderFields readHeaderBlock(PartReader& reader);

// releaseHeaderBuffers - gives back the memory the buffers grew during one
// message and puts the header buffer back at its first size, so the next
// message is read as if it were the first. Every position handed out
// before becomes invalid. unpackMessage calls it when it is done.
void releaseHeaderBuffers();

// isHeaderLine - true when text begins with one or more printable bytes
// (33..126) other than ':' directly followed by ':'. This is the test
// readHeaderBlock applies to the start of every line.
bool isHeaderLine(std::string_view text);

// skipBlanksAndComments - steps over whitespace, folded line ends and
// (nested) comments from position on. Returns the next meaningful byte, or
// nullptr when the field ends first (a newline not followed by a blank or
// tab, an unclosed comment, the terminating zero). position may be nullptr
// (yields nullptr).
const char* skipBlanksAndComments(const char* position);

// ContentType - a content type split by splitContentType.
struct ContentType {
    // The compacted type ("text/plain" from "text / plain (x)"); never
    // nullptr, possibly empty.
    const char* type = "";
    // nullptr when the field has no ';'; otherwise an array of raw entries
    // ("name=value" as written) ended by a nullptr entry (possibly at once).
    const char* const* parameters = nullptr;
};

// splitContentType - copies the Content-Type field that begins at
// contentType (a HeaderFields position, up to the end of the field) and
// splits it into the compacted type and the parameter entries. nullptr in
// yields an empty type and no list.
ContentType splitContentType(const char* contentType);

// findParameter - the value of the first entry named name (ASCII
// case-insensitive), quotes removed and backslash escapes resolved; an
// empty quoted value yields "". nullptr when there is no list, no such
// entry, no '=' or an unclosed quote.
const char* findParameter(const char* const* parameters, std::string_view name);

// findDispositionFilename - the value of a "filename" parameter found after
// a ';' from disposition on (the search runs on through the rest of the
// header block); "filename*=" does not count. nullptr when disposition is
// nullptr or nothing is found.
const char* findDispositionFilename(const char* disposition);

// classifyEncoding - the TransferEncoding named by text (the text after the
// colon of a Content-Transfer-Encoding field).
TransferEncoding classifyEncoding(const char* text);

}  // namespace tarnwick::unpacker
