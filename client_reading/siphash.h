// SPDX-License-Identifier: Apache-2.0
// siphash.h - SipHash-2-4, a keyed 64-bit hash, fed as a stream.
//
// The second reading recognises a decoded attachment that is already among
// the files written for a message by comparing sizes and keyed hashes. The
// key is drawn at random once per process and never leaves it, so nobody who
// sends a message can craft two different byte strings that compare equal.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick::client_reading {

// SipHashKey - the 128-bit secret.
struct SipHashKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

// randomSipHashKey - a fresh key from the standard library's entropy source.
SipHashKey randomSipHashKey();

// processSipHashKey - the process's key: randomSipHashKey drawn on the first
// call, the same afterwards (opening the random device for every message cost
// more than reading a typical message again). Safe from any thread.
const SipHashKey& processSipHashKey();

// SipHasher - SipHash-2-4 over bytes given in pieces of any size.
class SipHasher {
  public:
    explicit SipHasher(const SipHashKey& key);
    // update - hashes size more bytes.
    void update(const unsigned char* data, std::size_t size);
    // finish - the hash of every byte given so far. REQUIRES: called once.
    std::uint64_t finish();

  private:
    void compress(std::uint64_t word);

    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t pending_ = 0;  // up to seven bytes not yet compressed
    std::size_t pendingCount_ = 0;
    std::uint64_t length_ = 0;
};

}  // namespace tarnwick::client_reading
