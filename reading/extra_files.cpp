// extra_files.cpp - writing the extra files, recognising copies, spilling.
//
// A copy is recognised by size and keyed hash; the key is drawn afresh for
// every reading, so a sender cannot build a new attachment that passes for a
// file already shown to the anti-virus.
#include "reading/extra_files.h"

#include <cerrno>
#include <memory>

#include "runtime/platform.h"

namespace tarnwick::reading {

namespace {

// kCopyBlock - bytes read at once when learning an existing file.
constexpr std::size_t kCopyBlock = 64 * 1024;

}  // namespace

SpillFile::SpillFile(ExtraFileSet& owner, std::string path, std::FILE* file)
    : owner_(owner), path_(std::move(path)), file_(file) {}

SpillFile::~SpillFile() {
    close();
}

void SpillFile::append(const char* data, std::size_t size) {
    if (file_ == nullptr || size == 0)
        return;
    if (size > owner_.spillLeft_) {
        size = static_cast<std::size_t>(owner_.spillLeft_);
        owner_.spillLimitReached_ = true;
    }
    const std::size_t written = std::fwrite(data, 1, size, file_);
    owner_.spillLeft_ -= written;
    size_ += written;
}

void SpillFile::close() {
    if (file_ != nullptr)
        std::fclose(file_);
    file_ = nullptr;
}

ExtraFileSet::ExtraFileSet(std::string folder, int messageNumber, std::uint64_t outputLimit,
                           std::uint64_t spillLimit)
    : folder_(std::move(folder)),
      messageNumber_(messageNumber),
      outputLeft_(outputLimit),
      spillLeft_(spillLimit),
      key_(randomSipHashKey()) {}

ExtraFileSet::~ExtraFileSet() {
    for (const std::string& path : spillPaths_)
        platform::removePath(path);
}

void ExtraFileSet::learnExisting(const std::string& path) {
    std::FILE* file = platform::openSharedFile(path, "rb");
    if (file == nullptr)
        return;
    // A LeafSink that never writes: it hashes both ways and is dropped.
    SipHasher exact(key_);
    SipHasher folded(key_);
    std::uint64_t size = 0;
    std::uint64_t foldedSize = 0;
    bool pendingCr = false;
    std::unique_ptr<char[]> block(new char[kCopyBlock]);
    std::string foldedBlock;
    for (;;) {
        const std::size_t count = std::fread(block.get(), 1, kCopyBlock, file);
        if (count == 0)
            break;
        exact.update(reinterpret_cast<const unsigned char*>(block.get()), count);
        size += count;
        foldedBlock.clear();
        for (std::size_t i = 0; i < count; ++i) {
            const char c = block[i];
            if (pendingCr && c != '\n')
                foldedBlock.push_back('\r');
            pendingCr = c == '\r';
            if (!pendingCr)
                foldedBlock.push_back(c);
        }
        folded.update(reinterpret_cast<const unsigned char*>(foldedBlock.data()),
                      foldedBlock.size());
        foldedSize += foldedBlock.size();
    }
    std::fclose(file);
    if (pendingCr) {
        const unsigned char cr = '\r';
        folded.update(&cr, 1);
        ++foldedSize;
    }
    exact_.emplace(size, exact.finish());
    folded_.emplace(foldedSize, folded.finish());
}

std::unique_ptr<SpillFile> ExtraFileSet::openSpill() {
    const std::string path = folder_ + "/msg-" + std::to_string(messageNumber_) + "-reading-" +
                             std::to_string(nextSpill_++) + ".tmp";
    std::FILE* file = platform::openSharedFile(path, "wb");
    if (file == nullptr)
        return nullptr;
    spillPaths_.push_back(path);
    return std::make_unique<SpillFile>(*this, path, file);
}

std::string ExtraFileSet::nextExtraPath() {
    return folder_ + "/msg-" + std::to_string(messageNumber_) + "-extra-" + std::to_string(nextK_) +
           ".scanme";
}

LeafSink::LeafSink(ExtraFileSet& set, bool lineEndsMayDiffer)
    : set_(set),
      lineEndsMayDiffer_(lineEndsMayDiffer),
      exactHash_(set.key()),
      foldedHash_(set.key()) {}

LeafSink::~LeafSink() {
    if (!finished_)
        finish();
}

void LeafSink::foldAndHash(const char* data, std::size_t size) {
    exactHash_.update(reinterpret_cast<const unsigned char*>(data), size);
    size_ += size;
    if (!lineEndsMayDiffer_)
        return;  // compared exactly only: the folded form is not needed
    // CR LF is hashed as LF; the pieces between are hashed as they are.
    std::size_t from = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (pendingCr_) {
            pendingCr_ = false;
            if (c != '\n') {
                const unsigned char cr = '\r';
                foldedHash_.update(&cr, 1);
                ++foldedSize_;
            }
        }
        if (c == '\r') {
            foldedHash_.update(reinterpret_cast<const unsigned char*>(data + from), i - from);
            foldedSize_ += i - from;
            pendingCr_ = true;
            from = i + 1;
        }
    }
    foldedHash_.update(reinterpret_cast<const unsigned char*>(data + from), size - from);
    foldedSize_ += size - from;
}

