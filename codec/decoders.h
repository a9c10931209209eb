// SPDX-License-Identifier: Apache-2.0
// decoders.h - the transfer encodings as lenient mail clients undo them.
//
// Each decoder takes the raw bytes of a body (line ends included, in pieces
// of any size) and hands its output to a ByteSink as it goes, so no body is
// ever held whole. Base64 skips bytes outside its alphabet, goes on after a
// padded group (or, told so, stops there) and turns a final incomplete group
// into the bytes it holds.
// Quoted-printable reads "=" with blanks up to the line end as a soft line
// break and keeps a malformed escape as it stands. Uuencode decodes the
// first "begin" ... "end" block (for a container; the blocks of a leaf are
// all found by the second reading's scanner of embedded blocks). Identity
// keeps every byte. Base64 and quoted-printable tell the points they met
// where other decoders in use read a body otherwise (decoder_variants.h).
#pragma once

#include <cstddef>
#include <memory>

#include "codec/transfer_encoding.h"

namespace tarnwick::codec {

// ByteSink - where decoded bytes go.
class ByteSink {
  public:
    virtual ~ByteSink() = default;
    virtual void write(const char* data, std::size_t size) = 0;
};

// Decoder - one body being decoded.
class Decoder {
  public:
    virtual ~Decoder() = default;
    // feed - the next raw bytes of the body.
    virtual void feed(const char* data, std::size_t size) = 0;
    // finish - the body has ended: flushes what is held back.
    virtual void finish() = 0;
    // metDataAfterPadding - base64 only: alphabet characters came after a
    // group that padding ended, which decoders read differently.
    virtual bool metDataAfterPadding() const { return false; }
    // metPoints - the points where other decoders in use part ways that
    // the body met so far, as bits (decoder_variants.h); 0 for a body every
    // decoder reads alike.
    virtual unsigned metPoints() const { return 0; }
};

// AfterPadding - what base64 does with data after a group that "=" ended:
// decodes it as the next groups, or stops there and drops the rest.
enum class AfterPadding { GoOn, Stop };

// makeDecoder - a decoder for encoding writing into sink (which must outlive it).
std::unique_ptr<Decoder> makeDecoder(TransferEncoding encoding, ByteSink& sink,
                                     AfterPadding afterPadding = AfterPadding::GoOn);

}  // namespace tarnwick::codec
