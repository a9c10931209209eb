// SPDX-License-Identifier: Apache-2.0
// header_parser.cpp - header blocks, Content-Type splitting and parameter
// values.
//
// The results live in process-wide buffers reused by every call (see the
// header); that is safe only because the unpacker never runs twice at once.
// Whitespace here is space, tab, newline, VT, FF and CR; bytes of 128 and
// above are never whitespace, and case folding touches ASCII letters only.
#include "unpacker/header_parser.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace tarnwick::unpacker {
namespace {

// First size of the header buffer, and how much it grows when fewer than
// kHeaderMinimumRoom bytes are left after a stored line. A line longer than
// the room arrives in pieces, so the growth step bounds no line's length.
constexpr std::size_t kHeaderFirstSize = 1000;
constexpr std::size_t kHeaderGrowth = 1000;
constexpr std::size_t kHeaderMinimumRoom = 100;
// The header buffer never grows beyond this: it stops growing once
// kMaxKeptHeaderBytes are kept, which happens with less than the minimum
// room plus one growth step to spare.
constexpr std::size_t kHeaderBufferLimit =
    1 + kMaxKeptHeaderBytes + kHeaderMinimumRoom + kHeaderGrowth + 1;
// Pieces of a header block read beyond kMaxKeptHeaderBytes go to a scratch
// buffer of this size and are dropped; a line start is examined on its
// first kDroppedPieceSize - 1 bytes, as in a header buffer of first size.
constexpr std::size_t kDroppedPieceSize = kHeaderFirstSize;
// The content-type buffer never shrinks below this.
constexpr std::size_t kContentTypeMinimumSize = 200;
// releaseHeaderBuffers keeps buffers up to this size for the next message
// and gives larger ones back.
constexpr std::size_t kRetainedBufferBytes = 64 * 1024;

// The process-wide buffers: allocated at first use, bounded by what one
// header block may keep, and given back by releaseHeaderBuffers.
std::vector<char>& headerBuffer() {
    static std::vector<char> buffer;
    return buffer;
}
std::vector<char>& contentTypeBuffer() {
    static std::vector<char> buffer;
    return buffer;
}
std::vector<const char*>& parameterList() {
    static std::vector<const char*> list;
    return list;
}
std::string& parameterValue() {
    static std::string value;
    return value;
}
std::string& fileNameValue() {
    static std::string value;
    return value;
}

// growHeaderBuffer - one growth step of the header buffer. The capacity
// grows geometrically (linear work for a long block) but never beyond
// kHeaderBufferLimit, so a long block costs no more than that.
void growHeaderBuffer(std::vector<char>& buffer) {
    const std::size_t size = buffer.size() + kHeaderGrowth;
    if (buffer.capacity() < size)
        buffer.reserve(std::max(size, std::min(2 * buffer.capacity(), kHeaderBufferLimit)));
    buffer.resize(size);
}

// giveBackIfLarge - frees a buffer that has grown beyond
// kRetainedBufferBytes; smaller ones are kept for the next message.
template <typename Buffer>
void giveBackIfLarge(Buffer& buffer) {
    if (buffer.capacity() * sizeof(typename Buffer::value_type) > kRetainedBufferBytes)
        Buffer().swap(buffer);
}

bool isWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// startsWithNoCase - text (zero-terminated) begins with literal, ASCII
// letters folded. Stops at the first difference, so never reads past the
// terminating zero.
bool startsWithNoCase(const char* text, std::string_view literal) {
    for (std::size_t i = 0; i < literal.size(); ++i)
        if (lowerAscii(text[i]) != lowerAscii(literal[i]))
            return false;
    return true;
}

// scanQuoted - from the opening double quote at p to its closing one, a
// backslash taking the next byte literally; the bytes inside are appended to
// out when given. nullptr for a quote not closed before the end of the text.
const char* scanQuoted(const char* p, std::string* out) {
    for (++p; *p != '"'; ++p) {
        if (*p == '\0')
            return nullptr;
        if (*p == '\\' && *++p == '\0')
            return nullptr;
        if (out != nullptr)
            out->push_back(*p);
    }
    return p;
}

// readValue - a parameter value from p on into out: a quoted string (with
// backslash escapes) or a run up to whitespace (or stopAtParen and '(').
// nullptr for an unclosed quote.
const char* readValue(const char* p, std::string& out, bool stopAtParen) {
    out.clear();
    if (*p == '"')
        return scanQuoted(p, &out) != nullptr ? out.c_str() : nullptr;
    while (*p != '\0' && !isWhitespace(*p) && !(stopAtParen && *p == '('))
        out.push_back(*p++);
    return out.c_str();
}

// fieldsOf - the three fields, looked up at every line start of the stored
// block (length bytes from text on, text[0] being the leading newline).
HeaderFields fieldsOf(const char* text, std::size_t length) {
    HeaderFields fields;
    const char* const end = text + length;
    for (const char* p = text; p < end;) {
        const void* newline = std::memchr(p, '\n', end - p);
        if (newline == nullptr)
            break;
        const char* line = static_cast<const char*>(newline) + 1;
        p = line;
        if (line >= end || (*line != 'C' && *line != 'c'))
            continue;
        if (startsWithNoCase(line + 1, "ontent-type:")) {
            if (const char* value = skipBlanksAndComments(line + 13))
                fields.contentType = value;
        } else if (startsWithNoCase(line + 1, "ontent-transfer-encoding:")) {
            fields.transferEncoding = classifyEncoding(line + 26);
        } else if (startsWithNoCase(line + 1, "ontent-disposition:")) {
            if (const char* value = skipBlanksAndComments(line + 20))
                fields.disposition = value;
        }
    }
    return fields;
}

}  // namespace

