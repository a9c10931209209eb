// SPDX-License-Identifier: Apache-2.0
// binary_text.h - binary content in a part that calls itself text.
//
// A client that is handed a text part (or a multipart with nothing to split)
// whose bytes are not text offers them to be saved and opened, so such a
// part is an attachment. BinaryInText watches the decoded bytes of one such
// part: bytes are not text when they hold a NUL or another control byte that
// text never carries (tab, line ends, form feed, vertical tab and the escape
// of ISO-2022 text are text), or when they open with the signature of an
// executable or an archive; in UTF-16 or UTF-32 text, where NUL and control
// bytes are text, only the signature counts. The first kSniffedTextBytes are held; when they
// prove binary, the part is written from its first byte on. Binary content
// met only later is reported, and the caller reads the part again to write
// it. Ordinary text bodies are never written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "client_reading/extra_files.h"
#include "codec/decoders.h"

namespace tarnwick::client_reading {

// kSniffedTextBytes - the part of a text body held while it may still prove
// binary.
inline constexpr std::size_t kSniffedTextBytes = 64 * 1024;
// kSignatureBytes - the longest signature looked for.
inline constexpr std::size_t kSignatureBytes = 8;

// isNotTextByte - a control byte that text never carries.
bool isNotTextByte(unsigned char byte);

// looksBinary - bytes is the whole or the beginning of a body that is not
// text (see above); atStart: bytes begins the body; wide: the text is UTF-16
// or UTF-32.
bool looksBinary(std::string_view bytes, bool atStart, bool wide = false);

// BinaryInText - the decoded bytes of one text part on their way to an
// extra file, if they prove binary.
class BinaryInText final : public codec::ByteSink {
  public:
    // wideCharset: the part's text is UTF-16 or UTF-32.
    // description: the part's own words, for the file if one is written.
    BinaryInText(ExtraFileSet& set, bool lineEndsMayDiffer, bool wideCharset,
                 ScanFileDescription description = {});
    BinaryInText(const BinaryInText&) = delete;
    BinaryInText& operator=(const BinaryInText&) = delete;

    void write(const char* data, std::size_t size) override;
    // finish - the body has ended: writes it if it proved binary in time.
    void finish();
    // provedBinaryLate - true when the bytes proved binary only after the
    // held part had been let go: the part must be read again to be written.
    bool provedBinaryLate() const { return late_ && binary_; }

  private:
    ExtraFileSet& set_;
    bool lineEndsMayDiffer_;
    bool wide_;
    ScanFileDescription description_;
    std::string held_;
    bool late_ = false;    // the held part was let go
    bool binary_ = false;  // the bytes proved binary
    std::unique_ptr<LeafSink> sink_;
};

}  // namespace tarnwick::client_reading
