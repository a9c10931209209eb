// SPDX-License-Identifier: Apache-2.0
// wait_time_test.cpp - the size-dependent wait around its thresholds.
#include "scanner/wait_time.h"

#include <gtest/gtest.h>

#include <climits>

namespace tarnwick {
namespace {

struct WaitCase {
    std::uint64_t bytes;
    std::int64_t base;
    std::int64_t expected;
};

constexpr std::uint64_t kBlock = 102400;

TEST(WaitTime, GrowsOneSecondPerTwoBlocksBeyondTheFifthUpToItsLimit) {
    const WaitCase cases[] = {
        {0, 5, 5},                           // empty copy: the base wait
        {6 * kBlock - 1, 5, 5},              // just under 6 blocks: no extra
        {6 * kBlock, 5, 5},                  // extra 1: (5 + 1) / 2 is below the base
        {12 * kBlock - 1, 5, 5},             // extra 6: (5 + 6) / 2 = 5
        {12 * kBlock, 5, 6},                 // extra 7: 6
        {20 * kBlock, 5, 10},                // extra 15: 10
        {44 * kBlock, 5, 22},                // extra 39: 22
        {45 * kBlock, 5, 22},                // extra 40: still 22
        {1000 * kBlock, 5, 22},              // limited to 40 extra
        {1024 * 1024, 0, 2},                 // 1 MiB with no base: (0 + 5) / 2
        {1024 * 1024, 1, 3},                 // (1 + 5) / 2
        {50 * kBlock, 60, 60},               // a large base is never lowered
        {5ull * 1024 * 1024 * 1024, 5, 22},  // over 4 GiB: no wrapped block count
        {UINT64_MAX, 5, 22},
    };
    for (const WaitCase& c : cases)
        EXPECT_EQ(waitTime(c.bytes, c.base), c.expected) << c.bytes << " bytes, base " << c.base;
}

TEST(WaitTime, NegativeBaseCountsAsZeroAndAHugeBaseStaysHuge) {
    EXPECT_EQ(waitTime(0, -7), 0);
    EXPECT_EQ(waitTime(20 * kBlock, -7), 7);
    EXPECT_EQ(waitTime(0, INT_MAX), INT_MAX);
    EXPECT_EQ(waitTime(100 * kBlock, INT64_MAX), INT64_MAX);
}

}  // namespace
}  // namespace tarnwick
