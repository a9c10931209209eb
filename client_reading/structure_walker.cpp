// SPDX-License-Identifier: Apache-2.0
// structure_walker.cpp - one pass over a byte range with an explicit stack
// of open parts, and the jobs that follow it.
//
// Every line is first checked against the table of active boundaries (a
// hash lookup, so a hundred thousand enclosing boundaries cost no more than
// one); only a line that is no delimiter reaches the innermost open part.
// Nothing here recurses: nesting lives in the frame stack, further readings
// in the job queue.
#include "client_reading/structure_walker.h"

#include <algorithm>
#include <unordered_map>

#include "client_reading/binary_text.h"
#include "client_reading/line_input.h"
#include "mailfile/envelope.h"

namespace tarnwick::client_reading {

namespace {

// kMaxReplayedBlanks - blanks of a line that proved no delimiter after all
// kept as they are for the part they belong to; further ones are given to
// it as spaces.
constexpr std::size_t kMaxReplayedBlanks = 1024 * 1024;

bool isMessageContainerType(const std::string& type) {
    return type == "message/rfc822" || type == "message/global" || type == "message/news" ||
           type == "message/external-body";
}

std::string_view withoutTrailingBlanks(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

}  // namespace

void Signs::note(const char* name) {
    if (std::find(names_.begin(), names_.end(), name) == names_.end())
        names_.emplace_back(name);
}

void Signs::limit(const char* sign, const char* which) {
    note(sign);
    if (std::find(limits_.begin(), limits_.end(), which) == limits_.end())
        limits_.emplace_back(which);
}

// WalkPass - one job: the frame stack and boundary table of one pass.
class WalkPass {
  public:
    WalkPass(StructureWalker& walker, WalkJob& job) : walker_(walker), job_(job) {}
    void run();

  private:
    enum class Kind { Header, Multipart, Message, Leaf, Drain };

    // LeafOutput - where the decoded bytes of one leaf go.
    struct LeafOutput final : public codec::ByteSink {
        std::unique_ptr<LeafSink> attachment;
        std::unique_ptr<BinaryInText> binaryText;  // a text leaf, written if binary
        std::unique_ptr<EmbeddedBlockScanner> scanner;
        std::unique_ptr<SpillFile> container;
        SpillFile* fragments = nullptr;
        std::unique_ptr<codec::Decoder> decoder;
        // Set when the leaf is checked against a file of the first
        // reading: the attachment then gets its bytes from that check.
        AgreedLeafDecoder* agreement = nullptr;
        // Set when a text body is decoded only if its bytes may matter.
        QuietTextDecoder* quiet = nullptr;
        void write(const char* data, std::size_t size) override {
            if (attachment != nullptr && agreement == nullptr)
                attachment->write(data, size);
            if (binaryText != nullptr)
                binaryText->write(data, size);
            if (scanner != nullptr)
                scanner->write(data, size);
            if (container != nullptr)
                container->append(data, size);
            if (fragments != nullptr)
                fragments->append(data, size);
        }
    };

    struct Frame {
        Kind kind = Kind::Header;
        std::uint64_t partBegin = 0;
        int depth = 0;
        std::string defaultType = "text/plain";
        std::size_t forcedReading = 0;
        std::unique_ptr<HeaderBlock> header;
        bool sawHeaderLine = false;
        bool sawFirstLine = false;
        std::vector<PartReading> readings;
        std::size_t chosen = 0;
        bool named = false;
        std::string fileName;  // the part's own, for the log lines
        std::string boundary;  // registered in the table while open
        std::uint64_t bodyBegin = 0;
        bool split = false;  // a delimiter of its own boundary was met
        bool digest = false;
        std::vector<std::string> watched;  // other readings' boundaries
        std::vector<bool> watchSeen;
        std::unique_ptr<LeafOutput> leaf;
        std::string pendingLineEnd;                  // belongs to a delimiter, if one follows
        bool presetReadings = false;                 // readings given by the job, not a header
        std::vector<PartReading> containerReadings;  // of a decoded container
        bool fragment = false;
    };

