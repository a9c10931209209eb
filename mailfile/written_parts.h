// SPDX-License-Identifier: Apache-2.0
// written_parts.h - a plain account of the part files the first reading
// wrote for a message, for the second reading.
//
// Most parts are read the same way by both readings: the same bytes of the
// stored message, the same transfer encoding. For such a part the second
// reading needs to decode nothing: it only has to see that the bytes are
// where the first reading found them and that they are well-formed. This
// account carries what it needs for that, without either reader knowing the
// other: where each part file's encoded body lies in the stored message
// file, how it was encoded, and the file's size as recorded when it was
// written. Whether the anti-virus changed or removed the file afterwards is
// the scan job's own comparison after the wait, not this account's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/transfer_encoding.h"

namespace tarnwick {

// BodySpan - the encoded body of one part: bytes [begin, end) of the stored
// message file (absolute offsets, line ends as stored). The line end in
// front of the boundary line that ends the part is not part of the body.
struct BodySpan {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    // The first reading decodes only quoted-printable and base64.
    codec::TransferEncoding encoding = codec::TransferEncoding::Identity;
};

// WrittenPart - one part file of the first reading.
struct WrittenPart {
    std::string path;
    // False when the reader could not tell where the body lay: the part is
    // then compared by its decoded bytes only.
    bool spanKnown = false;
    BodySpan span;
    // The file was closed and its size recorded then.
    bool written = false;
    std::int64_t size = 0;
};

// WrittenParts - the part files of one message, in the order written.
using WrittenParts = std::vector<WrittenPart>;

}  // namespace tarnwick
