// SPDX-License-Identifier: Apache-2.0
// message_input.h - the unpacker's input: a message file read in text mode
// and positioned at the message's own header block.
//
// TextModeFile reads the file in binary mode and does the text-mode
// translation itself, the same on every platform: a CR immediately followed
// by an LF becomes one LF (also when the pair is split across two reads of
// the file), a lone CR stays a CR, and Ctrl-Z (0x1A) is an ordinary byte,
// so no part of a message can be hidden behind it.
//
// openMessageForUnpacking opens the file and skips what precedes the
// message's header block:
//   (a) the file begins with an envelope block (beginsEnvelopeBlock of its
//       first line): the block and its ending empty line are skipped;
//   (b) otherwise, its first line is a header line (isHeaderLine): nothing
//       is skipped;
//   (c) otherwise the lines up to and including the first empty line are
//       skipped, taken for envelope lines of another form.
// Lines are told apart as the front end's readTextLine does: LF, CR, CR LF
// and LF CR each end one line (after the CR LF fold above).
//
// Not done here: any MIME interpretation (PartReader and the walker do it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "unpacker/byte_source.h"

namespace tarnwick::unpacker {

// TextModeFile - a ByteSource over an open file with CR LF folded into LF.
// Owns the file and closes it on destruction. A read error counts as the
// end of input. It remembers where it made its last kRememberedFolds folds,
// so a reader can learn the file offset of a byte it holds.
class TextModeFile final : public ByteSource {
  public:
    // Bytes read from the file at a time.
    static constexpr std::size_t kRawBufferSize = 64 * 1024;
    // Folds remembered (a power of two): far more than a reader's buffer
    // holds lines.
    static constexpr std::size_t kRememberedFolds = 4096;

    // Takes ownership of file (opened in binary mode). rawBufferSize is the
    // size of the file reads (tests use tiny ones); at least 2.
    explicit TextModeFile(std::FILE* file, std::size_t rawBufferSize = kRawBufferSize);
    ~TextModeFile() override;

    // read - up to size folded bytes; 0 only at the end of input.
    std::size_t read(char* buffer, std::size_t size) override;
    // storedOffset - the file offset of the byte unread bytes before the
    // next one (bytes put back count as unread); false when more folds than
    // are remembered may lie after it.
    bool storedOffset(std::size_t unread, std::uint64_t& offset) const override;

    // get - the next folded byte (0..255), consumed; -1 at the end.
    int get();
    // peek - the next folded byte without consuming it; -1 at the end.
    int peek();
    // putBack - text is served again before the rest of the file, by read,
    // get and peek alike. REQUIRES: everything put back earlier is read.
    void putBack(std::string_view text);

  private:
    // ensureRaw - at least count raw bytes unread, unless the file ends.
    bool ensureRaw(std::size_t count);
    // foldedAt - the next folded byte and how many raw bytes it takes.
    int foldedAt(std::size_t& rawCount);

    std::FILE* file_;
    bool fileEnded_ = false;
    std::unique_ptr<char[]> raw_;
    std::size_t rawSize_;
    std::size_t rawPos_ = 0;
    std::size_t rawEnd_ = 0;
    std::string pending_;
    std::size_t pendingPos_ = 0;
    // Folded bytes made from the file so far, CR LF pairs folded in all,
    // and the folded positions of the last folds (fold n at n modulo
    // kRememberedFolds).
    std::uint64_t produced_ = 0;
    std::uint64_t folds_ = 0;
    std::unique_ptr<std::uint64_t[]> recentFolds_;
};

// A first line whose field name runs on longer than this without its colon
// is not taken for a header line (case (c) then applies); this bounds the
// bytes held back while the first line is examined.
constexpr std::size_t kMaxFirstLineLookAhead = 64 * 1024;

// positionAtMessage - skips, by the cases (a), (b) and (c) above, what
// precedes the message's own header block. Every byte after the skipped
// lines stays to be read.
void positionAtMessage(TextModeFile& input);

// openMessageForUnpacking - opens path (platform::openSharedFile, binary)
// as a TextModeFile and positions it with positionAtMessage. nullptr when
// the file cannot be opened.
std::unique_ptr<ByteSource> openMessageForUnpacking(const std::string& path);

}  // namespace tarnwick::unpacker
