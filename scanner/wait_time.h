// SPDX-License-Identifier: Apache-2.0
// wait_time.h - how long the resident anti-virus is given to judge a file.
//
// The scan job waits once after writing the message copy and, when
// attachments were unpacked, once more after writing them; both waits use
// the time computed here from the size of the copy. Larger messages get a
// little longer, up to a fixed extra. This unit only computes; it never
// sleeps.
#pragma once

#include <cstdint>

namespace tarnwick {

// Bytes per unit of size that earns extra wait time (100 KiB).
inline constexpr std::uint64_t kWaitBlockBytes = 102400;
// Units of size that earn no extra time at all.
inline constexpr std::int64_t kFreeWaitBlocks = 5;
// Extra units counted at most: from here on the wait no longer grows.
inline constexpr std::int64_t kMaxExtraWaitBlocks = 40;

// waitTime - the seconds to wait for a copy of bytesCopied bytes with the
// base wait waitSeconds: the larger of waitSeconds and
// (waitSeconds + extra) / 2, where extra is the number of whole 100 KiB
// blocks beyond the fifth, limited to 0..40. A negative base counts as 0.
// Computed in 64 bits: no base or size overflows into a short wait.
std::int64_t waitTime(std::uint64_t bytesCopied, std::int64_t waitSeconds);

}  // namespace tarnwick