    struct BoundaryEntry {
        std::vector<std::size_t> frames;  // frames whose delimiter this is
        std::vector<std::pair<std::size_t, std::size_t>> watchers;  // frame, watch index
    };

    void pushFrame(std::uint64_t partBegin, int depth, std::string defaultType);
    bool matchDelimiter(const Line& line, std::size_t& frameIndex, bool& close);
    void lookUp(const std::string& boundary, bool close, std::size_t& best, bool& bestClose);
    void onDelimiter(std::size_t frameIndex, bool close);
    void dispatch(const Line& line);
    void endHeader(std::uint64_t bodyOffset);
    void applyReading(const PartReading& reading, std::uint64_t bodyOffset);
    void feedLeaf(Frame& frame, const Line& line);
    void closeTop(bool byDelimiter, std::uint64_t contentEnd);
    void finishLeaf(Frame& frame, std::uint64_t partEnd);
    void scheduleOtherReadings(const Frame& frame, std::uint64_t partEnd);
    // feedLeafRuns - while the top frame is a leaf, feeds it the lines that
    // cannot be delimiters in runs as long as the input buffer holds.
    void feedLeafRuns();
    void drainLine();
    // blanksOnlyToLineEnd - consumes the rest of the current line while it
    // holds only blanks; true when it ends so. What was consumed of a line
    // that holds more is kept in replay_ for dispatch.
    bool blanksOnlyToLineEnd();
    // feedReplay - hands what blanksOnlyToLineEnd consumed to sink.
    template <typename Sink>
    void feedReplay(Sink&& sink);