bool isHeaderLine(std::string_view text) {
    std::size_t count = 0;
    while (count < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[count]);
        if (c == ':' || c < 33 || c > 126)
            break;
        ++count;
    }
    return count >= 1 && count < text.size() && text[count] == ':';
}

HeaderFields readHeaderBlock(PartReader& reader) {
    std::vector<char>& buffer = headerBuffer();
    if (buffer.empty())
        buffer.resize(kHeaderFirstSize);
    // Byte 0 is a newline so that the first line starts like every other.
    buffer[0] = '\n';
    std::size_t position = 1;
    std::size_t room = buffer.size() - 2;
    bool atLineStart = true;
    char dropped[kDroppedPieceSize];
    for (;;) {
        // Once kMaxKeptHeaderBytes are kept, the rest of the block is still
        // read line by line, so it ends where it ends, but not kept.
        const bool keeping = position - 1 < kMaxKeptHeaderBytes;
        char* piece = keeping ? buffer.data() + position : dropped;
        const std::size_t length = reader.readLinePiece(piece, keeping ? room : sizeof dropped);
        if (length == 0)
            break;
        if (atLineStart) {
            if (length == 1 && piece[0] == '\n')
                break;  // the empty line ending the block
            const bool continuation = position != 1 && (piece[0] == ' ' || piece[0] == '\t');
            if (!isHeaderLine(std::string_view(piece, length)) && !continuation) {
                // The first body line: it stays in the input.
                reader.pushBack(std::string_view(piece, length));
                break;
            }
        }
        // Only the last piece of a line ends with its newline.
        atLineStart = piece[length - 1] == '\n';
        if (!keeping)
            continue;
        const std::size_t kept = std::min(length, kMaxKeptHeaderBytes - (position - 1));
        position += kept;
        room -= kept;
        if (room < kHeaderMinimumRoom && position - 1 < kMaxKeptHeaderBytes) {
            growHeaderBuffer(buffer);
            room += kHeaderGrowth;
        }
    }
    buffer[position] = '\0';
    return fieldsOf(buffer.data(), position);
}

void releaseHeaderBuffers() {
    std::vector<char>& header = headerBuffer();
    giveBackIfLarge(header);
    // The next block starts in a buffer of first size, as in a new process,
    // so earlier messages never change how a later one is read.
    if (!header.empty())
        header.resize(kHeaderFirstSize);
    giveBackIfLarge(contentTypeBuffer());
    giveBackIfLarge(parameterList());
    giveBackIfLarge(parameterValue());
    giveBackIfLarge(fileNameValue());
}

const char* skipBlanksAndComments(const char* p) {
    if (p == nullptr)
        return nullptr;
    while (isWhitespace(*p) || *p == '(') {
        if (*p == '\n') {
            ++p;
            if (*p != ' ' && *p != '\t')
                return nullptr;  // the field has ended
        } else if (*p == '(') {
            int level = 1;
            ++p;
            while (level > 0) {
                const char c = *p;
                if (c == '\0')
                    return nullptr;
                if (c == '\n') {
                    if (p[1] != ' ' && p[1] != '\t')
                        return nullptr;
                    p += 2;
                    continue;
                }
                if (c == '\\') {
                    if (p[1] == '\0')
                        return nullptr;
                    p += 2;
                    continue;
                }
                if (c == '(')
                    ++level;
                else if (c == ')')
                    --level;
                ++p;
            }
        } else {
            ++p;
        }
    }
    return *p == '\0' ? nullptr : p;
}

