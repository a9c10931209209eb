// SPDX-License-Identifier: Apache-2.0
// reading_budget.h - the memory all second readings in flight may take
// together.
//
// Every second reading reserves, before it begins, what it may need at
// most: a fixed part for its buffers (the attachment it holds in memory,
// its read and write blocks) and a small record for each part file of the
// first reading (see estimateReadingBytes). A reading whose reservation
// does not fit beside those in flight is not begun: its message is
// postponed, as for a full disk, and tried again later; it is never judged
// on less than both readings. A reading alone is always let in, whatever it
// reserves, so that no message waits for ever.
#pragma once

#include <cstdint>

#include "runtime/sync.h"

namespace tarnwick {

// kReadingFixedBytes - the part of a second reading's reservation that does
// not depend on the message.
inline constexpr std::uint64_t kReadingFixedBytes = 4u * 1024 * 1024;
// kReadingBytesPerPart - what a second reading keeps for each part file of
// the first reading, with room to spare.
inline constexpr std::uint64_t kReadingBytesPerPart = 256;
// kDefaultReadingBudget - the default total: a hundred readings of ordinary
// messages at once.
inline constexpr std::uint64_t kDefaultReadingBudget = 100 * kReadingFixedBytes;

// estimateReadingBytes - the reservation of a second reading after a first
// that wrote parts part files.
std::uint64_t estimateReadingBytes(std::uint64_t parts);

// ReadingBudget - the bytes reserved by the readings in flight. Locks
// itself.
class ReadingBudget {
  public:
    explicit ReadingBudget(std::uint64_t total) : total_(total) {}
    ReadingBudget(const ReadingBudget&) = delete;
    ReadingBudget& operator=(const ReadingBudget&) = delete;

    // reserve - takes bytes when they fit beside what is reserved, or when
    // nothing is; false (nothing taken) otherwise.
    bool reserve(std::uint64_t bytes);
    // release - gives back bytes taken by reserve.
    void release(std::uint64_t bytes);
    // reserved - the bytes taken now.
    std::uint64_t reserved() const;

  private:
    mutable SimpleMutex mutex_;
    const std::uint64_t total_;
    std::uint64_t reserved_ = 0;
};

// ReadingReservation - bytes of a budget held for one reading, given back
// when it ends.
class ReadingReservation {
  public:
    ReadingReservation(ReadingBudget& budget, std::uint64_t bytes)
        : budget_(budget), bytes_(bytes), held_(budget.reserve(bytes)) {}
    ~ReadingReservation() {
        if (held_)
            budget_.release(bytes_);
    }
    ReadingReservation(const ReadingReservation&) = delete;
    ReadingReservation& operator=(const ReadingReservation&) = delete;

    // held - whether the bytes were taken.
    bool held() const { return held_; }

  private:
    ReadingBudget& budget_;
    std::uint64_t bytes_;
    bool held_;
};

}  // namespace tarnwick
