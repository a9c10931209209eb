// SPDX-License-Identifier: Apache-2.0
// input_reader.h - line reading on the command channel (standard input).
//
// The mail server writes a command and then waits for its answer, so the
// reader must never wait for a byte beyond a line end: after a CR or LF the
// second byte of a CR LF / LF CR pair is taken only when it is already
// buffered or the descriptor reports it can be read at once. When the pair
// was split between two writes, its second byte arrives at the start of the
// next read and is dropped there, so the same bytes give the same lines
// however the pipe happened to split them.
//
// The reader reads the raw descriptor through the platform layer; it does not
// translate line ends or any other byte. It is used by one thread only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tarnwick {

// inputBufferSize - bytes asked for per read of the descriptor. A line
// longer than this is simply assembled from several reads.
inline constexpr std::size_t inputBufferSize = 4096;

// InputLineReader - buffered line reader over one file descriptor, which it
// does not own (it never closes it).
class InputLineReader {
  public:
    explicit InputLineReader(int descriptor);
    InputLineReader(const InputLineReader&) = delete;
    InputLineReader& operator=(const InputLineReader&) = delete;

    // readTextLine - reads the next line into line (without its line end).
    // Returns false, with line empty, once the input has ended (or a read
    // failed) before any byte of a new line was taken; a last line without a
    // line end is still returned as a line. Blocks only until the first byte
    // of a line, or the rest of a line, has arrived.
    bool readTextLine(std::string& line);

  private:
    // fill - one blocking read into the empty buffer; false at end or error.
    bool fill();
    // pairByteAvailable - true when the next byte can be had without waiting.
    bool pairByteAvailable();

    int descriptor_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool ended_ = false;
    // The byte that would have completed the line end of the previous line
    // when that line had to end before it arrived; 0 when none is owed.
    char owedPairByte_ = 0;
};

// readTextLine - the same as reader.readTextLine(line).
bool readTextLine(InputLineReader& reader, std::string& line);

}  // namespace tarnwick
