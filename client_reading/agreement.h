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
// verdict whatever this reading wrote.
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
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "client_reading/decoders.h"
#include "mailfile/written_parts.h"

namespace tarnwick::client_reading {

// FirstReadingMap - the first reading's part files of one message file, by
// where their bodies begin.
class FirstReadingMap {
  public:
    // ExistingFile - a part file found on disk when the map was made.
    struct ExistingFile {
        std::string path;
        std::uint64_t size = 0;
    };

    // parts must outlive the map. A part file whose size was recorded when
    // it was written is taken as recorded; only such a file can agree.
    FirstReadingMap(std::string messagePath, const WrittenParts& parts);
    // find - the part file whose body begins at begin of file path with
    // encoding, still as written; nullptr when there is none.
    const WrittenPart* find(const std::string& path, std::uint64_t begin,
                            TransferEncoding encoding) const;
    // existing - the part files with their sizes, as recorded or found.
    const std::vector<ExistingFile>& existing() const { return existing_; }

  private:
    std::string messagePath_;
    const WrittenParts& parts_;
    std::unordered_map<std::uint64_t, std::size_t> byBegin_;
    std::vector<ExistingFile> existing_;
};

// BodyShape - the one-pass check that a body is well-formed for its
// encoding, and the size the first reading's file has when it is.
class BodyShape {
  public:
    // crLfAllowed: CR LF line ends keep the body well-formed.
    BodyShape(TransferEncoding encoding, bool crLfAllowed);
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
        return mayOpenBlock_ || !wellFormed_ || encoding_ == TransferEncoding::Base64;
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

    TransferEncoding encoding_;
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

// AgreedLeafDecoder - the decoder of a leaf that may agree with part.
class AgreedLeafDecoder final : public Decoder {
  public:
    // others: the decoder for the leaf's other consumers (embedded blocks),
    // or nullptr when it has none. It is fed only once the check cannot rule
    // out a line that opens a block, and then from the body's first byte. attachment receives the
    // decoded bytes only when the leaf does not agree. bodyBegin: where the leaf's body begins in
    // messagePath.
    AgreedLeafDecoder(std::unique_ptr<Decoder> others, TransferEncoding encoding,
                      ByteSink& attachment, const WrittenPart& part, std::string messagePath,
                      std::uint64_t bodyBegin, bool lineEndsMayDiffer);
    void feed(const char* data, std::size_t size) override;
    void finish() override;
    // decodeFromHere - gives up confirming: the leaf is decoded after all.
    void decodeFromHere();
    // agreed - after finish: the leaf agreed and nothing was decoded.
    bool agreed() const { return agreed_; }

  private:
    // catchUpOthers - from here on the other consumers get every byte:
    // what was only checked so far is read again for them first.
    void catchUpOthers();
    std::unique_ptr<Decoder> others_;
    TransferEncoding encoding_;
    ByteSink& attachment_;
    const WrittenPart& part_;
    std::string messagePath_;
    std::uint64_t bodyBegin_;
    BodyShape shape_;
    std::uint64_t seen_ = 0;            // bytes of the body fed so far
    std::unique_ptr<Decoder> decoder_;  // once decoding
    bool othersLive_ = false;           // others_ has had every byte so far
    bool agreed_ = false;
};

// QuietTextDecoder - the decoder of a quoted-printable or unencoded text
// leaf that is no attachment: its decoded bytes go only to the scanner of
// embedded blocks and to the test for binary content. While one pass over
// the encoded bytes rules out both a line that may open a block and a byte
// that makes text binary, nothing is decoded; once it cannot, the leaf is
// decoded from its first byte, read again from the message file, exactly
// as it would have been without the pass.
class QuietTextDecoder final : public Decoder {
  public:
    // decoder: the leaf's own decoder. bodyBegin: where the leaf's body
    // begins in path. wide: the text is UTF-16 or UTF-32.
    QuietTextDecoder(std::unique_ptr<Decoder> decoder, TransferEncoding encoding, bool wide,
                     std::string path, std::uint64_t bodyBegin);
    void feed(const char* data, std::size_t size) override;
    void finish() override;
    // decodeFromHere - gives up the pass: every byte is decoded.
    void decodeFromHere();

  private:
    std::unique_ptr<Decoder> decoder_;
    BodyShape shape_;
    std::string path_;
    std::uint64_t bodyBegin_;
    std::uint64_t seen_ = 0;  // bytes of the body passed over so far
    bool decoding_ = false;
};

}  // namespace tarnwick::client_reading
