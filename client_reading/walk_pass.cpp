// SPDX-License-Identifier: Apache-2.0
// walk_pass.cpp - the frame stack, delimiters, header blocks and the
// readings a pass leaves for later (see walk_pass.h).
#include "client_reading/walk_pass.h"

#include <algorithm>

#include "client_reading/line_input.h"

namespace tarnwick::client_reading {

namespace {

// kMaxReplayedBlanks - blanks of a line that proved no delimiter after all
// kept as they are for the part they belong to; further ones are given to
// it as spaces.
constexpr std::size_t kMaxReplayedBlanks = 1024 * 1024;

std::string_view withoutTrailingBlanks(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// cutAtNul - whether a kept field value of header holds a NUL; with cut,
// each such value is cut there, as a parser that keeps C strings reads it.
bool cutAtNul(HeaderBlock& header, bool cut) {
    bool found = false;
    for (FieldValues* field : {&header.contentType, &header.transferEncoding, &header.disposition})
        for (std::string* value : {&field->first, &field->last}) {
            const std::size_t nul = value->find('\0');
            if (nul == std::string::npos)
                continue;
            found = true;
            if (cut)
                value->resize(nul);
        }
    return found;
}

}  // namespace

bool isMessageContainerType(const std::string& type) {
    return type == "message/rfc822" || type == "message/global" || type == "message/news" ||
           type == "message/external-body";
}

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
    input_ = std::make_unique<LineInput>(reader, job_.begin, rules_.loneCrEndsLine);
    const std::uint64_t rangeBegin = job_.begin;
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
    if (input_->lineEndedByLoneCr())
        forkRange(Ambiguity::LoneCr, rangeBegin);
    if (blanksLineMet_)
        forkRange(Ambiguity::BlanksLineInHeader, rangeBegin);
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
        return boundaries_.count(boundaryKey(boundary)) != 0;
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
        lookUp(boundaryKey(text), false, best, bestClose);
        if (line.complete && text.size() + 2 < line.head.size())
            // A boundary with blanks at its end, kept as some clients keep it.
            lookUp(boundaryKey(line.head.substr(2)), false, best, bestClose);
        if (closing)
            lookUp(boundaryKey(text.substr(0, text.size() - 2)), true, best, bestClose);
    }
    if (text.size() >= kMaxExactBoundaryBytes)
        lookUp(boundaryPrefixKey(text), whole && closing, best, bestClose);
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
        if (line.complete && line.head.find_first_not_of(" \t") == std::string_view::npos) {
            // Blanks alone: the empty line to some clients, a folded line
            // to others. Ending the header here moves where its multipart's
            // delimiters count, so where enclosing parts end: the range is
            // read again under the rules that end it. (A reading that ends
            // it reads no range again: the folded side is the reading's
            // that started it, or the first one's over the same bytes.)
            if (rules_.blanksLineEndsHeader) {
                endHeader(input_->offset());
                return;
            }
            blanksLineMet_ = true;
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
            // No field yet: the part has no header of its own and the body
            // starts here, or the line is skipped and fields may follow.
            metAmbiguity(top, Ambiguity::ColonlessLine);
            if (rules_.colonlessLine == ColonlessLine::EndsHeader) {
                endHeader(line.offset);
                continue;
            }
            return;
        }
        if (top.sawHeaderLine && line.head.find(':') == std::string_view::npos &&
            !line.head.empty() && line.head.front() != ' ' && line.head.front() != '\t') {
            // Neither a field nor a continuation: clients disagree.
            metAmbiguity(top, Ambiguity::ColonlessLine);
            if (rules_.colonlessLine == ColonlessLine::EndsHeader) {
                endHeader(line.offset);
                continue;
            }
            if (rules_.colonlessLine == ColonlessLine::Dropped)
                return;
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
    if (cutAtNul(*frame.header, rules_.nulEndsFieldValue))
        metAmbiguity(frame, Ambiguity::NulInFieldValue);
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
        job.rules = &rules_;
        job.begin = closing.bodyBegin;
        job.end = contentEnd;
        job.depth = closing.depth;
        job.preset.push_back(std::move(leaf));
        walker_.enqueue(std::move(job));
    }
    scheduleOtherReadings(closing, std::max(contentEnd, closing.partBegin));
    forkPart(closing, std::max(contentEnd, closing.partBegin));
    frames_.pop_back();
}

void WalkPass::scheduleOtherReadings(const Frame& frame, std::uint64_t partEnd) {
    if (frame.readings.size() < 2)
        return;
    auto keyOf = [&](const PartReading& reading) {
        SipHasher hasher(walker_.files_.key());
        const std::string text = job_.path + '\n' + std::to_string(frame.partBegin) + '\n' +
                                 std::to_string(partEnd) + '\n' + reading.key() + '\n' +
                                 rules_.name;
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
        job.rules = &rules_;
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

void WalkPass::metAmbiguity(Frame& frame, Ambiguity point) {
    for (const ClientRules& other : clientRuleSets())
        if (!decideAlike(rules_, other, point) &&
            std::find(frame.forks.begin(), frame.forks.end(), &other) == frame.forks.end())
            frame.forks.push_back(&other);
}

void WalkPass::forkPart(const Frame& frame, std::uint64_t partEnd) {
    for (const ClientRules* other : frame.forks) {
        WalkJob job;
        job.path = job_.path;
        job.begin = frame.partBegin;
        job.end = partEnd;
        job.depth = frame.depth;
        job.defaultType = frame.defaultType;
        job.rules = other;
        walker_.fork(std::move(job));
    }
}

void WalkPass::forkRange(Ambiguity point, std::uint64_t rangeBegin) {
    for (const ClientRules& other : clientRuleSets()) {
        if (decideAlike(rules_, other, point))
            continue;
        WalkJob job = job_;
        job.begin = rangeBegin;
        job.rules = &other;
        walker_.fork(std::move(job));
    }
}

}  // namespace tarnwick::client_reading