    StructureWalker& walker_;
    WalkJob& job_;
    std::unique_ptr<LineInput> input_;
    std::vector<Frame> frames_;
    std::unordered_map<std::string, BoundaryEntry> boundaries_;
    std::uint64_t previousContentEnd_ = 0;
    std::string replay_;
    std::uint64_t replaySpaces_ = 0;
};

void WalkPass::run() {
    ExtraFileSet& files = walker_.files_;
    const bool spill = files.isSpill(job_.path);
    if (spill && !files.checkSpill(job_.path))
        return;
    // LineInput reads its 64 KiB buffer full each time.
    RangeReader reader(job_.path, job_.begin, job_.end, RangeReader::Reads::WholeBlocks);
    if (!reader.open()) {
        if (spill)
            files.noteSpillUnreadable();
        return;
    }
    input_ = std::make_unique<LineInput>(reader, job_.begin);
    if (job_.messageFile)
        job_.begin = skipToMessage(*input_);
    previousContentEnd_ = job_.begin;
    pushFrame(job_.begin, job_.depth, job_.defaultType);
    frames_.back().forcedReading = job_.forcedReading;
    if (!job_.preset.empty()) {
        Frame& root = frames_.back();
        root.readings = job_.preset;
        root.presetReadings = true;
        root.chosen = job_.forcedReading < root.readings.size() ? job_.forcedReading : 0;
        const PartReading reading = root.readings[root.chosen];
        applyReading(reading, job_.begin);
    }
    Line line;
    for (;;) {
        feedLeafRuns();
        if (!input_->next(line))
            break;
        std::size_t frameIndex = 0;
        bool close = false;
        if (matchDelimiter(line, frameIndex, close))
            onDelimiter(frameIndex, close);
        else
            dispatch(line);
        replay_.clear();
        replaySpaces_ = 0;
        drainLine();
        previousContentEnd_ = input_->contentEnd();
    }
    while (!frames_.empty())
        closeTop(false, job_.end);
}

void WalkPass::feedLeafRuns() {
    // Inside a leaf only a line beginning with "-" can be a delimiter; the
    // lines before it go to the decoder as one piece, as feedLeaf would
    // hand them over line by line.
    if (frames_.empty() || frames_.back().kind != Kind::Leaf)
        return;
    Frame& frame = frames_.back();
    codec::Decoder& decoder = *frame.leaf->decoder;
    std::string_view run;
    while (input_->nextRun('-', run)) {
        if (!frame.pendingLineEnd.empty())
            decoder.feed(frame.pendingLineEnd.data(), frame.pendingLineEnd.size());
        decoder.feed(run.data(), run.size());
        frame.pendingLineEnd.assign(input_->lineEnd());
        previousContentEnd_ = input_->contentEnd();
    }
}

void WalkPass::drainLine() {
    std::string_view piece;
    while (input_->rest(piece)) {
    }
}

void WalkPass::pushFrame(std::uint64_t partBegin, int depth, std::string defaultType) {
    Frame frame;
    frame.partBegin = partBegin;
    frame.depth = depth;
    frame.defaultType = std::move(defaultType);
    frame.header = std::make_unique<HeaderBlock>();
    frames_.push_back(std::move(frame));
}

void WalkPass::lookUp(const std::string& boundary, bool close, std::size_t& best, bool& bestClose) {
    const auto found = boundaries_.find(boundary);
    if (found == boundaries_.end())
        return;
    BoundaryEntry& entry = found->second;
    if (!entry.watchers.empty()) {
        const auto [frame, watch] = entry.watchers.back();
        frames_[frame].watchSeen[watch] = true;
    }
    if (!entry.frames.empty() && (best == frames_.size() || entry.frames.back() > best)) {
        best = entry.frames.back();
        bestClose = close;
    }
}

bool WalkPass::matchDelimiter(const Line& line, std::size_t& frameIndex, bool& close) {
    if (boundaries_.empty() || line.head.size() < 3 || line.head.substr(0, 2) != "--")
        return false;
    const std::string_view text = withoutTrailingBlanks(line.head.substr(2));
    const bool closing = text.size() > 2 && text.substr(text.size() - 2) == "--";
    std::size_t best = frames_.size();
    bool bestClose = false;
    const auto known = [&](std::string_view boundary) {
        return boundaries_.count(std::string(boundary)) != 0;
    };
    bool whole = line.complete;
    if (!whole && text.size() + 2 < line.head.size() &&
        (known(text) || (closing && known(text.substr(0, text.size() - 2))))) {
        // A boundary, then more blanks than the head holds: the rest decides.
        if (!blanksOnlyToLineEnd())
            return false;
        whole = true;
    }
    if (whole) {
        lookUp(std::string(text), false, best, bestClose);
        if (closing)
            lookUp(std::string(text.substr(0, text.size() - 2)), true, best, bestClose);
    }
    if (text.size() > kMaxBoundaryBytes)
        lookUp(boundaryKey(text), whole && closing, best, bestClose);
    if (best == frames_.size())
        return false;
    frameIndex = best;
    close = bestClose;
    return true;
}

void WalkPass::onDelimiter(std::size_t frameIndex, bool close) {
    frames_[frameIndex].split = true;
    while (frames_.size() > frameIndex + 1)
        closeTop(true, previousContentEnd_);
    drainLine();
    if (close)
        return;  // the epilogue follows; a later delimiter opens a part again
    const Frame& parent = frames_[frameIndex];
    pushFrame(input_->offset(), parent.depth + 1, parent.digest ? "message/rfc822" : "text/plain");
}

void WalkPass::dispatch(const Line& line) {
    for (;;) {
        Frame& top = frames_.back();
        if (top.kind == Kind::Leaf) {
            feedLeaf(top, line);
            return;
        }
        if (top.kind != Kind::Header)
            return;  // preamble, epilogue, drained container
        if (line.complete && line.head.empty()) {
            endHeader(input_->offset());
            return;
        }
        if (!top.sawHeaderLine) {
            const bool firstLine = !top.sawFirstLine;
            top.sawFirstLine = true;
            // As at the top of a message, an mbox separator line opens it.
            if (firstLine && line.head.substr(0, 5) == "From ")
                return;
            // A first line that continues nothing or has an empty name is
            // ignored; the header block goes on.
            if (!line.head.empty() && (line.head.front() == ' ' || line.head.front() == '\t' ||
                                       line.head.front() == ':')) {
                walker_.signs_.note("malformed header name");
                return;
            }
        }
        if (!top.sawHeaderLine && !looksLikeFieldLine(line.head)) {
            // No header of its own: the body starts with this line.
            endHeader(line.offset);
            continue;
        }
        top.sawHeaderLine = true;
        top.header->addLine(line.head);
        feedReplay([&](std::string_view bytes) { top.header->addToLine(bytes); });
        if (!line.complete) {
            // A long line is kept as far as the header block keeps it.
            std::string_view piece;
            while (input_->rest(piece))
                top.header->addToLine(piece);
        }
        return;
    }
}

void WalkPass::endHeader(std::uint64_t bodyOffset) {
    Frame& frame = frames_.back();
    frame.header->finish();
    PartFacts facts = partFacts(*frame.header, frame.defaultType);
    frame.header.reset();
    Signs& signs = walker_.signs_;
    if (facts.duplicateField)
        signs.note("duplicate field");
    if (facts.duplicateParameter)
        signs.note("duplicate parameter");
    if (facts.malformedName)
        signs.note("malformed header name");
    frame.readings = std::move(facts.readings);
    frame.named = facts.named;
    frame.fileName = std::move(facts.fileName);
    frame.chosen = frame.forcedReading < frame.readings.size() ? frame.forcedReading : 0;
    const PartReading reading = frame.readings[frame.chosen];
    applyReading(reading, bodyOffset);
}

void WalkPass::applyReading(const PartReading& reading, std::uint64_t bodyOffset) {
    const std::size_t index = frames_.size() - 1;
    Frame& frame = frames_.back();
    frame.header.reset();
    frame.bodyBegin = bodyOffset;
    const bool multipart = isMultipartType(reading.type) && !reading.boundary.empty();
    const bool container = multipart || isMessageContainerType(reading.type);
    Signs& signs = walker_.signs_;
    if (container && frame.depth >= kMaxNestingDepth) {
        signs.limit("nesting limit", "nesting depth");
        frame.kind = Kind::Drain;
        return;
    }
    if (container && reading.encoding != codec::TransferEncoding::Identity) {
        // Decoded into a spill file now, read as a container afterwards.
        signs.note("encoded container");
        frame.kind = Kind::Leaf;
        frame.leaf = std::make_unique<LeafOutput>();
        frame.leaf->container = walker_.files_.openSpill();
        // Its readings with this encoding go with it, the chosen one first.
        frame.containerReadings.push_back(reading);
        for (const PartReading& other : frame.readings)
            if (other.encoding == reading.encoding && other.key() != reading.key() &&
                ((isMultipartType(other.type) && !other.boundary.empty()) ||
                 isMessageContainerType(other.type)))
                frame.containerReadings.push_back(other);
        for (PartReading& decoded : frame.containerReadings)
            decoded.encoding = codec::TransferEncoding::Identity;
        frame.leaf->decoder = codec::makeDecoder(reading.encoding, *frame.leaf);
        return;
    }
    // Delimiters of the other readings are watched: a reading whose
    // boundary never occurs needs no pass of its own.
    for (const PartReading& other : frame.readings) {
        if (other.boundary.empty() || other.boundary == reading.boundary ||
            std::find(frame.watched.begin(), frame.watched.end(), other.boundary) !=
                frame.watched.end())
            continue;
        frame.watched.push_back(other.boundary);
        frame.watchSeen.push_back(false);
        boundaries_[other.boundary].watchers.emplace_back(index, frame.watched.size() - 1);
    }
    if (multipart) {
        frame.kind = Kind::Multipart;
        frame.boundary = reading.boundary;
        frame.digest = reading.type == "multipart/digest";
        BoundaryEntry& entry = boundaries_[frame.boundary];
        if (!entry.frames.empty())
            signs.note("ambiguous boundary");  // an enclosing part uses it too
        entry.frames.push_back(index);
        return;
    }
    if (isMessageContainerType(reading.type)) {
        frame.kind = Kind::Message;
        pushFrame(bodyOffset, frame.depth + 1, "text/plain");
        return;
    }
    frame.kind = Kind::Leaf;
    frame.leaf = std::make_unique<LeafOutput>();
    LeafOutput& leaf = *frame.leaf;
    if (reading.type == "message/partial") {
        signs.note("message/partial");
        StructureWalker& walker = walker_;
        if (walker.fragments_.size() >= kMaxPartialFragments) {
            signs.limit("reading limit", "fragments");
        } else {
            if (walker.fragmentSpill_ == nullptr)
                walker.fragmentSpill_ = walker.files_.openSpill();
            if (walker.fragmentSpill_ != nullptr) {
                walker.fragments_.push_back(
                    StructureWalker::Fragment{reading.partialId, reading.partialNumber, frame.depth,
                                              walker.fragmentSpill_->size(), 0});
                leaf.fragments = walker.fragmentSpill_.get();
                frame.fragment = true;
            }
        }
    } else if (reading.encoding == codec::TransferEncoding::Uuencode) {
        // Every uuencoded block of the body is an attachment, not only the
        // first one: the body is scanned as it stands.
        leaf.scanner =
            std::make_unique<EmbeddedBlockScanner>(walker_.files_, walker_.yencParts_, true);
        leaf.decoder = codec::makeDecoder(codec::TransferEncoding::Identity, leaf);
        return;
    } else {
        const bool text =
            isTextType(reading.type) || isReportType(reading.type) || isMultipartType(reading.type);
        ScanFileDescription described{frame.fileName, reading.type, kSecondReading};
        if (frame.named || !text || (job_.writeText && index == 0))
            leaf.attachment = std::make_unique<LeafSink>(walker_.files_, reading.lineEndsMayDiffer,
                                                         std::move(described));
        else
            leaf.binaryText =
                std::make_unique<BinaryInText>(walker_.files_, reading.lineEndsMayDiffer,
                                               reading.wideCharset, std::move(described));
        if (text)
            leaf.scanner =
                std::make_unique<EmbeddedBlockScanner>(walker_.files_, walker_.yencParts_);
    }
    leaf.decoder = codec::makeDecoder(reading.encoding, leaf);
    const WrittenPart* part =
        walker_.firstReading_ == nullptr || leaf.attachment == nullptr
            ? nullptr
            : walker_.firstReading_->find(job_.path, bodyOffset, reading.encoding);
    if (part != nullptr) {
        // Decoded only for the other consumers, if any; the attachment's
        // bytes come from the check, and only where it fails.
        std::unique_ptr<codec::Decoder> others;
        if (leaf.scanner != nullptr)
            others = std::move(leaf.decoder);
        auto agreement = std::make_unique<AgreedLeafDecoder>(std::move(others), reading.encoding,
                                                             *leaf.attachment, *part, job_.path,
                                                             bodyOffset, reading.lineEndsMayDiffer);
        leaf.agreement = agreement.get();
        leaf.decoder = std::move(agreement);
    } else if (leaf.binaryText != nullptr &&
               (reading.encoding == codec::TransferEncoding::QuotedPrintable ||
                reading.encoding == codec::TransferEncoding::Identity)) {
        // A text body of the message: decoded only when a block or binary
        // content cannot be ruled out from its encoded bytes.
        auto quiet = std::make_unique<QuietTextDecoder>(std::move(leaf.decoder), reading.encoding,
                                                        reading.wideCharset, job_.path, bodyOffset);
        leaf.quiet = quiet.get();
        leaf.decoder = std::move(quiet);
    }
}

bool WalkPass::blanksOnlyToLineEnd() {
    std::string_view piece;
    while (input_->rest(piece)) {
        const std::size_t blanks = piece.find_first_not_of(" \t");
        if (blanks != std::string_view::npos) {
            replay_.append(piece);
            return false;
        }
        const std::size_t kept = std::min(piece.size(), kMaxReplayedBlanks - replay_.size());
        replay_.append(piece.substr(0, kept));
        replaySpaces_ += piece.size() - kept;
    }
    return true;
}

template <typename Sink>
void WalkPass::feedReplay(Sink&& sink) {
    sink(std::string_view(replay_));
    const std::string spaces(static_cast<std::size_t>(std::min<std::uint64_t>(replaySpaces_, 4096)),
                             ' ');
    for (std::uint64_t left = replaySpaces_; left != 0;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, spaces.size()));
        sink(std::string_view(spaces).substr(0, count));
        left -= count;
    }
}

