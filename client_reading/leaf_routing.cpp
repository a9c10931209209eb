// SPDX-License-Identifier: Apache-2.0
// leaf_routing.cpp - where a part goes once its header is read: a frame of
// a container (multipart, message), a container with a transfer encoding
// decoded into a spill file for later, a message/partial fragment, or a
// leaf whose decoded bytes go to the attachment writer, the test for binary
// text and the scanner of embedded blocks, checked against the first
// reading's file where one was written from the same bytes; and what a leaf
// leaves behind when it ends: among that, its body decoded again as other
// decoders read it, where it met a point they read otherwise.
#include "client_reading/walk_pass.h"

#include <algorithm>

#include "codec/decoder_variants.h"

namespace tarnwick::client_reading {

namespace {

// fragmentKey - how a message/partial id is kept with its fragment: as it
// stands up to kMaxIdentifierBytes, a longer one as its first bytes, a line
// feed (which no id kept whole holds) and a keyed hash of the whole id, so
// that ids are still compared whole.
std::string fragmentKey(const std::string& id, const SipHashKey& key) {
    if (id.size() <= kMaxIdentifierBytes)
        return id;
    SipHasher hasher(key);
    hasher.update(reinterpret_cast<const unsigned char*>(id.data()), id.size());
    return id.substr(0, kMaxIdentifierBytes) + '\n' + std::to_string(hasher.finish());
}

// kVariantReadBlock - bytes of a body read at once to decode it again.
constexpr std::size_t kVariantReadBlock = 64 * 1024;

// decodeVariants - the body [begin, end) of path decoded again under each
// decoder variant that decides one of points otherwise, each into an
// attachment of its own (kept only when new), unless done already (done
// remembers them, for the readings under other rule sets that reach the same
// body). Every such decoding is charged to workLeft; once it would run out,
// or done is full, the rest is left with "reading limit".
void decodeVariants(ExtraFileSet& files, Signs& signs, std::uint64_t& workLeft,
                    std::unordered_set<std::uint64_t>& done, const std::string& path,
                    std::uint64_t begin, std::uint64_t end, unsigned points, bool lineEndsMayDiffer,
                    const ScanFileDescription& description) {
    std::unique_ptr<char[]> block;
    for (const codec::DecodeVariant variant : codec::kDecodeVariants) {
        if (!codec::decidesOtherwise(variant, points))
            continue;
        if (done.size() >= kMaxRememberedReadings) {
            signs.limit("reading limit", "readings of a part");
            return;
        }
        SipHasher hasher(files.key());
        const std::string text = "variant\n" + path + '\n' + std::to_string(begin) + '\n' +
                                 std::to_string(end) + '\n' +
                                 std::to_string(static_cast<int>(variant));
        hasher.update(reinterpret_cast<const unsigned char*>(text.data()), text.size());
        if (!done.insert(hasher.finish()).second)
            continue;
        if (end - begin > workLeft) {
            signs.limit("reading limit", "bytes read again");
            return;
        }
        workLeft -= end - begin;
        if (block == nullptr)
            block.reset(new char[kVariantReadBlock]);
        LeafSink sink(files, lineEndsMayDiffer, description);
        const std::unique_ptr<codec::Decoder> decoder = codec::makeVariantDecoder(variant, sink);
        RangeReader reader(path, begin, end);
        for (std::size_t got; (got = reader.read(block.get(), kVariantReadBlock)) != 0;)
            decoder->feed(block.get(), got);
        decoder->finish();
        sink.finish();
    }
}

}  // namespace

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
        if (isMessageContainerType(reading.type))
            // Clients that undo the encoding offer the message itself as an
            // attachment; its bytes stand nowhere in the copy of the mail.
            frame.leaf->attachment = std::make_unique<LeafSink>(
                walker_.files_, false,
                ScanFileDescription{frame.fileName, reading.type, kSecondReading});
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
                walker.fragments_.push_back(StructureWalker::Fragment{
                    fragmentKey(reading.partialId, walker.files_.key()), reading.partialNumber,
                    frame.depth, walker.fragmentSpill_->size(), 0});
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
    leaf.decoder = codec::makeDecoder(
        reading.encoding, leaf,
        rules_.base64EndsAtPadding ? codec::AfterPadding::Stop : codec::AfterPadding::GoOn);
    // Only the first rule set's reading may lean on the first reading's
    // files: a reading forked under other rules can put a part's end
    // elsewhere, so a first-reading file at the same start may hold other
    // bytes than its leaf.
    const bool firstRuleSet = job_.rules == nullptr || job_.rules == &clientRuleSets().front();
    // Blocks of an unencoded text are read from the message's bytes as
    // stored, so those the first reading wrote can be confirmed.
    if (leaf.scanner != nullptr && walker_.firstReading_ != nullptr && firstRuleSet &&
        reading.encoding == codec::TransferEncoding::Identity)
        leaf.scanner->confirmBlocks(*walker_.firstReading_, job_.path, bodyOffset);
    const WrittenPart* part =
        walker_.firstReading_ == nullptr || leaf.attachment == nullptr || !firstRuleSet
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
    if (leaf.agreement == nullptr && leaf.quiet == nullptr)
        leaf.plain = leaf.decoder.get();
}

void WalkPass::finishLeaf(Frame& frame, std::uint64_t partEnd) {
    LeafOutput& leaf = *frame.leaf;
    leaf.decoder->finish();
    if ((leaf.plain != nullptr && leaf.plain->metDataAfterPadding()) ||
        (leaf.agreement != nullptr && leaf.agreement->metDataAfterPadding()))
        metAmbiguity(frame, Ambiguity::DataAfterBase64Padding);
    if (leaf.scanner != nullptr)
        leaf.scanner->finish();
    if (leaf.agreement != nullptr && leaf.agreement->agreed())
        ++walker_.agreedLeaves_;
    const unsigned points = leaf.plain != nullptr       ? leaf.plain->metPoints()
                            : leaf.agreement != nullptr ? leaf.agreement->metPoints()
                                                        : 0U;
    if (leaf.attachment != nullptr) {
        leaf.attachment->finish();
        if (points != 0 && partEnd > frame.bodyBegin) {
            // Let go of the attachment's held bytes before its variants.
            leaf.attachment.reset();
            const PartReading& reading = frame.readings[frame.chosen];
            decodeVariants(walker_.files_, walker_.signs_, walker_.workLeft_, walker_.visited_,
                           job_.path, frame.bodyBegin, partEnd, points, reading.lineEndsMayDiffer,
                           ScanFileDescription{frame.fileName, reading.type, kSecondReading});
        }
    }
    if (leaf.binaryText != nullptr) {
        leaf.binaryText->finish();
        if (leaf.binaryText->provedBinaryLate()) {
            // Binary only after the held part: read once more, to be written.
            WalkJob job;
            job.path = job_.path;
            job.rules = &rules_;
            job.rules = &rules_;
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
        job.rules = &rules_;
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

}  // namespace tarnwick::client_reading
