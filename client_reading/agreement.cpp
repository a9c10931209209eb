// SPDX-License-Identifier: Apache-2.0
// agreement.cpp - the map of the first reading's part files and the leaf
// decoders that decode only where the readings would differ.
#include "client_reading/agreement.h"

#include <algorithm>

#include "client_reading/line_input.h"
#include "runtime/platform.h"

namespace tarnwick::client_reading {

namespace {

// kRereadBlock - bytes read at once when a leaf is decoded after all.
constexpr std::size_t kRereadBlock = 64 * 1024;

// rereadInto - feeds decoder the count bytes of path from begin on: what a
// check passed over without decoding, read again.
void rereadInto(const std::string& path, std::uint64_t begin, std::uint64_t count,
                codec::Decoder& decoder) {
    if (count == 0)
        return;
    RangeReader reader(path, begin, begin + count);
    std::unique_ptr<char[]> block(new char[kRereadBlock]);
    for (std::size_t got; (got = reader.read(block.get(), kRereadBlock)) != 0;)
        decoder.feed(block.get(), got);
}

}  // namespace

FirstReadingMap::FirstReadingMap(std::string messagePath, const WrittenParts& parts)
    : messagePath_(std::move(messagePath)), parts_(parts) {
    // Taken as recorded: the scan job compares every part file with its
    // record after the wait, whatever this reading decides.
    for (std::size_t i = 0; i < parts_.size(); ++i)
        if (parts_[i].written && parts_[i].size >= 0 && parts_[i].spanKnown)
            byBegin_.push_back(static_cast<std::uint32_t>(i));
    byBegin_.shrink_to_fit();
    // The first reading writes its parts in the order of the message, so
    // this mostly finds them in order already.
    const auto earlier = [this](std::uint32_t a, std::uint32_t b) {
        return parts_[a].begin < parts_[b].begin;
    };
    if (!std::is_sorted(byBegin_.begin(), byBegin_.end(), earlier))
        std::stable_sort(byBegin_.begin(), byBegin_.end(), earlier);
}

bool FirstReadingMap::existingSize(std::size_t index, std::uint64_t& size) const {
    const WrittenPart& part = parts_[index];
    if (part.written && part.size >= 0) {
        size = static_cast<std::uint64_t>(part.size);
        return true;
    }
    // Its size could not be read when it was written: looked at now.
    platform::PathStatus status;
    if (!platform::statPath(parts_.path(part), status) || status.isDirectory || status.size < 0)
        return false;
    size = static_cast<std::uint64_t>(status.size);
    return true;
}

const WrittenPart* FirstReadingMap::find(const std::string& path, std::uint64_t begin,
                                         codec::TransferEncoding encoding) const {
    if (byBegin_.empty() || path != messagePath_)
        return nullptr;
    const auto found = std::lower_bound(
        byBegin_.begin(), byBegin_.end(), begin,
        [this](std::uint32_t index, std::uint64_t at) { return parts_[index].begin < at; });
    if (found == byBegin_.end() || parts_[*found].begin != begin)
        return nullptr;
    const WrittenPart& part = parts_[*found];
    return part.span().encoding == encoding ? &part : nullptr;
}

AgreedLeafDecoder::AgreedLeafDecoder(std::unique_ptr<codec::Decoder> others,
                                     codec::TransferEncoding encoding, codec::ByteSink& attachment,
                                     const WrittenPart& part, std::string messagePath,
                                     std::uint64_t bodyBegin, bool lineEndsMayDiffer)
    : others_(std::move(others)),
      encoding_(encoding),
      attachment_(attachment),
      part_(part),
      messagePath_(std::move(messagePath)),
      bodyBegin_(bodyBegin),
      shape_(encoding, lineEndsMayDiffer || encoding == codec::TransferEncoding::Base64) {}

void AgreedLeafDecoder::feed(const char* data, std::size_t size) {
    if (decoder_ != nullptr) {
        if (othersLive_)
            others_->feed(data, size);
        decoder_->feed(data, size);
        return;
    }
    const std::uint64_t length = part_.end - part_.begin;
    const bool agreeing = size <= length - seen_ && shape_.feed(data, size);
    if (!agreeing || shape_.mayOpenBlock())
        catchUpOthers();
    if (othersLive_)
        others_->feed(data, size);
    if (!agreeing) {
        decodeFromHere();
        decoder_->feed(data, size);
        return;
    }
    seen_ += size;
}

void AgreedLeafDecoder::catchUpOthers() {
    if (others_ == nullptr || othersLive_)
        return;
    othersLive_ = true;
    rereadInto(messagePath_, bodyBegin_, seen_, *others_);
}

void AgreedLeafDecoder::decodeFromHere() {
    if (decoder_ != nullptr)
        return;
    catchUpOthers();
    decoder_ = codec::makeDecoder(encoding_, attachment_);
    // What was only checked so far is read again and decoded first.
    rereadInto(messagePath_, bodyBegin_, seen_, *decoder_);
}

void AgreedLeafDecoder::finish() {
    const bool agreeing = decoder_ == nullptr && shape_.finish() &&
                          bodyBegin_ + seen_ == part_.end &&
                          static_cast<std::int64_t>(shape_.decodedSize()) == part_.size;
    if (!agreeing)
        catchUpOthers();
    // A scanner never fed saw only lines that cannot open a block.
    if (othersLive_)
        others_->finish();
    if (agreeing) {
        agreed_ = true;
        return;
    }
    decodeFromHere();
    decoder_->finish();
}

QuietTextDecoder::QuietTextDecoder(std::unique_ptr<codec::Decoder> decoder,
                                   codec::TransferEncoding encoding, bool wide, std::string path,
                                   std::uint64_t bodyBegin)
    : decoder_(std::move(decoder)),
      shape_(encoding, true),
      path_(std::move(path)),
      bodyBegin_(bodyBegin) {
    shape_.watchForBinary(wide);
}

void QuietTextDecoder::feed(const char* data, std::size_t size) {
    if (!decoding_) {
        if (shape_.feed(data, size) && !shape_.mayOpenBlock() && !shape_.mayBeBinary()) {
            seen_ += size;
            return;
        }
        decodeFromHere();
    }
    decoder_->feed(data, size);
}

void QuietTextDecoder::decodeFromHere() {
    if (decoding_)
        return;
    decoding_ = true;
    rereadInto(path_, bodyBegin_, seen_, *decoder_);
}

void QuietTextDecoder::finish() {
    // A body cut inside an escape or a line end decodes to what the pass
    // did not judge.
    if (!decoding_ && (!shape_.finish() || shape_.mayOpenBlock() || shape_.mayBeBinary()))
        decodeFromHere();
    if (decoding_)
        decoder_->finish();
}

}  // namespace tarnwick::client_reading
