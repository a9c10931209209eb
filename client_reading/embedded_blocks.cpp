// SPDX-License-Identifier: Apache-2.0
// embedded_blocks.cpp - finding and decoding uuencoded and yEnc blocks in
// decoded text, line by line.
#include "client_reading/embedded_blocks.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "client_reading/line_input.h"

namespace tarnwick::client_reading {

namespace {

// kMaxScannedLine - the part of a text line kept for recognising block
// lines; the rest of a longer yEnc data line is decoded as it comes.
constexpr std::size_t kMaxScannedLine = 8 * 1024;
// kMaxYencNameBytes - the part of a yEnc file name kept to join its pieces.
constexpr std::size_t kMaxYencNameBytes = 256;
// kMaxCheckedLine - the longest line of a block that can be confirmed: a
// full line (61 characters) and a CR.
constexpr std::size_t kMaxCheckedLine = 62;
// kFullLineBytes - the bytes a full uuencoded line ("M") holds.
constexpr std::size_t kFullLineBytes = 45;
// kRereadBlock - bytes read at once when a block is decoded after all.
constexpr std::size_t kRereadBlock = 64 * 1024;

bool startsWith(const std::string& text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::string_view(text).substr(0, prefix.size()) == prefix;
}

// yencKeyword - the line opens with "=y" and keyword, then a blank or its end.
bool yencKeyword(const std::string& line, std::string_view keyword) {
    const std::size_t length = 2 + keyword.size();
    return startsWith(line, "=y") && std::string_view(line).substr(2, keyword.size()) == keyword &&
           (line.size() == length || line[length] == ' ' || line[length] == '\t');
}

// yencValue - the value of " key=" on a yEnc line ("name" takes the rest).
std::string yencValue(const std::string& line, std::string_view key) {
    const std::string pattern = std::string(" ") + std::string(key) + "=";
    const std::size_t at = line.find(pattern);
    if (at == std::string::npos)
        return {};
    const std::size_t from = at + pattern.size();
    if (key == "name")
        return line.substr(from, kMaxYencNameBytes);
    const std::size_t end = line.find_first_of(" \t", from);
    return line.substr(from, end == std::string::npos ? end : end - from);
}

// lineEndIn - the index of the first CR or LF in data[from, size), or size.
std::size_t lineEndIn(const char* data, std::size_t from, std::size_t size) {
    if (from >= size)
        return size;
    const void* lf = std::memchr(data + from, '\n', size - from);
    const std::size_t lfAt =
        lf == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(lf) - data);
    const void* cr = std::memchr(data + from, '\r', lfAt - from);
    return cr == nullptr ? lfAt : static_cast<std::size_t>(static_cast<const char*>(cr) - data);
}

// isUuText - line holds only characters from blank to grave accent; eight
// at a time, the high bit of each byte marking it.
bool isUuText(std::string_view line) {
    constexpr std::uint64_t kLowBits = 0x0101010101010101u;
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    std::size_t i = 0;
    for (; line.size() - i >= 8; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, line.data() + i, 8);
        const std::uint64_t fromBlank = word + kLowBits * (0x80 - ' ');
        const std::uint64_t pastGrave = word + kLowBits * (0x7F - '`');
        if ((word & kHighBits) != 0 || (fromBlank & ~pastGrave & kHighBits) != kHighBits)
            return false;
    }
    for (; i < line.size(); ++i)
        if (line[i] < ' ' || line[i] > '`')
            return false;
    return true;
}

}  // namespace

void YencParts::beginPiece(const std::string& name, long number) {
    endPiece();
    if (pieces_.size() >= kMaxYencPieces) {
        set_.noteLimit("yEnc pieces");
        return;
    }
    if (spillFailed_)
        return;
    if (spill_ == nullptr) {
        spill_ = set_.openSpill();
        if (spill_ == nullptr) {
            spillFailed_ = true;
            return;
        }
    }
    pieces_.push_back(Piece{name, number, spill_->size(), 0});
    inPiece_ = true;
}

void YencParts::add(const std::string& bytes) {
    if (!inPiece_)
        return;
    spill_->append(bytes.data(), bytes.size());
    pieces_.back().length = spill_->size() - pieces_.back().offset;
}

void YencParts::endPiece() {
    inPiece_ = false;
}

void YencParts::writeAll() {
    endPiece();
    if (spill_ == nullptr)
        return;
    spill_->close();
    if (spill_->path().empty() || !set_.checkSpill(spill_->path())) {
        set_.releaseSpill(spill_->path());
        return;
    }
    std::stable_sort(pieces_.begin(), pieces_.end(), [](const Piece& a, const Piece& b) {
        return a.name != b.name ? a.name < b.name : a.number < b.number;
    });
    std::string block(64 * 1024, '\0');
    for (std::size_t i = 0; i < pieces_.size();) {
        LeafSink sink(set_, false);
        std::size_t j = i;
        for (; j < pieces_.size() && pieces_[j].name == pieces_[i].name; ++j) {
            if (j != i && pieces_[j].number == pieces_[j - 1].number)
                continue;  // the same part again: the first one counts
            RangeReader reader(spill_->path(), pieces_[j].offset,
                               pieces_[j].offset + pieces_[j].length);
            if (!reader.open())
                set_.noteSpillUnreadable();
            for (std::size_t count; (count = reader.read(block.data(), block.size())) != 0;)
                sink.write(block.data(), count);
        }
        sink.finish();
        i = j;
    }
    set_.releaseSpill(spill_->path());
}

