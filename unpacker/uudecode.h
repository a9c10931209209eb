// SPDX-License-Identifier: Apache-2.0
// uudecode.h - the first uuencoded block of a plain text body.
//
// Mail sent as plain text may carry a file as a uuencoded block ("begin
// MODE NAME", lines of encoded data, "end"). scanForUuencoded looks for the
// first such block in the current part, decodes it into the next part file
// of the message and stops. The name and mode on the "begin" line are not
// used: the part file gets its generic name.
//
// Deliberately not done: a second block in the same body, blocks inside
// multipart sub-parts (the walker never asks), the base64 "begin-base64"
// form, checksums.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "unpacker/part_files.h"
#include "unpacker/part_reader.h"

namespace tarnwick::unpacker {

// Lines are read with PartReader::readLine into a buffer of this size, so a
// line longer than kUuLineBufferSize - 1 bytes arrives in pieces and each
// piece is judged as a line of its own.
constexpr std::size_t kUuLineBufferSize = 1024;

// scanForUuencoded - reads the part line by line until the first block has
// been decoded (then the rest of the part is left unread) or the part ends.
// A part file is opened at the "begin" line; when it cannot be created the
// scan ends there, the ledger notes the failed write and the result is 1.
// Otherwise 0.
// A block cut off before its "end" line keeps its full lines; its short
// last line is only written once "end" confirms it. A block that "end"
// closes is noted in the ledger with where it lay in the stored message
// (ScanLedger::noteBody, encoding Uuencode): from the line after "begin"
// through the line end of "end".
int scanForUuencoded(PartReader& reader, ScanLedger& ledger);

// decodeUuLine - appends the bytes one uuencoded line encodes: the first
// character gives the count (0..63), the rest are groups of four characters
// of three bytes each. Characters the count needs but the line (before its
// newline) does not hold decode as 0.
void decodeUuLine(std::string_view line, PartFileOutput& output);

// isUuBeginLine - true for "begin " followed by exactly three decimal
// digits worth at least 400, a space and a byte from 33 to 127.
bool isUuBeginLine(std::string_view line);

}  // namespace tarnwick::unpacker