ContentType splitContentType(const char* contentType) {
    ContentType result;
    if (contentType == nullptr)
        return result;
    // The field ends at a newline not followed by whitespace (the next
    // field) or at the end of the block.
    const char* end = contentType + std::strlen(contentType);
    if (*contentType != '\0') {
        for (const char* p = contentType + 1; *p != '\0'; ++p) {
            if (*p == '\n' && !isWhitespace(p[1])) {
                end = p;
                break;
            }
        }
    }
    const std::size_t length = end - contentType;
    std::vector<char>& buffer = contentTypeBuffer();
    if (buffer.size() < length + 1)
        buffer.resize(std::max(length + 1, kContentTypeMinimumSize));
    std::memcpy(buffer.data(), contentType, length);
    buffer[length] = '\0';

    // Compaction: the type's bytes without whitespace and comments move to
    // the start of the buffer; `in` never falls behind `out`.
    char* out = buffer.data();
    const char* in = buffer.data();
    for (;;) {
        while (*in != '\0' && !isWhitespace(*in) && *in != '(' && *in != ';')
            *out++ = *in++;
        in = skipBlanksAndComments(in);
        if (in == nullptr || *in == ';')
            break;
    }
    char* parameters = in == nullptr ? nullptr : buffer.data() + (in - buffer.data()) + 1;
    *out = '\0';
    result.type = buffer.data();
    if (parameters == nullptr)
        return result;

    std::vector<const char*>& list = parameterList();
    list.clear();
    // Every entry but the first follows a ';' or an unclosed '(': reserving
    // for that many keeps a list of a million entries at its own size.
    const std::size_t mostEntries = 2 + std::count_if(parameters, buffer.data() + length,
                                                      [](char c) { return c == ';' || c == '('; });
    if (list.capacity() < mostEntries)
        list.reserve(mostEntries);
    char* p = parameters;
    bool more = true;
    while (more) {
        const char* start = skipBlanksAndComments(p);
        if (start == nullptr)
            break;
        char* q = buffer.data() + (start - buffer.data());
        list.push_back(q);
        for (;;) {
            if (*q == '\0') {
                more = false;
                break;
            }
            if (*q == '"') {
                const char* closing = scanQuoted(q, nullptr);
                if (closing == nullptr) {
                    more = false;  // unclosed quote: the list ends here
                    break;
                }
                q += closing - q + 1;
                continue;
            }
            if (*q == '(') {
                const char* after = skipBlanksAndComments(q);
                if (after != nullptr) {
                    while (q != after)
                        *q++ = ' ';
                    continue;
                }
                // Not closed before the end: the '(' ends the parameter.
            } else if (*q != ';') {
                ++q;
                continue;
            }
            *q = '\0';
            p = q + 1;
            more = *p != '\0';
            break;
        }
    }
    list.push_back(nullptr);
    result.parameters = list.data();
    return result;
}

const char* findParameter(const char* const* parameters, std::string_view name) {
    if (parameters == nullptr)
        return nullptr;
    const char* entry = nullptr;
    for (const char* const* e = parameters; *e != nullptr; ++e) {
        const char* text = *e;
        if (startsWithNoCase(text, name) &&
            (text[name.size()] == '=' || isWhitespace(text[name.size()]))) {
            entry = text;
            break;
        }
    }
    if (entry == nullptr)
        return nullptr;
    const char* p = entry + name.size();
    while (isWhitespace(*p))
        ++p;
    if (*p != '=')
        return nullptr;
    ++p;
    while (isWhitespace(*p))
        ++p;
    if (*p == '\0')
        return nullptr;
    return readValue(p, parameterValue(), false);
}

const char* findDispositionFilename(const char* disposition) {
    const char* p = disposition;
    if (p == nullptr)
        return nullptr;
    for (;;) {
        // The next ';' outside quoted strings and comments.
        while (*p != ';') {
            if (*p == '\0')
                return nullptr;
            if (*p == '"') {
                p = scanQuoted(p, nullptr);
                if (p == nullptr)
                    return nullptr;
                ++p;
            } else if (*p == '(') {
                p = skipBlanksAndComments(p);
                if (p == nullptr)
                    return nullptr;
            } else {
                ++p;
            }
        }
        p = skipBlanksAndComments(p + 1);
        if (p == nullptr)
            return nullptr;
        const char after = startsWithNoCase(p, "filename") ? p[8] : '\0';
        if (!isWhitespace(after) && after != '=' && after != '(')
            continue;  // "filename*=" and other parameters
        p = skipBlanksAndComments(p + 8);
        if (p == nullptr)
            return nullptr;
        if (*p != '=') {
            ++p;
            continue;
        }
        p = skipBlanksAndComments(p + 1);
        if (p == nullptr)
            return nullptr;
        return readValue(p, fileNameValue(), true);
    }
}

TransferEncoding classifyEncoding(const char* text) {
    const char* p = skipBlanksAndComments(text);
    if (p == nullptr)
        return TransferEncoding::Identity;
    if ((p[0] == 'Q' || p[0] == 'q') && startsWithNoCase(p + 1, "uoted-printable") &&
        (isWhitespace(p[16]) || p[16] == '('))
        return TransferEncoding::QuotedPrintable;
    if ((p[0] == 'B' || p[0] == 'b') && startsWithNoCase(p + 1, "ase64") &&
        (isWhitespace(p[6]) || p[6] == '('))
        return TransferEncoding::Base64;
    return TransferEncoding::Identity;
}

}  // namespace tarnwick::unpacker