EmbeddedBlockScanner::EmbeddedBlockScanner(ExtraFileSet& set, YencParts& yencParts, bool uuDeclared)
    : set_(set), yencParts_(yencParts), uuDeclared_(uuDeclared) {}

EmbeddedBlockScanner::~EmbeddedBlockScanner() {
    finish();
}

void EmbeddedBlockScanner::confirmBlocks(const FirstReadingMap& map, std::string path,
                                         std::uint64_t bodyBegin) {
    map_ = &map;
    path_ = std::move(path);
    bodyBegin_ = bodyBegin;
}

void EmbeddedBlockScanner::write(const char* data, std::size_t size) {
    std::size_t i = 0;
    while (i < size) {
        if (check_.part != nullptr) {
            i += check(data + i, size - i, fed_ + i);
            continue;
        }
        i += scan(data + i, size - i);
        if (armed_ && i < size)
            startCheck(fed_ + i);
    }
    fed_ += size;
}

void EmbeddedBlockScanner::startCheck(std::uint64_t at) {
    armed_ = false;
    const WrittenPart* part = map_->find(path_, bodyBegin_ + at, codec::TransferEncoding::Uuencode);
    if (part == nullptr)
        return;
    check_.part = part;
    check_.from = at;
}

std::size_t EmbeddedBlockScanner::check(const char* data, std::size_t size, std::uint64_t at) {
    using Next = BlockCheck::Next;
    std::size_t i = 0;
    while (i < size && check_.next != Next::Done && check_.next != Next::Failed) {
        const void* found = std::memchr(data + i, '\n', size - i);
        const std::size_t end =
            found == nullptr ? size
                             : static_cast<std::size_t>(static_cast<const char*>(found) - data);
        if (check_.line.size() + (end - i) > kMaxCheckedLine) {
            check_.next = Next::Failed;
            break;
        }
        if (found == nullptr) {
            check_.line.append(data + i, end - i);
            i = size;
        } else if (check_.line.empty()) {
            judgeLine(std::string_view(data + i, end - i));
            i = end + 1;
        } else {
            check_.line.append(data + i, end - i);
            judgeLine(check_.line);
            check_.line.clear();
            i = end + 1;
        }
    }
    if (check_.next == Next::Done && bodyBegin_ + at + i == check_.part->end &&
        static_cast<std::int64_t>(check_.decoded) == check_.part->size) {
        // The first reading's file holds these very bytes: a twin, not
        // written again.
        check_ = BlockCheck{};
        endBlock();
        state_ = State::Text;
    } else if (check_.next == Next::Done || check_.next == Next::Failed) {
        giveUpCheck(at + i);
    }
    return i;
}

void EmbeddedBlockScanner::judgeLine(std::string_view line) {
    using Next = BlockCheck::Next;
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (check_.next == Next::End) {
        check_.next = line == "end" ? Next::Done : Next::Failed;
        return;
    }
    // Only characters from blank to grave accent, as many as the count
    // character asks for: both readings decode such a line alike.
    const bool plain = !line.empty() && isUuText(line);
    const std::size_t count = plain ? static_cast<std::size_t>((line[0] - ' ') & 63) : 0;
    if (!plain || count > kFullLineBytes || line.size() != 1 + (count + 2) / 3 * 4) {
        check_.next = Next::Failed;
    } else if (count == 0) {
        check_.next = Next::End;  // the empty line, after full lines or the short one
    } else if (check_.next != Next::FullOrShort) {
        check_.next = Next::Failed;  // data after the short line
    } else {
        check_.decoded += count;
        if (count < kFullLineBytes)
            check_.next = Next::Empty;
    }
}

void EmbeddedBlockScanner::giveUpCheck(std::uint64_t upTo) {
    const std::uint64_t from = check_.from;
    check_ = BlockCheck{};
    rereading_ = true;
    RangeReader reader(path_, bodyBegin_ + from, bodyBegin_ + upTo);
    std::unique_ptr<char[]> block(new char[kRereadBlock]);
    for (std::size_t got; (got = reader.read(block.get(), kRereadBlock)) != 0;)
        scan(block.get(), got);
    rereading_ = false;
}

