// SPDX-License-Identifier: Apache-2.0
// body_shape.h - whether a body is well-formed for its transfer encoding,
// told in one pass over its encoded bytes without decoding them.
//
// The agreement with the first reading (agreement.h) and the quiet text
// decoder rest on it: a body that is well-formed decodes to bytes both
// readings agree on, of a size told without decoding.
//
// Well-formed means here that both readings' decoders certainly give the
// same bytes:
//   base64 - only the alphabet and line ends, then at most two "=" that
//            complete the last group, then only line ends;
//   quoted-printable - "=" only before two hex digits (not "=0D") or a line
//            end, no blank before a line end or at the end, CR only in
//            CR LF;
//   identity - CR only in CR LF.
// A CR LF that stays in the decoded bytes (identity, a hard line break of
// quoted-printable) is allowed only where the leaf's line ends may differ:
// the first reading writes it as LF.
#pragma once

#include <cstdint>
#include <string>

#include "codec/decoders.h"

namespace tarnwick::client_reading {

// BodyShape - the one-pass check that a body is well-formed for its
// encoding, and the size the first reading's file has when it is.
class BodyShape {
  public:
    // crLfAllowed: CR LF line ends keep the body well-formed.
    BodyShape(codec::TransferEncoding encoding, bool crLfAllowed);
    // feed - the next bytes; false once the body is not well-formed.
    bool feed(const char* data, std::size_t size);
    // finish - true when the whole body was well-formed.
    bool finish();
    // watchForBinary - also tells whether the decoded bytes may prove
    // binary (see binary_text.h); wide: the text is UTF-16 or UTF-32.
    void watchForBinary(bool wide);
    // mayBeBinary - false while the decoded bytes fed so far, and the body's
    // start once known, certainly hold nothing that makes text binary.
    bool mayBeBinary() const { return mayBeBinary_ || !wellFormed_; }
    // decodedSize - the bytes the first reading wrote for it.
    std::uint64_t decodedSize() const { return decoded_; }
    // mayOpenBlock - false while the decoded text fed so far certainly has
    // no line beginning with "b" or "=", the only lines that can open an
    // embedded block; always true for base64, which hides its text.
    bool mayOpenBlock() const {
        return mayOpenBlock_ || !wellFormed_ || encoding_ == codec::TransferEncoding::Base64;
    }

  private:
    bool feedBase64(const unsigned char* p, const unsigned char* end);
    bool feedQuotedPrintable(const unsigned char* p, const unsigned char* end);
    bool feedIdentity(const unsigned char* p, const unsigned char* end);
    // screenLineStarts - the line-start test of an identity body.
    void screenLineStarts(const unsigned char* p, const unsigned char* end);
    // noteLineOpening - a decoded line begins with [line, end) ("b" or
    // "="); mayGoOn: the line may go on past end.
    void noteLineOpening(const unsigned char* line, const unsigned char* end, bool mayGoOn);
    // noteEscape - a quoted-printable escape decoded to value.
    void noteEscape(int value);
    // takeEscape - a well-formed escape of value: noted, and whether both
    // readings decode it alike.
    bool takeEscape(int value);

    codec::TransferEncoding encoding_;
    bool crLfAllowed_;
    bool wellFormed_ = true;
    std::uint64_t decoded_ = 0;
    // base64: alphabet characters and padding seen.
    std::uint64_t alphabet_ = 0;
    int padding_ = 0;
    // quoted-printable and identity: where the last byte left the check.
    int state_ = 0;
    bool blankLast_ = false;
    int firstHex_ = 0;
    // quoted-printable and identity: where the next decoded byte stands
    // (kLineBegins and so on); a line may open a block.
    int lineStart_ = 0;  // kLineBegins
    bool mayOpenBlock_ = false;
    // The binary watch: the body's first raw bytes until judged.
    bool watchBinary_ = false;
    bool wide_ = false;
    bool mayBeBinary_ = false;
    bool startJudged_ = false;
    std::string start_;
    void judgeStart();
};

}  // namespace tarnwick::client_reading
