// SPDX-License-Identifier: Apache-2.0
// content_hash.h - a cheap 64-bit hash of a file's bytes, taken while the
// file is written and again when it is checked, so that a file whose time
// stamp alone was touched is told from one whose bytes changed. Eight bytes
// a step (a multiply and a rotation, each a bijection, so any one changed
// word changes the value); the value does not depend on how the bytes were
// cut into calls. Not for anything that must withstand a forger.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarnwick::codec {

class ContentHash {
  public:
    // add - takes the next bytes of the content.
    void add(const void* bytes, std::size_t size) {
        const unsigned char* at = static_cast<const unsigned char*>(bytes);
        total_ += size;
        while (pendingCount_ > 0 && pendingCount_ < 8 && size > 0) {
            pending_[pendingCount_++] = *at++;
            --size;
        }
        if (pendingCount_ == 8) {
            mix(load(pending_));
            pendingCount_ = 0;
        }
        for (; size >= 8; at += 8, size -= 8)
            mix(load(at));
        for (; size > 0; --size)
            pending_[pendingCount_++] = *at++;
    }
    // value - the hash of all bytes taken so far.
    std::uint64_t value() const {
        std::uint64_t hash = state_;
        for (std::size_t i = 0; i < pendingCount_; ++i)
            hash = (hash ^ pending_[i]) * kPrime;
        return (hash ^ total_) * kPrime;
    }

  private:
    static constexpr std::uint64_t kPrime = 0x100000001b3ULL;

    static std::uint64_t load(const unsigned char* at) {
        std::uint64_t word = 0;
        std::memcpy(&word, at, sizeof word);
        return word;
    }
    void mix(std::uint64_t word) {
        const std::uint64_t product = (state_ ^ word) * 0x9E3779B97F4A7C15ULL;
        state_ = (product << 29) | (product >> 35);
    }

    std::uint64_t state_ = 0xcbf29ce484222325ULL;
    std::uint64_t total_ = 0;
    unsigned char pending_[8] = {};
    std::size_t pendingCount_ = 0;
};

}  // namespace tarnwick::codec
