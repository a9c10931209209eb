// SPDX-License-Identifier: Apache-2.0
// siphash.cpp - SipHash-2-4 as published by Aumasson and Bernstein: two
// compression rounds per 64-bit word, four finalisation rounds.
#include "client_reading/siphash.h"

#include <bit>
#include <cstring>
#include <exception>
#include <random>

namespace tarnwick::client_reading {

namespace {

// kSystemRandomDevice - the random device asked for first.
constexpr const char* kSystemRandomDevice = "/dev/urandom";

std::uint64_t rotateLeft(std::uint64_t value, int bits) {
    return (value << bits) | (value >> (64 - bits));
}

// sipRound - one round on the four state words. Inlined everywhere: as a
// call it costs about as much as the round itself, and the hash of every
// decoded attachment goes through it.
#if defined(__GNUC__)
[[gnu::always_inline]]
#endif
inline void
sipRound(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
    v0 += v1;
    v1 = rotateLeft(v1, 13);
    v1 ^= v0;
    v0 = rotateLeft(v0, 32);
    v2 += v3;
    v3 = rotateLeft(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotateLeft(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotateLeft(v1, 17);
    v1 ^= v2;
    v2 = rotateLeft(v2, 32);
}

[[maybe_unused]] std::uint64_t byteSwapped(std::uint64_t value) {
    std::uint64_t swapped = 0;
    for (int i = 0; i < 8; ++i, value >>= 8)
        swapped = (swapped << 8) | (value & 0xff);
    return swapped;
}

// keyFrom - 128 bits drawn from entropy.
SipHashKey keyFrom(std::random_device& entropy) {
    SipHashKey key;
    for (int i = 0; i < 2; ++i) {
        key.k0 = (key.k0 << 32) | entropy();
        key.k1 = (key.k1 << 32) | entropy();
    }
    return key;
}

}  // namespace

SipHashKey randomSipHashKey() {
    // The system's random device where it can be opened: the default source
    // costs several times as much to set up on some machines (a processor
    // feature probe each time).
    try {
        std::random_device entropy(kSystemRandomDevice);
        return keyFrom(entropy);
    } catch (const std::exception&) {
        // No such device here (another system, a chroot): the default.
    }
    std::random_device entropy;
    return keyFrom(entropy);
}

const SipHashKey& processSipHashKey() {
    static const SipHashKey key = randomSipHashKey();
    return key;
}

SipHasher::SipHasher(const SipHashKey& key)
    : v0_(key.k0 ^ 0x736f6d6570736575ULL),
      v1_(key.k1 ^ 0x646f72616e646f6dULL),
      v2_(key.k0 ^ 0x6c7967656e657261ULL),
      v3_(key.k1 ^ 0x7465646279746573ULL) {}

void SipHasher::compress(std::uint64_t word) {
    v3_ ^= word;
    sipRound(v0_, v1_, v2_, v3_);
    sipRound(v0_, v1_, v2_, v3_);
    v0_ ^= word;
}

void SipHasher::update(const unsigned char* data, std::size_t size) {
    length_ += size;
    std::size_t i = 0;
    // Fill the pending word first, then whole words, then keep the rest.
    while (i < size && pendingCount_ != 0) {
        pending_ |= static_cast<std::uint64_t>(data[i++]) << (8 * pendingCount_);
        if (++pendingCount_ == 8) {
            compress(pending_);
            pending_ = 0;
            pendingCount_ = 0;
        }
    }
    // Whole words, read little-endian; the state lives in locals meanwhile.
    std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        if constexpr (std::endian::native == std::endian::big)
            word = byteSwapped(word);
        v3 ^= word;
        sipRound(v0, v1, v2, v3);
        sipRound(v0, v1, v2, v3);
        v0 ^= word;
    }
    v0_ = v0;
    v1_ = v1;
    v2_ = v2;
    v3_ = v3;
    for (; i < size; ++i)
        pending_ |= static_cast<std::uint64_t>(data[i]) << (8 * pendingCount_++);
}

std::uint64_t SipHasher::finish() {
    compress(pending_ | (length_ << 56));
    v2_ ^= 0xff;
    for (int i = 0; i < 4; ++i)
        sipRound(v0_, v1_, v2_, v3_);
    return v0_ ^ v1_ ^ v2_ ^ v3_;
}

}  // namespace tarnwick::client_reading
