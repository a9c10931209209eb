// SPDX-License-Identifier: Apache-2.0
// skip_envelope.cpp - stepping over the envelope block of a message file.
//
// The first line is read once to decide, and the file is rewound before the
// block is skipped, so a file without a block is left exactly at its start.
// Lines are skipped without being stored: a message whose first line (or an
// envelope line) runs to hundreds of megabytes costs no memory here.
#include <cstdint>
#include <string>

#include "front/filter_base.h"
#include "mailfile/envelope.h"

namespace tarnwick {

namespace {

// beginsEnvelopeBlock decides on the first line's first three bytes.
constexpr std::size_t kEnvelopeTestBytes = 3;

// kNoLine - what skipLine returns when the file had no byte left.
constexpr std::int64_t kNoLine = -1;

// skipLine - consumes one line and its line end (LF, CR, CR LF or LF CR, as
// readTextLine reads them), storing at most keep of its first bytes in
// start when given. Returns the line's length without its line end, or
// kNoLine when the file had no byte left at all.
std::int64_t skipLine(std::FILE* file, std::string* start, std::size_t keep) {
    std::int64_t length = 0;
    for (;;) {
        const int byte = std::getc(file);
        if (byte == EOF)
            return length == 0 ? kNoLine : length;
        if (byte == '\n' || byte == '\r') {
            const int pair = byte == '\n' ? '\r' : '\n';
            const int next = std::getc(file);
            if (next != pair && next != EOF)
                std::ungetc(next, file);
            return length;
        }
        if (start != nullptr && start->size() < keep)
            start->push_back(static_cast<char>(byte));
        ++length;
    }
}

}  // namespace

bool skipEnvelope(std::FILE* file) {
    if (file == nullptr)
        return false;
    std::string lineStart;
    std::rewind(file);
    skipLine(file, &lineStart, kEnvelopeTestBytes);
    std::rewind(file);
    if (!beginsEnvelopeBlock(lineStart))
        return false;
    // Ends at the first empty line, or at the end of the file when the block
    // has none, so skipping always finishes.
    for (std::int64_t length = skipLine(file, nullptr, 0); length > 0;
         length = skipLine(file, nullptr, 0)) {
    }
    return true;
}

}  // namespace tarnwick
