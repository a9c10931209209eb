// SPDX-License-Identifier: Apache-2.0
// line_input.h - the raw bytes of one stored file range, line by line.
//
// The second reading sees a message exactly as it is stored: nothing is
// folded, and a line ends at CR LF, at LF or, unless told that only LF ends
// lines (the rule of some parsers, client_rules.h), at a lone CR. A line of any
// length is handed out as a head of at most kLineHeadBytes (enough for every
// delimiter and header line the reader looks at) and, for longer lines, the
// rest in pieces, so that memory stays bounded whatever the input. Offsets
// are absolute positions in the file, in 64 bits. A read error counts as the
// end of the range.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace tarnwick::client_reading {

// kLineHeadBytes - the part of a line kept together in memory; the rest of a
// longer line is only streamed.
inline constexpr std::size_t kLineHeadBytes = 4096;

// RangeReader - reads [begin, end) of a file. Owns the handle: not copyable.
class RangeReader {
  public:
    // How the reader is read: in reads of any size, or only in blocks of
    // 16 KiB or more, which need no stdio buffer (its allocation and a look
    // at the file are saved).
    enum class Reads { AnySize, WholeBlocks };

    // Opens path for reading and positions it at begin. open() tells whether
    // that worked; an unopened reader reads nothing.
    RangeReader(const std::string& path, std::uint64_t begin, std::uint64_t end,
                Reads reads = Reads::AnySize);
    ~RangeReader();
    RangeReader(const RangeReader&) = delete;
    RangeReader& operator=(const RangeReader&) = delete;

    bool open() const { return file_ != nullptr; }
    // read - up to size bytes; 0 at the end of the range or on error.
    std::size_t read(char* buffer, std::size_t size);

  private:
    std::FILE* file_ = nullptr;
    std::uint64_t remaining_ = 0;
};

// Line - one line as LineInput::next hands it out.
struct Line {
    std::uint64_t offset = 0;  // where the line begins
    std::string_view head;     // its first bytes, without the line end
    bool complete = false;     // head is the whole content of the line
};

// LineInput - splits the bytes of a RangeReader into lines.
class LineInput {
  public:
    // loneCrEndsLine: false when a CR not followed by LF is a byte of its
    // line.
    LineInput(RangeReader& source, std::uint64_t beginOffset, bool loneCrEndsLine = true);
    LineInput(const LineInput&) = delete;
    LineInput& operator=(const LineInput&) = delete;

    // next - the next line; false at the end of the range. Skips whatever
    // the caller left unread of the previous line. line.head stays valid
    // until the next call of next or rest.
    bool next(Line& line);
    // peekHead - the head next would hand out, without consuming anything;
    // false at the end of the range. REQUIRES: the previous line is
    // consumed to its end. head stays valid until the next call.
    bool peekHead(std::string_view& head);
    // rest - the next piece of the current line's content after its head;
    // false when none is left. Needed only when the head was not complete.
    bool rest(std::string_view& piece);
    // nextRun - when the next lines lie whole in the buffer and none of
    // them begins with the byte avoid, consumes as many of them as the
    // buffer holds at once and hands out their bytes from the first line's
    // beginning to the last line's content end (the line ends between them
    // included); lineEnd and contentEnd then describe the last line. False,
    // with nothing consumed, when the next line begins with avoid, is not
    // whole in the buffer or has no line end yet. REQUIRES: the previous
    // line is consumed to its end (rest has returned false, or head
    // complete). run stays valid until the next call of next, rest or
    // nextRun.
    bool nextRun(char avoid, std::string_view& run);
    // lineEnd - the current line's end: "\r\n", "\n", "\r" or "" at the end
    // of the range. REQUIRES: rest has returned false (or head complete).
    std::string_view lineEnd() const { return lineEnd_; }
    // contentEnd - the offset where the current line's end begins.
    // REQUIRES: as lineEnd.
    std::uint64_t contentEnd() const { return contentEnd_; }
    // lineEndedByLoneCr - some line handed out so far ended at a lone CR
    // (only where lone CRs end lines).
    bool lineEndedByLoneCr() const { return lineEndedByLoneCr_; }
    // offset - the offset just past everything handed out so far.
    std::uint64_t offset() const { return bufferOffset_ + position_; }

  private:
    static constexpr std::size_t kBufferBytes = 64 * 1024;

    bool fill();
    // findLineEnd - index of the first line end in [from, to) (a CR or LF;
    // where only LF ends lines, LF or the CR of CR LF, or a CR at the
    // buffer's end while more input may follow), or to.
    std::size_t findLineEnd(std::size_t from, std::size_t to) const;
    // scanHead - fills until the head of the line at position_ can be told
    // and returns where its content ends (scanTo when no line end lies
    // within the head's reach, which scanTo marks); crDecides: a CR at the
    // buffer's end waits for the byte after it.
    std::size_t scanHead(bool crDecides, std::size_t& scanTo);
    // takeLineEnd - consumes the line end at position_ (known present or at
    // the end of input) and records it.
    void takeLineEnd();

    RangeReader& source_;
    std::unique_ptr<char[]> buffer_;
    std::size_t position_ = 0;
    std::size_t length_ = 0;
    std::uint64_t bufferOffset_;  // offset of buffer_[0]
    bool endOfInput_ = false;
    bool loneCrEndsLine_;
    bool lineEndedByLoneCr_ = false;
    bool inLine_ = false;  // the current line's end is not yet consumed
    std::string_view lineEnd_;
    std::uint64_t contentEnd_ = 0;
};

}  // namespace tarnwick::client_reading