void WalkPass::feedLeaf(Frame& frame, const Line& line) {
    codec::Decoder& decoder = *frame.leaf->decoder;
    if (!frame.pendingLineEnd.empty())
        decoder.feed(frame.pendingLineEnd.data(), frame.pendingLineEnd.size());
    decoder.feed(line.head.data(), line.head.size());
    if (replaySpaces_ != 0 && frame.leaf->agreement != nullptr)
        frame.leaf->agreement->decodeFromHere();  // blanks given as spaces: not as stored
    if (replaySpaces_ != 0 && frame.leaf->quiet != nullptr)
        frame.leaf->quiet->decodeFromHere();
    feedReplay([&](std::string_view bytes) { decoder.feed(bytes.data(), bytes.size()); });
    std::string_view piece;
    while (input_->rest(piece))
        decoder.feed(piece.data(), piece.size());
    frame.pendingLineEnd.assign(input_->lineEnd());
}

void WalkPass::closeTop(bool byDelimiter, std::uint64_t contentEnd) {
    const std::size_t index = frames_.size() - 1;
    Frame& frame = frames_.back();
    if (frame.kind == Kind::Header) {
        // The part ended inside its header: read what there is of it.
        endHeader(std::max(contentEnd, frame.partBegin));
        if (frames_.size() > index + 1) {
            frames_.pop_back();  // a message part's empty body
        }
    }
    Frame& closing = frames_[index];
    if (!closing.boundary.empty()) {
        auto found = boundaries_.find(closing.boundary);
        found->second.frames.pop_back();
        if (found->second.frames.empty() && found->second.watchers.empty())
            boundaries_.erase(found);
    }
    for (auto watched = closing.watched.rbegin(); watched != closing.watched.rend(); ++watched) {
        auto found = boundaries_.find(*watched);
        found->second.watchers.pop_back();
        if (found->second.frames.empty() && found->second.watchers.empty())
            boundaries_.erase(found);
    }
    if (closing.kind == Kind::Leaf) {
        if (!byDelimiter && !closing.pendingLineEnd.empty())
            closing.leaf->decoder->feed(closing.pendingLineEnd.data(),
                                        closing.pendingLineEnd.size());
        finishLeaf(closing, std::max(contentEnd, closing.partBegin));
    }
    if (closing.kind == Kind::Multipart && !closing.split && contentEnd > closing.bodyBegin) {
        // Nothing to split: the body is read as a leaf with its own encoding.
        PartReading leaf = closing.readings[closing.chosen];
        leaf.boundary.clear();
        WalkJob job;
        job.path = job_.path;
        job.begin = closing.bodyBegin;
        job.end = contentEnd;
        job.depth = closing.depth;
        job.preset.push_back(std::move(leaf));
        walker_.enqueue(std::move(job));
    }
    scheduleOtherReadings(closing, std::max(contentEnd, closing.partBegin));
    frames_.pop_back();
}

