// SPDX-License-Identifier: Apache-2.0
// agreement.h - leaves the first reading wrote alike, confirmed without
// decoding them again.
//
// When the first reading wrote a part file from exactly the bytes of the
// stored message that this reading takes for a leaf, with the same transfer
// encoding, and those bytes are well-formed for it, decoding them would only
// give that file's bytes once more (or, where line ends may differ, the
// same bytes up to CR LF against LF). AgreedLeafDecoder confirms this in one
// pass over the encoded bytes as they stream by, and decodes nothing. Where
// it cannot confirm it (a byte out of place, the leaf running past the
// first reading's body or ending short of it), it decodes the leaf from its
// first byte, read again from the message file, into the attachment's sink,
// exactly as an unchecked leaf would have been. The part files are not
// looked at again: one the anti-virus changed or removed meanwhile is found
// by the scan job's own comparison after the wait, which decides the
// verdict whatever this reading wrote. What well-formed means is said in
// body_shape.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client_reading/body_shape.h"
#include "codec/decoders.h"
#include "mailfile/written_parts.h"

namespace tarnwick::client_reading {

// FirstReadingMap - the first reading's part files of one message file, by
// where their bodies begin: 4 bytes of index for each part, beside the
// parts themselves.
class FirstReadingMap {
  public:
    // parts must outlive the map. A part file whose size was recorded when
    // it was written is taken as recorded; only such a file can agree.
    FirstReadingMap(std::string messagePath, const WrittenParts& parts);
    // find - the part file whose body begins at begin of file path with
    // encoding, still as written; nullptr when there is none.
    const WrittenPart* find(const std::string& path, std::uint64_t begin,
                            codec::TransferEncoding encoding) const;
    // parts - the parts the map was made from.
    const WrittenParts& parts() const { return parts_; }
    // existingSize - the size of the file of parts()[index]: as recorded,
    // or, when none was, as found on disk now; false when it is not there.
    bool existingSize(std::size_t index, std::uint64_t& size) const;

  private:
    std::string messagePath_;
    const WrittenParts& parts_;
    // Indexes of the parts that can agree, ordered by where their bodies
    // begin (the first written first among equal beginnings).
    std::vector<std::uint32_t> byBegin_;
};

// AgreedLeafDecoder - the decoder of a leaf that may agree with part.
class AgreedLeafDecoder final : public codec::Decoder {
  public:
    // others: the decoder for the leaf's other consumers (embedded blocks),
    // or nullptr when it has none. It is fed only once the check cannot rule
    // out a line that opens a block, and then from the body's first byte. attachment receives the
    // decoded bytes only when the leaf does not agree. bodyBegin: where the leaf's body begins in
    // messagePath.
    AgreedLeafDecoder(std::unique_ptr<codec::Decoder> others, codec::TransferEncoding encoding,
                      codec::ByteSink& attachment, const WrittenPart& part, std::string messagePath,
                      std::uint64_t bodyBegin, bool lineEndsMayDiffer);
    void feed(const char* data, std::size_t size) override;
    void finish() override;
    // decodeFromHere - gives up confirming: the leaf is decoded after all.
    void decodeFromHere();
    // agreed - after finish: the leaf agreed and nothing was decoded.
    bool agreed() const { return agreed_; }
    // metDataAfterPadding - as the leaf's own decoder tells, once it decodes:
    // a leaf that agreed was well-formed, with nothing after its padding.
    bool metDataAfterPadding() const override {
        return decoder_ != nullptr && decoder_->metDataAfterPadding();
    }
    unsigned metPoints() const override { return decoder_ != nullptr ? decoder_->metPoints() : 0; }

  private:
    // catchUpOthers - from here on the other consumers get every byte:
    // what was only checked so far is read again for them first.
    void catchUpOthers();
    std::unique_ptr<codec::Decoder> others_;
    codec::TransferEncoding encoding_;
    codec::ByteSink& attachment_;
    const WrittenPart& part_;
    std::string messagePath_;
    std::uint64_t bodyBegin_;
    BodyShape shape_;
    std::uint64_t seen_ = 0;                   // bytes of the body fed so far
    std::unique_ptr<codec::Decoder> decoder_;  // once decoding
    bool othersLive_ = false;                  // others_ has had every byte so far
    bool agreed_ = false;
};

// QuietTextDecoder - the decoder of a quoted-printable or unencoded text
// leaf that is no attachment: its decoded bytes go only to the scanner of
// embedded blocks and to the test for binary content. While one pass over
// the encoded bytes rules out both a line that may open a block and a byte
// that makes text binary, nothing is decoded; once it cannot, the leaf is
// decoded from its first byte, read again from the message file, exactly
// as it would have been without the pass.
class QuietTextDecoder final : public codec::Decoder {
  public:
    // decoder: the leaf's own decoder. bodyBegin: where the leaf's body
    // begins in path. wide: the text is UTF-16 or UTF-32.
    QuietTextDecoder(std::unique_ptr<codec::Decoder> decoder, codec::TransferEncoding encoding,
                     bool wide, std::string path, std::uint64_t bodyBegin);
    void feed(const char* data, std::size_t size) override;
    void finish() override;
    // decodeFromHere - gives up the pass: every byte is decoded.
    void decodeFromHere();

  private:
    std::unique_ptr<codec::Decoder> decoder_;
    BodyShape shape_;
    std::string path_;
    std::uint64_t bodyBegin_;
    std::uint64_t seen_ = 0;  // bytes of the body passed over so far
    bool decoding_ = false;
};

}  // namespace tarnwick::client_reading
