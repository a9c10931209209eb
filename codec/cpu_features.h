// SPDX-License-Identifier: Apache-2.0
// cpu_features.h - which vector instructions the decoding loops of both
// readings may use on this processor.
//
// Asked on first use and remembered: nothing runs before main, so a process
// that never decodes (tarnwick-unpack --version, a message without encoded
// parts) never pays for the question. On processors other than x86-64, and
// with compilers that lack the cpuid intrinsics, every answer is false and
// the scalar loops run.
#pragma once

namespace tarnwick {

// cpuHasSsse3 - the processor has SSSE3 (the byte shuffle).
bool cpuHasSsse3();

// cpuHasAvx2 - the processor has AVX2 and the system saves its registers.
bool cpuHasAvx2();

}  // namespace tarnwick
