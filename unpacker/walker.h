// SPDX-License-Identifier: Apache-2.0
// walker.h - following a message's MIME structure.
//
// processEntity handles one message or body part: it reads the header
// block, unwraps encapsulated messages (message/rfc822, one after the other
// without recursion) and dispatches on the content type: other message
// types and unnamed text parts are skipped, multiparts are walked, a
// top-level unnamed text body is searched for a uuencoded block, and every
// other part becomes a part file. processMultipart walks the sub-parts of
// one multipart between its boundary lines.
//
// The outcome of a walk is carried only by the request's ledger (its files
// and its write results); the status results below are informative.
//
// Deliberately not done: character sets, content types influencing a
// part file's name or decoding, reassembly of message/partial.
#pragma once

#include <string>
#include <string_view>

#include "scanfiles/scan_ledger.h"
#include "unpacker/part_reader.h"

namespace tarnwick::unpacker {

// Multiparts nest at most this deep (active boundaries). A multipart that
// would be one level deeper is not descended into: its body is drained up
// to the next line of an enclosing boundary, so none of the parts inside it
// is unpacked, and the walk goes on. This bounds the recursion (two frames
// per level) and the boundary table, whatever the message holds.
constexpr int kMaxNestingDepth = 64;

// processEntity - reads one header block and handles the entity's body to
// its end of part. defaultType applies when the entity has no usable
// content type ("text/plain", or "message/rfc822" inside a digest). Returns
// 0.
int processEntity(PartReader& reader, std::string_view defaultType, ScanLedger& ledger);

// processMultipart - walks a multipart body: preamble, sub-parts (each
// through processEntity), epilogue. type is the compacted type and
// parameters its parameter list (as from splitContentType); without a
// "boundary" parameter every line beginning with "--" separates parts.
// REQUIRES: reader.depth() < kMaxNestingDepth. Returns 0.
int processMultipart(PartReader& reader, const char* type, const char* const* parameters,
                     ScanLedger& ledger);

}  // namespace tarnwick::unpacker