void WalkPass::finishLeaf(Frame& frame, std::uint64_t partEnd) {
    LeafOutput& leaf = *frame.leaf;
    leaf.decoder->finish();
    if (leaf.scanner != nullptr)
        leaf.scanner->finish();
    if (leaf.agreement != nullptr && leaf.agreement->agreed())
        ++walker_.agreedLeaves_;
    if (leaf.attachment != nullptr)
        leaf.attachment->finish();
    if (leaf.binaryText != nullptr) {
        leaf.binaryText->finish();
        if (leaf.binaryText->provedBinaryLate()) {
            // Binary only after the held part: read once more, to be written.
            WalkJob job;
            job.path = job_.path;
            job.begin = frame.partBegin;
            job.end = partEnd;
            job.depth = frame.depth;
            job.defaultType = frame.defaultType;
            job.forcedReading = frame.chosen;
            if (frame.presetReadings)
                job.preset = frame.readings;
            job.writeText = true;
            walker_.enqueue(std::move(job));
        }
    }
    if (leaf.container != nullptr && !leaf.container->path().empty()) {
        // Read as a container later; removed once read (or when the job
        // is dropped).
        leaf.container->close();
        const std::string path = leaf.container->path();
        ExtraFileSet& files = walker_.files_;
        files.holdSpill(path);
        WalkJob job;
        job.path = path;
        job.begin = 0;
        job.end = leaf.container->size();
        job.depth = frame.depth;
        job.preset = std::move(frame.containerReadings);
        walker_.enqueue(std::move(job));
        files.releaseSpill(path);
    }
    if (frame.fragment) {
        StructureWalker::Fragment& fragment = walker_.fragments_.back();
        fragment.length = walker_.fragmentSpill_->size() - fragment.offset;
    }
}

