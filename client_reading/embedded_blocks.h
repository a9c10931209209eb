// SPDX-License-Identifier: Apache-2.0
// embedded_blocks.h - uuencoded and yEnc blocks inside text.
//
// Mail clients show a uuencoded block ("begin" and a mode, through "end")
// or a yEnc block ("=ybegin" through "=yend") found in a text
// part as an attachment of its own, wherever the part stands in the
// message. EmbeddedBlockScanner reads the decoded text of one part and
// writes every such block as an attachment. Blocks of a multi-part yEnc file
// ("=ybegin part=N" with "=ypart") are gathered in YencParts and joined in
// part order once the whole message has been read. A begin line with a
// mode other than 3 or 4 octal digits opens a block in a text part only when
// the next line is uuencoded data, so prose that happens to start with
// "begin" and a number stays text; in a part declared uuencoded it opens one
// at once.
//
// A uuencoded block the first reading wrote from the same stored bytes is
// confirmed instead of decoded (confirmBlocks): its lines are judged as
// they stream by, and when they are of the one plain shape both readings
// decode alike (full "M" lines, at most one shorter line, the empty line,
// "end") and end where the first reading's block ended, with its size, the
// block is that file's twin and nothing is written for it. Anything else
// is read again from the message file and decoded as it would have been.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client_reading/agreement.h"
#include "client_reading/extra_files.h"
#include "codec/block_lines.h"
#include "codec/decoders.h"

namespace tarnwick::client_reading {

// kMaxYencPieces - blocks of multi-part yEnc files kept per reading; later
// ones are ignored.
inline constexpr std::size_t kMaxYencPieces = 4096;

// YencParts - the multi-part yEnc blocks of one reading, spilled to a file.
class YencParts {
  public:
    explicit YencParts(ExtraFileSet& set) : set_(set) {}
    YencParts(const YencParts&) = delete;
    YencParts& operator=(const YencParts&) = delete;

    // beginPiece - the next bytes added belong to part number of name.
    void beginPiece(const std::string& name, long number);
    // add - decoded bytes of the current piece.
    void add(const std::string& bytes);
    // endPiece - the current piece is complete.
    void endPiece();
    // writeAll - joins the pieces of each name in part order (the first
    // block of each number counts) and writes each file as an attachment.
    void writeAll();

  private:
    struct Piece {
        std::string name;
        long number = 0;
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
    };

    ExtraFileSet& set_;
    std::unique_ptr<SpillFile> spill_;
    bool spillFailed_ = false;
    std::vector<Piece> pieces_;
    bool inPiece_ = false;
};

// EmbeddedBlockScanner - reads one text part's decoded bytes for blocks.
class EmbeddedBlockScanner final : public codec::ByteSink {
  public:
    // uuDeclared: the part's transfer encoding names uuencode.
    EmbeddedBlockScanner(ExtraFileSet& set, YencParts& yencParts, bool uuDeclared = false);
    ~EmbeddedBlockScanner() override;
    EmbeddedBlockScanner(const EmbeddedBlockScanner&) = delete;
    EmbeddedBlockScanner& operator=(const EmbeddedBlockScanner&) = delete;

    void write(const char* data, std::size_t size) override;
    // finish - the text has ended: an open block ends with it.
    void finish();
    // confirmBlocks - the text is the body of an identity leaf that begins
    // at bodyBegin of the message file path, as stored: blocks the first
    // reading wrote (map) are confirmed rather than decoded.
    void confirmBlocks(const FirstReadingMap& map, std::string path, std::uint64_t bodyBegin);

  private:
    enum class State { Text, UuPending, Uuencoded, YencHeader, YencData };

    // BlockCheck - the lines of a block being confirmed: which may come
    // next, the bytes they hold, the line not yet ended.
    struct BlockCheck {
        enum class Next { FullOrShort, Empty, End, Done, Failed };
        const WrittenPart* part = nullptr;  // null while none is checked
        std::uint64_t from = 0;             // where its lines began, in the text
        Next next = Next::FullOrShort;
        std::uint64_t decoded = 0;
        std::string line;
    };

    // scan - reads text as it comes; stops early (returning the bytes
    // read) where a block that may be confirmed has its first line.
    std::size_t scan(const char* data, std::size_t size);
    // startCheck - at offset at of the text, after a "begin" line.
    void startCheck(std::uint64_t at);
    // check - feeds the block check the text from offset at on; returns
    // the bytes it took.
    std::size_t check(const char* data, std::size_t size, std::uint64_t at);
    // judgeLine - one whole line of the block, without its line end.
    void judgeLine(std::string_view line);
    // giveUpCheck - the block is decoded after all: what the check took,
    // up to offset upTo of the text, is read again and scanned.
    void giveUpCheck(std::uint64_t upTo);

    void endLine();
    void beginYenc(const std::string& line);
    void endBlock();
    void emit(const std::string& bytes);

    ExtraFileSet& set_;
    YencParts& yencParts_;
    bool uuDeclared_;
    State state_ = State::Text;
    std::string line_;
    std::string ended_;  // the line endLine looks at
    bool lineOverflowed_ = false;
    bool afterCr_ = false;
    bool skippingLine_ = false;        // a text line that cannot open a block
    std::unique_ptr<LeafSink> block_;  // a uuencoded or single yEnc block
    bool yencPiece_ = false;           // the yEnc block is a multi-part piece
    codec::YencUnescaper yenc_;
    std::string decoded_;
    // Confirming blocks: the first reading's files, where the text lies.
    const FirstReadingMap* map_ = nullptr;
    std::string path_;
    std::uint64_t bodyBegin_ = 0;
    std::uint64_t fed_ = 0;  // bytes of text before the current write
    bool armed_ = false;     // a block's first line comes next
    bool rereading_ = false;
    BlockCheck check_;
};

}  // namespace tarnwick::client_reading
