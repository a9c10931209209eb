// part_reader.h - the one reader through which the unpacker consumes a
// message, with the stack of active multipart boundaries.
//
// Every consumer sees the end of the current body part as the end of input:
// nextChar returns kEndOfPart at a boundary line (a newline, two hyphens and
// one of the active boundaries, compared as a case-sensitive prefix of at
// most kMaxBoundaryLength bytes) or at the end of input. The walker then
// calls finishBoundaryLine to consume that line and learn whether the
// innermost multipart is finished.
//
// The newline is the only byte the reader treats specially; line ends reach
// it as single newlines (TextModeFile folds CR LF).
//
// Memory: the buffer starts at kInitialBufferSize and grows only to hold
// pushed-back text; the boundary table grows by kBoundaryTableGrowth entries.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mime/byte_source.h"

namespace tarnwick::mime {

class PartReader {
  public:
    static constexpr int kEndOfPart = -1;
    static constexpr std::size_t kInitialBufferSize = 1024;
    // Boundaries are stored and compared on their first 70 bytes only.
    static constexpr std::size_t kMaxBoundaryLength = 70;
    static constexpr std::size_t kBoundaryTableGrowth = 20;

    // Takes ownership of the source; release (or destruction) closes it.
    explicit PartReader(std::unique_ptr<ByteSource> source);
    ~PartReader();
    PartReader(const PartReader&) = delete;
    PartReader& operator=(const PartReader&) = delete;

    // release - closes the input and frees the buffer and tables.
    void release();

    // nextChar - the next byte (0..255) of the current part, or kEndOfPart.
    int nextChar();
    // readLine - stores bytes into buffer until size-1 bytes, a newline, or
    // the end of part, then a terminating zero. False when nothing was
    // stored (also for size 0 or 1).
    bool readLine(char* buffer, std::size_t size);
    // pushBack - puts text in front of the unread input.
    void pushBack(std::string_view text);
    // pushBackNewline - puts one newline in front of the unread input and
    // forgets any boundary seen, so a boundary on the very next line counts.
    void pushBackNewline();
    // pushBoundary - makes boundary the innermost active boundary.
    void pushBoundary(std::string_view boundary);
    // depth - number of active boundaries.
    int depth() const { return depth_; }
    // finishBoundaryLine - REQUIRES: the current part reported kEndOfPart.
    // Consumes the boundary line; true when the innermost multipart is
    // finished (closing boundary, an enclosing boundary's line, or the end
    // of input), which also drops it.
    bool finishBoundaryLine();
    // drainPart - discards the rest of the current part.
    void drainPart();

    // takeRun - bulk access for the decoders: the unread bytes of the current
    // part that can be had without a boundary check (up to, not including,
    // the next newline in the buffer; refills as needed). Empty at the end
    // of part. The bytes are consumed.
    std::string_view takeRun();

  private:
    // The buffer, the boundary table and the counters are chosen by the
    // implementation; nextChar's common case stays inline for speed.
    int depth_ = 0;
};

}  // namespace tarnwick::mime
