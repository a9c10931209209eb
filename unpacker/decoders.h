// SPDX-License-Identifier: Apache-2.0
// decoders.h - turning one body part into one decoded part file.
//
// The three decoders read the current part from the PartReader to its end
// and append the decoded bytes to a PartFileOutput: copyBody unchanged,
// decodeQuotedPrintable and decodeBase64 as their encodings say, with the
// lenient rules mail in the wild needs (stray bytes skipped, nothing
// rejected). They never stop early, so the reader is always left at the
// boundary line or the end of input that ended the part.
//
// Deliberately not done: character sets, line-end conversion, validation.
#pragma once

#include <string>

#include "unpacker/header_parser.h"
#include "unpacker/part_files.h"
#include "unpacker/part_reader.h"

namespace tarnwick::unpacker {

// copyBody - writes every byte of the part unchanged. The newline in front
// of the boundary line that ends the part belongs to the boundary and is not
// written.
void copyBody(PartReader& reader, PartFileOutput& output);

// decodeQuotedPrintable - "=" and a newline is a soft line break; "=" and
// two bytes give the byte (H(a) << 4 | H(b)) & 0xFF where H maps hex digits
// of either case to their value and every other byte (and the end of the
// part) to 127, so "=G1" gives 0xF1 and a lone "=" at the end gives 0xFF.
// A decoded carriage return (13) is not written; every other byte is,
// unencoded ones unchanged.
void decodeQuotedPrintable(PartReader& reader, PartFileOutput& output);

// decodeBase64 - groups of four characters of the base64 alphabet or "=";
// all other bytes are skipped. A group cut short by the end of the part
// writes nothing; after the first "=" the rest of the part is read without
// output.
void decodeBase64(PartReader& reader, PartFileOutput& output);

// writePartFile - opens the next part file of the request (openPartFile)
// and decodes the rest of the part into it. Returns 0 when a file was
// written, 1 when it could not be created: then the ledger notes the failed
// write and the part is drained. A write failure of the file's data is noted
// too (the result stays 0: the file exists and stays recorded).
int writePartFile(PartReader& reader, TransferEncoding encoding, ScanLedger& ledger);

}  // namespace tarnwick::unpacker
