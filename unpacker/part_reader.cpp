// SPDX-License-Identifier: Apache-2.0
// part_reader.cpp - the buffered reader with the stack of active multipart
// boundaries.
//
// Only a newline can begin a boundary line, so the hot paths (nextChar,
// readLinePiece, takeRun, drainPart) move over runs of other bytes with
// memchr and look closer only at newlines. Does not interpret anything but
// boundary lines; the header parser and the decoders do the rest.
#include "unpacker/part_reader.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

namespace tarnwick::unpacker {

// BoundaryTable - the active boundaries, with an index that finds the
// outermost boundary a line opens in constant time.
//
// A line opens boundary i when the stored text of i is a prefix of the
// line's bytes after the hyphens. The candidates are therefore the line's
// own prefixes of length 0..kMaxBoundaryLength, and each one can be looked
// up in a hash table keyed by the text. Equal texts share one table slot
// that remembers the outermost of them (the lowest index): boundaries are
// only ever dropped innermost first, so that index stays right until the
// last of the equal texts is dropped.
class PartReader::BoundaryTable {
  public:
    static constexpr int kNone = -1;

    // push - stores the first kMaxBoundaryLength bytes of text as the new
    // innermost entry.
    void push(std::string_view text) {
        const std::size_t length = std::min(text.size(), kMaxBoundaryLength);
        Entry entry;
        std::memcpy(entry.text, text.data(), length);
        entry.text[length] = '\0';
        entry.length = static_cast<unsigned char>(length);
        entry.hash = hashOf(entry.text, length);
        if (entries_.size() == entries_.capacity())
            entries_.reserve(entries_.size() + std::max(kBoundaryTableGrowth, entries_.size()));
        entries_.push_back(entry);
        const int index = static_cast<int>(entries_.size()) - 1;
        const int first = find(entry.text, length, entry.hash);
        if (first != kNone) {
            ++entries_[first].sameCount;
            return;
        }
        entries_[index].sameCount = 1;
        ++lengthCount_[length];
        insert(index);
    }

    // pop - drops the innermost entry. REQUIRES: not empty.
    void pop() {
        const Entry& last = entries_.back();
        const int first = find(last.text, last.length, last.hash);
        assert(first != kNone);
        if (--entries_[first].sameCount == 0) {
            erase(first);
            --lengthCount_[last.length];
        }
        entries_.pop_back();
    }

    // length - stored length of entry index.
    std::size_t length(int index) const { return entries_[index].length; }

    // outermostMatch - lowest index whose text is a prefix of the available
    // bytes of text (at most kMaxBoundaryLength are looked at), or kNone.
    int outermostMatch(const char* text, std::size_t available) const {
        const std::size_t limit = std::min(available, kMaxBoundaryLength);
        int best = kNone;
        std::uint32_t hash = kHashBasis;
        for (std::size_t length = 0;; ++length) {
            if (lengthCount_[length] != 0) {
                const int found = find(text, length, hash);
                if (found != kNone && (best == kNone || found < best))
                    best = found;
            }
            if (length == limit)
                break;
            hash = hashStep(hash, text[length]);
        }
        return best;
    }

  private:
    struct Entry {
        char text[kMaxBoundaryLength + 1];
        unsigned char length;
        std::uint32_t hash;
        // Number of active entries with this text; kept on the outermost.
        int sameCount;
    };

    static constexpr std::uint32_t kHashBasis = 2166136261u;
    static std::uint32_t hashStep(std::uint32_t hash, char byte) {
        return (hash ^ static_cast<unsigned char>(byte)) * 16777619u;
    }
    static std::uint32_t hashOf(const char* text, std::size_t length) {
        std::uint32_t hash = kHashBasis;
        for (std::size_t i = 0; i < length; ++i)
            hash = hashStep(hash, text[i]);
        return hash;
    }

    // find - the index registered for this text, or kNone.
    int find(const char* text, std::size_t length, std::uint32_t hash) const {
        if (slots_.empty())
            return kNone;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            const int index = slots_[slot];
            if (index == kNone)
                return kNone;
            const Entry& entry = entries_[index];
            if (entry.hash == hash && entry.length == length &&
                std::memcmp(entry.text, text, length) == 0)
                return index;
        }
    }

    // insert - registers index; the table stays at most half full.
    void insert(int index) {
        if ((registered_ + 1) * 2 > slots_.size()) {
            std::vector<int> old = std::move(slots_);
            slots_.assign(std::max<std::size_t>(16, old.size() * 2), kNone);
            for (int kept : old)
                if (kept != kNone)
                    place(kept);
        }
        place(index);
        ++registered_;
    }

