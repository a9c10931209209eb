// SPDX-License-Identifier: Apache-2.0
// binary_text.cpp - telling binary content from text, and writing it.
#include "client_reading/binary_text.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tarnwick::client_reading {

namespace {

// kNotText - the control bytes text never carries.
constexpr std::array<bool, 256> kNotText = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 0x20; ++c)
        table[c] = c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r' && c != 0x1b;
    return table;
}();

// kSignatures - how executables and archives begin.
constexpr std::string_view kSignatures[] = {
    std::string_view("MZ", 2),  // DOS and Windows programs
    std::string_view("\x7f"
                     "ELF",
                     4),                        // ELF programs
    std::string_view("\xca\xfe\xba\xbe", 4),    // Mach-O universal, Java
    std::string_view("\xcf\xfa\xed\xfe", 4),    // Mach-O 64-bit
    std::string_view("\xce\xfa\xed\xfe", 4),    // Mach-O 32-bit
    std::string_view("PK\x03\x04", 4),          // zip and its kin
    std::string_view("PK\x05\x06", 4),          // empty zip
    std::string_view("PK\x07\x08", 4),          // spanned zip
    std::string_view("Rar!\x1a\x07", 6),        // RAR
    std::string_view("7z\xbc\xaf\x27\x1c", 6),  // 7-Zip
    std::string_view("\x1f\x8b", 2),            // gzip
    std::string_view("BZh", 3),                 // bzip2
    std::string_view("\xfd"
                     "7zXZ",
                     5),                                      // xz
    std::string_view("MSCF", 4),                              // cabinet
    std::string_view("\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", 8),  // compound documents, MSI
    std::string_view("ITSF", 4),                              // compiled help
};

// kWordBytes - bytes tested together by holdsControlByte.
constexpr std::size_t kWordBytes = 8;
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// holdsControlByte - bytes holds a byte that kNotText marks. Eight bytes
// are tested together first: a word without a byte below 0x20 holds none
// (the test may also mark a byte above a real one, never miss one), and
// only a word with such a byte (a line end, most often) is looked at byte
// by byte.
bool holdsControlByte(std::string_view bytes) {
    std::size_t i = 0;
    for (; bytes.size() - i >= kWordBytes; i += kWordBytes) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, kWordBytes);
        if (((word - kOnes * 0x20) & ~word & kHighBits) == 0)
            continue;
        for (std::size_t k = i; k < i + kWordBytes; ++k)
            if (kNotText[static_cast<unsigned char>(bytes[k])])
                return true;
    }
    for (; i < bytes.size(); ++i)
        if (kNotText[static_cast<unsigned char>(bytes[i])])
            return true;
    return false;
}

}  // namespace

bool isNotTextByte(unsigned char byte) {
    return kNotText[byte];
}

bool looksBinary(std::string_view bytes, bool atStart, bool wide) {
    if (!wide && holdsControlByte(bytes))
        return true;
    if (atStart)
        for (std::string_view signature : kSignatures)
            if (bytes.substr(0, signature.size()) == signature)
                return true;
    return false;
}

BinaryInText::BinaryInText(ExtraFileSet& set, bool lineEndsMayDiffer, bool wideCharset,
                           ScanFileDescription description)
    : set_(set),
      lineEndsMayDiffer_(lineEndsMayDiffer),
      wide_(wideCharset),
      description_(std::move(description)) {}

void BinaryInText::write(const char* data, std::size_t size) {
    if (sink_ != nullptr) {
        sink_->write(data, size);
        return;
    }
    const std::string_view bytes(data, size);
    if (late_) {
        binary_ = binary_ || looksBinary(bytes, false, wide_);
        return;
    }
    bool binary = looksBinary(bytes, false, wide_);
    if (!binary && held_.size() < kSignatureBytes) {
        // The body's first bytes are still coming: look for a signature.
        std::string start = held_;
        start.append(bytes.substr(0, kSignatureBytes - held_.size()));
        binary = looksBinary(start, true, wide_);
    }
    if (binary) {
        binary_ = true;
        sink_ = std::make_unique<LeafSink>(set_, lineEndsMayDiffer_, description_);
        sink_->write(held_.data(), held_.size());
        sink_->write(data, size);
        held_.clear();
        held_.shrink_to_fit();
        return;
    }
    if (held_.size() + size <= kSniffedTextBytes) {
        held_.append(bytes);
        return;
    }
    late_ = true;  // text so far: from here on only watched
    held_.clear();
    held_.shrink_to_fit();
}

void BinaryInText::finish() {
    if (sink_ != nullptr)
        sink_->finish();
    sink_.reset();
    held_.clear();
}

}  // namespace tarnwick::client_reading
