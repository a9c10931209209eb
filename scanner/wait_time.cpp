// SPDX-License-Identifier: Apache-2.0
// wait_time.cpp - the size-dependent wait of the scan job.
#include "scanner/wait_time.h"

#include <algorithm>

namespace tarnwick {

// waitTime - base wait, or more for large copies.
std::int64_t waitTime(std::uint64_t bytesCopied, std::int64_t waitSeconds) {
    const std::int64_t base = std::max<std::int64_t>(waitSeconds, 0);
    // The block count of any real file fits easily; clamp before converting so
    // that even an absurd count cannot turn negative.
    const std::uint64_t blocks = std::min<std::uint64_t>(bytesCopied / kWaitBlockBytes,
                                                         kFreeWaitBlocks + kMaxExtraWaitBlocks);
    const std::int64_t extra = std::clamp<std::int64_t>(
        static_cast<std::int64_t>(blocks) - kFreeWaitBlocks, 0, kMaxExtraWaitBlocks);
    // (base + extra) / 2 exceeds base only when extra does; testing that first
    // keeps the sum from overflowing for a huge base.
    return extra > base ? (base + extra) / 2 : base;
}

}  // namespace tarnwick
