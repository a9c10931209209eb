// SPDX-License-Identifier: Apache-2.0
// cpu_features_test.cpp - the lazy cpuid answers as the compiler's own check.
#include "codec/cpu_features.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(CpuFeaturesTest, AnswersAsTheCompilersOwnCheck) {
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
    EXPECT_EQ(cpuHasSsse3(), __builtin_cpu_supports("ssse3") != 0);
    EXPECT_EQ(cpuHasAvx2(), __builtin_cpu_supports("avx2") != 0);
#else
    EXPECT_FALSE(cpuHasSsse3() || cpuHasAvx2());
#endif
}

}  // namespace
}  // namespace tarnwick