    void place(int index) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t slot = entries_[index].hash & mask;
        while (slots_[slot] != kNone)
            slot = (slot + 1) & mask;
        slots_[slot] = index;
    }

    // erase - unregisters index, shifting later members of its probe run
    // back so that no lookup stops early at the hole.
    void erase(int index) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t hole = entries_[index].hash & mask;
        while (slots_[hole] != index)
            hole = (hole + 1) & mask;
        for (std::size_t next = (hole + 1) & mask; slots_[next] != kNone;
             next = (next + 1) & mask) {
            const std::size_t home = entries_[slots_[next]].hash & mask;
            // Move it into the hole when its home is not in (hole, next].
            const bool homeBetween =
                hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
            if (!homeBetween) {
                slots_[hole] = slots_[next];
                hole = next;
            }
        }
        slots_[hole] = kNone;
        --registered_;
    }

    std::vector<Entry> entries_;
    std::vector<int> slots_;
    std::size_t registered_ = 0;
    // Number of distinct registered texts of each length.
    std::size_t lengthCount_[kMaxBoundaryLength + 1] = {};
};

PartReader::PartReader(std::unique_ptr<ByteSource> source)
    : source_(std::move(source)),
      buffer_(new char[kInitialBufferSize]),
      bufferSize_(kInitialBufferSize),
      boundaries_(std::make_unique<BoundaryTable>()) {
    read_ = end_ = buffer_.get();
}

PartReader::~PartReader() = default;

void PartReader::release() {
    source_.reset();
    inputEnded_ = true;
    buffer_.reset();
    bufferSize_ = 0;
    read_ = end_ = nullptr;
    boundaries_ = std::make_unique<BoundaryTable>();
    depth_ = 0;
    boundarySeen_ = 0;
}

bool PartReader::refill() {
    read_ = end_ = buffer_.get();
    if (inputEnded_)
        return false;
    const std::size_t count = source_->read(buffer_.get(), bufferSize_);
    if (count == 0) {
        inputEnded_ = true;
        return false;
    }
    end_ += count;
    return true;
}

void PartReader::lookAhead(std::size_t wanted) {
    char* const bufferEnd = buffer_.get() + bufferSize_;
    while (static_cast<std::size_t>(end_ - read_) < wanted && !inputEnded_) {
        if (read_ != buffer_.get() && static_cast<std::size_t>(bufferEnd - read_) < wanted) {
            const std::size_t unread = end_ - read_;
            std::memmove(buffer_.get(), read_, unread);
            read_ = buffer_.get();
            end_ = read_ + unread;
        }
        const std::size_t count = source_->read(end_, bufferEnd - end_);
        if (count == 0)
            inputEnded_ = true;
        end_ += count;
    }
}

bool PartReader::beginsBoundaryLine() {
    std::size_t unread = end_ - read_;
    if (unread < 3 || (unread < kBoundaryLookAhead && read_[1] == '-' && read_[2] == '-')) {
        lookAhead(kBoundaryLookAhead);
        unread = end_ - read_;
    }
    if (unread < 3 || read_[1] != '-' || read_[2] != '-')
        return false;
    const int match = boundaries_->outermostMatch(read_ + 3, unread - 3);
    if (match == BoundaryTable::kNone)
        return false;
    boundarySeen_ = match;
    return true;
}

int PartReader::nextCharSlow() {
    if (read_ != end_ && *read_ != '\n')
        return static_cast<unsigned char>(*read_++);
    if (boundarySeen_ < depth_)
        return kEndOfPart;
    if (read_ == end_) {
        if (!refill()) {
            // The end of input ends every open multipart level.
            boundarySeen_ = 0;
            return kEndOfPart;
        }
        if (*read_ != '\n')
            return static_cast<unsigned char>(*read_++);
    }
    // Without an active boundary no line can end the part.
    if (depth_ > 0 && beginsBoundaryLine())
        return kEndOfPart;
    ++read_;
    return '\n';
}