void WalkPass::scheduleOtherReadings(const Frame& frame, std::uint64_t partEnd) {
    if (frame.readings.size() < 2)
        return;
    auto keyOf = [&](const PartReading& reading) {
        SipHasher hasher(walker_.files_.key());
        const std::string text = job_.path + '\n' + std::to_string(frame.partBegin) + '\n' +
                                 std::to_string(partEnd) + '\n' + reading.key();
        hasher.update(reinterpret_cast<const unsigned char*>(text.data()), text.size());
        return hasher.finish();
    };
    if (walker_.visited_.size() >= kMaxRememberedReadings) {
        walker_.signs_.limit("reading limit", "readings of a part");
        return;
    }
    const PartReading& chosen = frame.readings[frame.chosen];
    walker_.visited_.insert(keyOf(chosen));
    for (std::size_t i = 0; i < frame.readings.size(); ++i) {
        const PartReading& other = frame.readings[i];
        if (i == frame.chosen)
            continue;
        const bool otherBoundary = !other.boundary.empty() && other.boundary != chosen.boundary;
        if (otherBoundary) {
            const auto watched =
                std::find(frame.watched.begin(), frame.watched.end(), other.boundary);
            if (watched == frame.watched.end() ||
                !frame.watchSeen[static_cast<std::size_t>(watched - frame.watched.begin())])
                continue;  // never occurs as a delimiter: nothing to read
            walker_.signs_.note("ambiguous boundary");
        }
        if (!walker_.visited_.insert(keyOf(other)).second)
            continue;
        WalkJob job;
        job.path = job_.path;
        job.begin = frame.partBegin;
        job.end = partEnd;
        job.depth = frame.depth;
        job.defaultType = frame.defaultType;
        job.forcedReading = i;
        if (frame.presetReadings)
            job.preset = frame.readings;
        walker_.enqueue(std::move(job));
    }
}

