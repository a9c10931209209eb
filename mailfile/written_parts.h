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
#include <utility>
#include <vector>

#include "codec/transfer_encoding.h"

namespace tarnwick {

// BodySpan - the encoded body of one part: bytes [begin, end) of the stored
// message file (absolute offsets, line ends as stored). The line end in
// front of the boundary line that ends the part is not part of the body.
struct BodySpan {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    // The first reading decodes only quoted-printable and base64, and the
    // uuencoded block of a plain body: its span (Uuencode) runs from the
    // line after "begin" through the line end of "end".
    codec::TransferEncoding encoding = codec::TransferEncoding::Identity;
};

// WrittenPart - one part file of the first reading, in 32 bytes: a message
// may have tens of thousands of parts. Its name is not kept here but
// rebuilt from its number by WrittenParts::path.
struct WrittenPart {
    std::uint64_t begin = 0;  // the body, as BodySpan
    std::uint64_t end = 0;
    // The file's size, as recorded when it was written (0 when it was not).
    std::int64_t size = 0;
    // The number in the part file's name.
    std::int32_t number = 0;
    std::uint8_t encoding = 0;  // a codec::TransferEncoding
    // False when the reader could not tell where the body lay: the part is
    // then compared by its decoded bytes only.
    bool spanKnown = false;
    // The file was closed and its size recorded then.
    bool written = false;

    BodySpan span() const {
        return BodySpan{begin, end, static_cast<codec::TransferEncoding>(encoding)};
    }
};

// WrittenParts - the part files of one message, in the order written. Their
// names share one pattern: what comes before the number and what after.
class WrittenParts {
  public:
    WrittenParts() = default;
    WrittenParts(std::string nameFront, std::string nameBack)
        : nameFront_(std::move(nameFront)), nameBack_(std::move(nameBack)) {}

    void reserve(std::size_t count) { parts_.reserve(count); }
    void push_back(const WrittenPart& part) { parts_.push_back(part); }
    std::size_t size() const { return parts_.size(); }
    bool empty() const { return parts_.empty(); }
    const WrittenPart& operator[](std::size_t index) const { return parts_[index]; }
    std::vector<WrittenPart>::const_iterator begin() const { return parts_.begin(); }
    std::vector<WrittenPart>::const_iterator end() const { return parts_.end(); }

    // path - the name of part's file.
    std::string path(const WrittenPart& part) const {
        return nameFront_ + std::to_string(part.number) + nameBack_;
    }

  private:
    std::string nameFront_;
    std::string nameBack_;
    std::vector<WrittenPart> parts_;
};

}  // namespace tarnwick