std::size_t PartReader::readLinePiece(char* buffer, std::size_t size) {
    if (size < 2)
        return 0;
    const std::size_t limit = size - 1;
    std::size_t stored = 0;
    while (stored < limit) {
        if (read_ == end_ || *read_ == '\n') {
            const int c = nextCharSlow();
            if (c == kEndOfPart)
                break;
            buffer[stored++] = static_cast<char>(c);
            if (c == '\n')
                break;
            continue;
        }
        // A run of bytes other than newline needs no boundary check.
        const std::size_t available = std::min<std::size_t>(end_ - read_, limit - stored);
        const void* newline = std::memchr(read_, '\n', available);
        const std::size_t count = newline ? static_cast<const char*>(newline) - read_ : available;
        std::memcpy(buffer + stored, read_, count);
        read_ += count;
        stored += count;
    }
    if (stored == 0)
        return 0;
    buffer[stored] = '\0';
    return stored;
}

std::string_view PartReader::takeRun() {
    const char* start = read_;
    if (read_ == end_ || *read_ == '\n') {
        if (nextCharSlow() == kEndOfPart)
            return {};
        // The byte just served is still in the buffer, in front of read_.
        start = read_ - 1;
    }
    read_ = runEnd();
    return std::string_view(start, read_ - start);
}

char* PartReader::runEnd() const {
    // Without an active boundary no line can end the part.
    if (depth_ == 0 || read_ == end_)
        return end_;
    // Only a newline in front of "-" may begin a boundary line; the last
    // buffered byte, a newline or not, is left to nextChar's checks.
    char* const last = end_ - 1;
    for (char* from = read_; from < last;) {
        void* dash = std::memchr(from + 1, '-', static_cast<std::size_t>(end_ - from - 1));
        if (dash == nullptr)
            break;
        char* const at = static_cast<char*>(dash);
        if (at[-1] == '\n')
            return at - 1;
        from = at;
    }
    return *last == '\n' ? last : end_;
}

void PartReader::drainPart() {
    while (!takeRun().empty()) {
    }
}

void PartReader::makeRoomInFront(std::size_t length) {
    const std::size_t unread = end_ - read_;
    const std::size_t needed = unread + length + 1;
    if (bufferSize_ < needed) {
        // Grow geometrically: repeated push backs stay linear.
        const std::size_t newSize = std::max(needed, bufferSize_ + bufferSize_ / 2);
        std::unique_ptr<char[]> grown(new char[newSize]);
        const std::size_t offset = read_ - buffer_.get();
        std::memcpy(grown.get() + offset, read_, unread);
        buffer_ = std::move(grown);
        bufferSize_ = newSize;
        read_ = buffer_.get() + offset;
        end_ = read_ + unread;
    }
    if (static_cast<std::size_t>(read_ - buffer_.get()) < length + 1) {
        // The buffer holds at least length + 1 + unread bytes (see above).
        char* const target = buffer_.get() + length + 1;
        std::memmove(target, read_, unread);
        read_ = target;
        end_ = target + unread;
    }
}

void PartReader::pushBack(std::string_view text) {
    if (!buffer_)
        return;
    makeRoomInFront(text.size());
    read_ -= text.size();
    std::memcpy(read_, text.data(), text.size());
}

void PartReader::pushBackNewline() {
    pushBack("\n");
    boundarySeen_ = depth_;
}

void PartReader::pushBoundary(std::string_view boundary) {
    boundaries_->push(boundary);
    const bool noneSeen = boundarySeen_ >= depth_;
    ++depth_;
    if (noneSeen)
        boundarySeen_ = depth_;
}

void PartReader::dropInnermost() {
    boundaries_->pop();
    --depth_;
}

bool PartReader::finishBoundaryLine() {
    if (depth_ == 0)
        return true;
    if (boundarySeen_ < depth_ - 1) {
        // A line of an enclosing boundary ended the part; it stays unread
        // for the enclosing multipart.
        dropInnermost();
        return true;
    }
    if (read_ == end_ || boundarySeen_ >= depth_) {
        // End of input (or no boundary line pending, which only a caller
        // ignoring the contract produces): the multipart is over.
        dropInnermost();
        boundarySeen_ = std::min(boundarySeen_, depth_);
        return true;
    }
    const std::size_t lineStart = 3 + boundaries_->length(boundarySeen_);
    read_ += std::min<std::size_t>(lineStart, end_ - read_);
    boundarySeen_ = depth_;
    int c = nextChar();
    bool finished = false;
    if (c == '-') {
        c = nextChar();
        if (c == '-') {
            dropInnermost();
            boundarySeen_ = depth_;
            finished = true;
        }
    }
    // The rest of the boundary line is ignored.
    while (c != '\n' && c != kEndOfPart)
        c = nextChar();
    return finished;
}

}  // namespace tarnwick::unpacker
