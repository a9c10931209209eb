// SPDX-License-Identifier: Apache-2.0
// block_lines.h - the lines of uuencoded and yEnc blocks: what opens and
// ends a uuencoded block, what a line of one holds, and the unescaping of
// yEnc data. The uuencode decoder (decoders.h) and the second reading's
// scanner of blocks embedded in text share them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnwick::codec {

// kMaxUuLine - the part of a uuencoded line looked at (a full line is 61).
inline constexpr std::size_t kMaxUuLine = 256;

// isUuBeginLine - "begin", blanks, a mode of 3 or 4 octal digits, then a
// blank or the end of the line. With anyMode, the mode is any octal number
// as lenient readers take it: any count of digits, a sign, a "0o" prefix,
// single underscores between digits.
bool isUuBeginLine(std::string_view line, bool anyMode = false);
// looksUuencoded - line has the length its count character asks for (give
// or take the padding encoders add or drop) and only uuencode characters.
bool looksUuencoded(std::string_view line);
// isUuEndLine - "end", optionally followed by blanks.
bool isUuEndLine(std::string_view line);
// appendUuLine - appends the bytes one uuencoded line holds (its first
// character gives the count; missing characters count as zero bits).
void appendUuLine(std::string_view line, std::string& out);

// YencUnescaper - undoes yEnc data bytes: line ends are dropped, "=" escapes
// the next byte (minus 64), every byte is then reduced by 42 modulo 256.
class YencUnescaper {
  public:
    // decode - appends the bytes data holds to out.
    void decode(std::string_view data, std::string& out);
    // reset - forgets a pending "=" (at the start of a block).
    void reset() { escaped_ = false; }

  private:
    bool escaped_ = false;
};

}  // namespace tarnwick::codec