void LeafSink::write(const char* data, std::size_t size) {
    if (finished_ || size == 0)
        return;
    foldAndHash(data, size);
    if (file_ == nullptr && held_.size() + size <= kHeldLeafBytes && !fileFailed_) {
        held_.append(data, size);
        return;
    }
    if (file_ == nullptr && !fileFailed_) {
        // Too large to hold: begin the file now, removed again if a copy.
        if (set_.outputLimitReached_)
            return;
        path_ = set_.nextExtraPath();
        file_ = platform::openSharedFile(path_, "wb");
        if (file_ == nullptr) {
            fileFailed_ = true;
            set_.writeFailed_ = true;
            ++set_.nextK_;
            return;
        }
        writeToFile(held_.data(), held_.size());
        held_.clear();
        held_.shrink_to_fit();
    }
    writeToFile(data, size);
}

void LeafSink::writeToFile(const char* data, std::size_t size) {
    if (file_ == nullptr)
        return;
    if (written_ + size > set_.outputLeft_) {
        size = static_cast<std::size_t>(set_.outputLeft_ - written_);
        set_.outputLimitReached_ = true;
    }
    if (size != 0 && std::fwrite(data, 1, size, file_) != size)
        set_.writeFailed_ = true;
    written_ += size;
}

bool LeafSink::finish() {
    if (finished_)
        return false;
    finished_ = true;
    if (pendingCr_) {
        const unsigned char cr = '\r';
        foldedHash_.update(&cr, 1);
        ++foldedSize_;
    }
    const ExtraFileSet::Key exactKey(size_, exactHash_.finish());
    const ExtraFileSet::Key foldedKey(foldedSize_, foldedHash_.finish());
    const bool copy = set_.exact_.count(exactKey) != 0 ||
                      (lineEndsMayDiffer_ && set_.folded_.count(foldedKey) != 0);
    if (fileFailed_)
        return false;
    if (copy || size_ == 0) {
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
            const int error = platform::removePath(path_);
            if (error != 0 && error != ENOENT) {
                // Held open by someone: it stays, and the caller removes it.
                set_.files_.push_back(path_);
                set_.outputLeft_ -= written_;
                ++set_.nextK_;
            }
        }
        return false;
    }
    if (file_ == nullptr) {
        if (set_.outputLimitReached_ || set_.outputLeft_ == 0) {
            set_.outputLimitReached_ = true;
            return false;
        }
        path_ = set_.nextExtraPath();
        file_ = platform::openSharedFile(path_, "wb");
        if (file_ == nullptr) {
            set_.writeFailed_ = true;
            ++set_.nextK_;
            return false;
        }
        writeToFile(held_.data(), held_.size());
        held_.clear();
    }
    if (std::fclose(file_) != 0)
        set_.writeFailed_ = true;
    file_ = nullptr;
    set_.files_.push_back(path_);
    set_.outputLeft_ -= written_;
    ++set_.nextK_;
    set_.exact_.insert(exactKey);
    // The folded form is known only of attachments compared that way.
    if (lineEndsMayDiffer_)
        set_.folded_.insert(foldedKey);
    platform::offerToScanner(path_);
    return true;
}

}  // namespace tarnwick::reading
