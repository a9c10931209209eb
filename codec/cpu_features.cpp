// SPDX-License-Identifier: Apache-2.0
// cpu_features.cpp - the processor's vector features, asked once, lazily.
//
// The compiler's own run-time check pulls a constructor into every program
// that asks (it probes the processor before main, whether or not anything is
// decoded); this unit asks cpuid itself the first time a loop needs to know.
#include "codec/cpu_features.h"

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <cpuid.h>
#define TARNWICK_CPUID 1
#endif

namespace tarnwick {
namespace {

// Bits of cpuid leaf 1 (ecx) and leaf 7 (ebx), and of the XCR0 register.
constexpr unsigned kLeaf1Ssse3 = 1u << 9;
constexpr unsigned kLeaf1OsSavesState = 1u << 27;
constexpr unsigned kLeaf1Avx = 1u << 28;
constexpr unsigned kLeaf7Avx2 = 1u << 5;
constexpr unsigned kXcr0SseAndAvxState = 0x6;

// Features - what the processor offers, as the loops ask it.
struct Features {
    bool ssse3 = false;
    bool avx2 = false;
};

#if defined(TARNWICK_CPUID)
// readXcr0 - the register that says which vector state the system saves.
unsigned readXcr0() {
    unsigned low = 0;
    unsigned high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return low;
}
#endif

// probe - asks the processor once.
Features probe() {
    Features features;
#if defined(TARNWICK_CPUID)
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0)
        return features;
    features.ssse3 = (ecx & kLeaf1Ssse3) != 0;
    const bool avxUsable = (ecx & kLeaf1Avx) != 0 && (ecx & kLeaf1OsSavesState) != 0 &&
                           (readXcr0() & kXcr0SseAndAvxState) == kXcr0SseAndAvxState;
    if (avxUsable && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0)
        features.avx2 = (ebx & kLeaf7Avx2) != 0;
#endif
    return features;
}

// features - the answer, made on first use (thread-safe as a local static).
const Features& features() {
    static const Features answer = probe();
    return answer;
}

}  // namespace

bool cpuHasSsse3() {
    return features().ssse3;
}

bool cpuHasAvx2() {
    return features().avx2;
}

}  // namespace tarnwick