StructureWalker::StructureWalker(ExtraFileSet& files, Signs& signs, std::uint64_t workAllowance,
                                 const FirstReadingMap* firstReading)
    : files_(files),
      signs_(signs),
      firstReading_(firstReading),
      yencParts_(files),
      workLeft_(workAllowance) {}

StructureWalker::~StructureWalker() = default;

void StructureWalker::runJob(WalkJob& job) {
    WalkPass pass(*this, job);
    pass.run();
}

std::size_t StructureWalker::memoryOf(const WalkJob& job) {
    std::size_t bytes = sizeof(WalkJob) + job.path.size() + job.defaultType.size();
    for (const PartReading& reading : job.preset)
        bytes += sizeof(PartReading) + reading.type.size() + reading.boundary.size() +
                 reading.partialId.size();
    return bytes;
}

bool StructureWalker::enqueue(WalkJob job) {
    const std::uint64_t size = job.end - job.begin;
    const std::size_t memory = memoryOf(job);
    if (size > workLeft_) {
        signs_.limit("reading limit", "bytes read again");
        return false;
    }
    if (jobs_.size() >= kMaxPendingJobs || pendingJobBytes_ + memory > kMaxPendingJobBytes) {
        signs_.limit("reading limit", "pending readings");
        return false;
    }
    workLeft_ -= size;
    pendingJobBytes_ += memory;
    files_.holdSpill(job.path);
    jobs_.push_back(std::move(job));
    return true;
}

