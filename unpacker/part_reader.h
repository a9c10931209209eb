// SPDX-License-Identifier: Apache-2.0
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
// pushed-back text; the boundary table grows by at least
// kBoundaryTableGrowth entries (geometrically, so pushing many boundaries
// stays linear). Finding which active boundary a line opens costs at most
// kMaxBoundaryLength + 1 hash probes whatever the number of boundaries.
//
// Reads of the source: at most the buffer size each; at a newline the
// reader looks ahead up to kBoundaryLookAhead bytes, reading again as often
// as needed, so how a source splits its data never changes what is seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "unpacker/byte_source.h"

namespace tarnwick::unpacker {

class PartReader {
  public:
    static constexpr int kEndOfPart = -1;
    static constexpr std::size_t kInitialBufferSize = 1024;
    // Boundaries are stored and compared on their first 70 bytes only.
    static constexpr std::size_t kMaxBoundaryLength = 70;
    static constexpr std::size_t kBoundaryTableGrowth = 20;
    // A newline, two hyphens and the longest stored boundary.
    static constexpr std::size_t kBoundaryLookAhead = 3 + kMaxBoundaryLength;

    // Takes ownership of the source; release (or destruction) closes it.
    explicit PartReader(std::unique_ptr<ByteSource> source);
    ~PartReader();
    PartReader(const PartReader&) = delete;
    PartReader& operator=(const PartReader&) = delete;

    // release - closes the input and frees the buffer and tables.
    void release();

    // nextChar - the next byte (0..255) of the current part, or kEndOfPart.
    // Once a boundary line has ended the part, every call returns
    // kEndOfPart (bytes pushed back meanwhile excepted, up to their first
    // newline) until finishBoundaryLine has dealt with it.
    int nextChar() {
        if (read_ != end_ && *read_ != '\n')
            return static_cast<unsigned char>(*read_++);
        return nextCharSlow();
    }
    // readLine - stores bytes into buffer until size-1 bytes, a newline, or
    // the end of part, then a terminating zero. False when nothing was
    // stored (also for size 0 or 1). A longer line comes in pieces; only
    // the last piece ends with the newline.
    bool readLine(char* buffer, std::size_t size) { return readLinePiece(buffer, size) != 0; }
    // readLinePiece - readLine that returns the number of bytes stored (0
    // when readLine would yield false). Zero bytes inside the line count.
    std::size_t readLinePiece(char* buffer, std::size_t size);
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

    // takeRun - bulk access for the decoders. Returns the next bytes of the
    // current part, exactly the bytes successive nextChar calls would
    // return, and consumes them. A run holds whole lines as long as none
    // can begin a boundary line: it stops before a newline followed by "-"
    // while a boundary is active, before a newline that is the last
    // buffered byte, or at the end of the buffered data. Empty exactly when
    // nextChar would return kEndOfPart. The view points into the reader's
    // buffer and is valid until the next call of any member of this reader.
    std::string_view takeRun();

    // storedOffset - the offset in the stored message file of the next
    // byte of the part (of the newline in front of the boundary line once
    // the part has ended); false when the source cannot tell.
    bool storedOffset(std::uint64_t& offset) const {
        return source_ != nullptr &&
               source_->storedOffset(static_cast<std::size_t>(end_ - read_), offset);
    }

  private:
    class BoundaryTable;

    // runEnd - where a run from read_ must stop (see takeRun).
    char* runEnd() const;

    // nextCharSlow - nextChar when the next byte is a newline or none is
    // buffered: end-of-part state, refill, boundary line check.
    int nextCharSlow();
    // refill - REQUIRES: no unread byte. Reads into the start of the buffer;
    // false at the end of input.
    bool refill();
    // lookAhead - reads until wanted bytes are unread or the input ends.
    void lookAhead(std::size_t wanted);
    // beginsBoundaryLine - REQUIRES: the next byte is a newline. True (and
    // boundarySeen_ set) when it begins a line of an active boundary.
    bool beginsBoundaryLine();
    // makeRoomInFront - makes sure length + 1 bytes lie in front of the
    // unread bytes, growing the buffer when needed.
    void makeRoomInFront(std::size_t length);
    // dropInnermost - forgets the innermost boundary.
    void dropInnermost();

    std::unique_ptr<ByteSource> source_;
    bool inputEnded_ = false;
    std::unique_ptr<char[]> buffer_;
    std::size_t bufferSize_ = 0;
    // The unread bytes are [read_, end_), inside the buffer.
    char* read_ = nullptr;
    char* end_ = nullptr;
    std::unique_ptr<BoundaryTable> boundaries_;
    int depth_ = 0;
    // Index of the boundary whose line ended the current part; depth_ (or
    // more) when none has been seen.
    int boundarySeen_ = 0;
};

}  // namespace tarnwick::unpacker