std::size_t EmbeddedBlockScanner::scan(const char* data, std::size_t size) {
    std::size_t i = 0;
    while (i < size) {
        const char c = data[i];
        // A block that may be confirmed has its first line here.
        if (armed_ && !(afterCr_ && c == '\n'))
            return i;
        if (c == '\n' || c == '\r') {
            skippingLine_ = false;
            if (!(c == '\n' && afterCr_))
                endLine();
            afterCr_ = c == '\r';
            ++i;
            continue;
        }
        afterCr_ = false;
        if (skippingLine_ ||
            (state_ == State::Text && line_.empty() && !lineOverflowed_ && c != 'b' && c != '=')) {
            // In text only a line opening with "begin" or "=ybegin" counts.
            skippingLine_ = true;
            i = lineEndIn(data, i + 1, size);
            continue;
        }
        if (line_.size() < kMaxScannedLine) {
            // Up to the line end, but no further than the line may grow.
            const std::size_t limit = i + std::min(size - i, kMaxScannedLine - line_.size());
            const std::size_t end = lineEndIn(data, i + 1, limit);
            line_.append(data + i, end - i);
            i = end;
            continue;
        }
        // A long line: only yEnc data needs all of it, and gets it in pieces.
        if (state_ == State::YencData && (lineOverflowed_ || !startsWith(line_, "=y"))) {
            decoded_.clear();
            yenc_.decode(line_, decoded_);
            emit(decoded_);
            line_.clear();
            line_.push_back(c);
            lineOverflowed_ = true;
            ++i;
            continue;
        }
        i = lineEndIn(data, i + 1, size);  // the rest of this piece of the line is not looked at
    }
    return size;
}

void EmbeddedBlockScanner::finish() {
    if (check_.part != nullptr)
        giveUpCheck(fed_);
    armed_ = false;
    skippingLine_ = false;
    if (!line_.empty())
        endLine();
    endBlock();
    state_ = State::Text;
}

void EmbeddedBlockScanner::emit(const std::string& bytes) {
    if (bytes.empty())
        return;
    if (yencPiece_)
        yencParts_.add(bytes);
    else if (block_ != nullptr)
        block_->write(bytes.data(), bytes.size());
}

void EmbeddedBlockScanner::endBlock() {
    if (block_ != nullptr)
        block_->finish();
    block_.reset();
    if (yencPiece_)
        yencParts_.endPiece();
    yencPiece_ = false;
}

void EmbeddedBlockScanner::beginYenc(const std::string& line) {
    endBlock();
    yenc_.reset();
    const std::string part = yencValue(line, "part");
    if (!part.empty()) {
        long number = 0;
        for (char c : part.substr(0, 9))
            if (c >= '0' && c <= '9')
                number = number * 10 + (c - '0');
        yencParts_.beginPiece(yencValue(line, "name"), number);
        yencPiece_ = true;
        state_ = State::YencHeader;
    } else {
        block_ = std::make_unique<LeafSink>(set_, false);
        state_ = State::YencData;
    }
}

void EmbeddedBlockScanner::endLine() {
    const bool continued = lineOverflowed_;
    lineOverflowed_ = false;
    // The two buffers trade places, so neither gives up its room.
    ended_.swap(line_);
    line_.clear();
    const std::string& line = ended_;
    if (continued) {
        // The tail of a long yEnc data line.
        decoded_.clear();
        yenc_.decode(line, decoded_);
        emit(decoded_);
        return;
    }
    switch (state_) {
        case State::UuPending:
            if (codec::looksUuencoded(line)) {
                block_ = std::make_unique<LeafSink>(set_, false);
                state_ = State::Uuencoded;
                decoded_.clear();
                codec::appendUuLine(line, decoded_);
                emit(decoded_);
                return;
            }
            state_ = State::Text;  // prose after all: the line is text
            [[fallthrough]];
        case State::Text:
            if (codec::isUuBeginLine(line, uuDeclared_)) {
                block_ = std::make_unique<LeafSink>(set_, false);
                state_ = State::Uuencoded;
                armed_ = map_ != nullptr && !rereading_;
            } else if (codec::isUuBeginLine(line, true)) {
                state_ = State::UuPending;
            } else if (yencKeyword(line, "begin")) {
                beginYenc(line);
            }
            return;
        case State::Uuencoded:
            if (codec::isUuEndLine(line)) {
                endBlock();
                state_ = State::Text;
            } else if (codec::isUuBeginLine(line, uuDeclared_)) {
                endBlock();
                block_ = std::make_unique<LeafSink>(set_, false);
            } else {
                decoded_.clear();
                codec::appendUuLine(line, decoded_);
                emit(decoded_);
            }
            return;
        case State::YencHeader:
            state_ = State::YencData;
            if (yencKeyword(line, "part"))
                return;
            [[fallthrough]];
        case State::YencData:
            if (yencKeyword(line, "end")) {
                endBlock();
                state_ = State::Text;
            } else if (yencKeyword(line, "begin")) {
                beginYenc(line);
            } else {
                decoded_.clear();
                yenc_.decode(line, decoded_);
                emit(decoded_);
            }
            return;
    }
}

}  // namespace tarnwick::client_reading