std::uint64_t skipToMessage(LineInput& input) {
    const std::uint64_t start = input.offset();
    std::string_view head;
    if (!input.peekHead(head))
        return start;
    const bool envelope = beginsEnvelopeBlock(head);
    if (!envelope && head.substr(0, 5) != "From ")
        return start;  // the usual case: nothing was consumed
    Line line;
    std::string_view piece;
    input.next(line);
    while (input.rest(piece)) {
    }
    if (!envelope)
        return input.offset();
    // The envelope block goes through the first empty line.
    while (input.next(line)) {
        const bool empty = line.complete && line.head.empty();
        while (input.rest(piece)) {
        }
        if (empty)
            break;
    }
    return input.offset();
}

void StructureWalker::readMessage(const std::string& path, std::uint64_t size) {
    WalkJob first;
    first.path = path;
    first.end = size;
    first.messageFile = true;
    runJob(first);
    for (;;) {
        while (!jobs_.empty()) {
            WalkJob job = std::move(jobs_.front());
            jobs_.pop_front();
            pendingJobBytes_ -= memoryOf(job);
            runJob(job);
            files_.releaseSpill(job.path);  // a spill file goes once read
        }
        if (fragments_.empty())
            break;
        assemblePartials();
    }
    yencParts_.writeAll();
}

void StructureWalker::assemblePartials() {
    std::vector<Fragment> fragments;
    fragments.swap(fragments_);
    std::unique_ptr<SpillFile> spill = std::move(fragmentSpill_);
    if (spill == nullptr)
        return;
    spill->close();
    if (spill->path().empty() || !files_.checkSpill(spill->path())) {
        files_.releaseSpill(spill->path());
        return;
    }
    std::stable_sort(fragments.begin(), fragments.end(), [](const Fragment& a, const Fragment& b) {
        return a.id != b.id ? a.id < b.id : a.number < b.number;
    });
    std::string block(64 * 1024, '\0');
    for (std::size_t i = 0; i < fragments.size();) {
        std::unique_ptr<SpillFile> whole = files_.openSpill();
        std::size_t j = i;
        int depth = fragments[i].depth;
        for (; j < fragments.size() && fragments[j].id == fragments[i].id; ++j) {
            depth = std::min(depth, fragments[j].depth);
            if (j != i && fragments[j].number == fragments[j - 1].number)
                continue;  // the same number again: the first one counts
            RangeReader reader(spill->path(), fragments[j].offset,
                               fragments[j].offset + fragments[j].length);
            if (!reader.open())
                files_.noteSpillUnreadable();
            for (std::size_t count; (count = reader.read(block.data(), block.size())) != 0;)
                whole->append(block.data(), count);
        }
        whole->close();
        if (!whole->path().empty()) {
            files_.holdSpill(whole->path());
            WalkJob job;
            job.path = whole->path();
            job.begin = 0;
            job.end = whole->size();
            job.depth = depth + 1;
            enqueue(std::move(job));
            files_.releaseSpill(whole->path());
        }
        i = j;
    }
    files_.releaseSpill(spill->path());
}

}  // namespace tarnwick::client_reading
