// SPDX-License-Identifier: Apache-2.0
// agreement.cpp - the map of the first reading's part files and the leaf
// decoders that decode only where the readings would differ.
#include "client_reading/agreement.h"

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
    existing_.reserve(parts_.size());
    for (std::size_t i = 0; i < parts_.size(); ++i) {
        const WrittenPart& part = parts_[i];
        if (part.written && part.size >= 0) {
            // Taken as recorded: the scan job compares every part file with
            // its record after the wait, whatever this reading decides.
            existing_.push_back(ExistingFile{&part.path, static_cast<std::uint64_t>(part.size)});
            if (part.spanKnown)
                byBegin_.emplace(part.span.begin, i);
            continue;
        }
        // Its size could not be read when it was written: looked at now.
        platform::PathStatus status;
        if (platform::statPath(part.path, status) && !status.isDirectory && status.size >= 0)
            existing_.push_back(ExistingFile{&part.path, static_cast<std::uint64_t>(status.size)});
    }
}

const WrittenPart* FirstReadingMap::find(const std::string& path, std::uint64_t begin,
                                         codec::TransferEncoding encoding) const {
    if (byBegin_.empty() || path != messagePath_)
        return nullptr;
    const auto found = byBegin_.find(begin);
    if (found == byBegin_.end())
        return nullptr;
    const WrittenPart& part = parts_[found->second];
    return part.span.encoding == encoding ? &part : nullptr;
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
    const std::uint64_t length = part_.span.end - part_.span.begin;
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
                          bodyBegin_ + seen_ == part_.span.end &&
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
