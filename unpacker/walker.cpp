// SPDX-License-Identifier: Apache-2.0
// walker.cpp - the structure walker and unpackMessage.
//
// Every handler reads its part to the end of part, so after each sub-part
// the reader stands at a boundary line or at the end of input, which is
// what finishBoundaryLine expects. Content types are compared ASCII
// case-insensitively: "equals" the whole compacted type, "starts with" its
// first bytes.
#include "unpacker/walker.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "unpacker/decoders.h"
#include "unpacker/header_parser.h"
#include "unpacker/part_files.h"
#include "unpacker/unpacker.h"
#include "unpacker/uudecode.h"

namespace tarnwick::unpacker {
namespace {

constexpr std::string_view kEncapsulated = "message/rfc822";
constexpr std::string_view kPlainText = "text/plain";

// lowerAscii - folds ASCII letters only.
inline char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// startsWithIgnoreCase - text begins with literal, ASCII case folded.
bool startsWithIgnoreCase(std::string_view text, std::string_view literal) {
    if (text.size() < literal.size())
        return false;
    for (std::size_t i = 0; i < literal.size(); ++i) {
        if (lowerAscii(text[i]) != lowerAscii(literal[i]))
            return false;
    }
    return true;
}

// equalsIgnoreCase - whole text equals literal, ASCII case folded.
bool equalsIgnoreCase(std::string_view text, std::string_view literal) {
    return text.size() == literal.size() && startsWithIgnoreCase(text, literal);
}

// isWhitespace - the header parser's whitespace set.
inline bool isWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// hasUsableType - a Content-Type value that names a type/subtype. Only the
// field itself counts (up to a newline that does not fold), not the header
// lines after it that share the buffer.
bool hasUsableType(const char* contentType) {
    if (contentType == nullptr)
        return false;
    for (const char* p = contentType; *p != '\0'; ++p) {
        if (*p == '/')
            return true;
        if (*p == '\n' && p != contentType && !isWhitespace(p[1]))
            return false;
    }
    return false;
}

}  // namespace

// processEntity - see the header.
int processEntity(PartReader& reader, std::string_view defaultType, ScanLedger& ledger) {
    HeaderFields fields = readHeaderBlock(reader);
    ContentType content;
    for (;;) {
        bool encapsulated = equalsIgnoreCase(defaultType, kEncapsulated);
        if (encapsulated && !hasUsableType(fields.contentType)) {
            // A digest entry without a type of its own: one byte (two for a
            // carriage return) goes before the encapsulated header is read.
            if (reader.nextChar() == '\r')
                reader.nextChar();
            fields = readHeaderBlock(reader);
        }
        std::string_view fallback = encapsulated ? kPlainText : defaultType;
        if (hasUsableType(fields.contentType)) {
            content = splitContentType(fields.contentType);
        } else {
            std::string fallbackText(fallback);
            content = splitContentType(fallbackText.c_str());
        }
        if (!equalsIgnoreCase(content.type, kEncapsulated))
            break;
        // Encapsulated messages nest by going round again, not by recursion.
        fields = readHeaderBlock(reader);
        defaultType = kEncapsulated;
    }

    std::string_view type = content.type;
    if (startsWithIgnoreCase(type, "message/")) {
        reader.drainPart();
        return 0;
    }
    if (startsWithIgnoreCase(type, "multipart/")) {
        if (reader.depth() >= kMaxNestingDepth)
            reader.drainPart();
        else
            processMultipart(reader, content.type, content.parameters, ledger);
        return 0;
    }
    // The part's own name, for the log lines about its file: the
    // disposition's filename, else the type's name parameter.
    const char* fileName = findDispositionFilename(fields.disposition);
    std::string ownName = fileName != nullptr ? fileName : "";
    if (fileName == nullptr && (fileName = findParameter(content.parameters, "name")) != nullptr)
        ownName = fileName;
    bool named = fileName != nullptr;
    bool text = startsWithIgnoreCase(type, "text/");
    if (text && !named && reader.depth() == 0 &&
        fields.transferEncoding == TransferEncoding::Identity) {
        scanForUuencoded(reader, ledger);
    } else if (text && !named) {
        reader.drainPart();
    } else {
        const std::size_t before = ledger.createdCount(ScanFileKind::Part);
        const std::string ownType(type);
        BodySpan body;
        body.encoding = fields.transferEncoding;
        const bool beginKnown = reader.storedOffset(body.begin);
        writePartFile(reader, fields.transferEncoding, ledger);
        const bool endKnown = reader.storedOffset(body.end);
        for (const std::string& written : ledger.createdAfter(ScanFileKind::Part, before)) {
            ledger.describe(written, ScanFileDescription{ownName, ownType, kFirstReading});
            if (beginKnown && endKnown && body.begin <= body.end)
                ledger.noteBody(written, body);
        }
    }
    return 0;
}

// processMultipart - see the header.
int processMultipart(PartReader& reader, const char* type, const char* const* parameters,
                     ScanLedger& ledger) {
    // Taken before the first sub-part's header reuses the parser's buffers.
    std::string_view subPartType =
        equalsIgnoreCase(type, "multipart/digest") ? kEncapsulated : kPlainText;
    const char* boundary = findParameter(parameters, "boundary");
    reader.pushBoundary(boundary != nullptr ? boundary : "");
    // A boundary on the very first body line then looks like any other.
    reader.pushBackNewline();
    reader.drainPart();
    while (!reader.finishBoundaryLine())
        processEntity(reader, subPartType, ledger);
    reader.drainPart();
    return 0;
}

// unpackMessage - see unpacker.h.
int unpackMessage(std::unique_ptr<ByteSource> input, ScanLedger& ledger) {
    if (input) {
        PartReader reader(std::move(input));
        processEntity(reader, kPlainText, ledger);
        reader.release();
    }
    releaseHeaderBuffers();
    if (ledger.writeFailed())
        return -1;
    return static_cast<int>(ledger.count(ScanFileKind::Part));
}

}  // namespace tarnwick::unpacker
