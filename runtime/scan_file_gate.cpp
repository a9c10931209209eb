// SPDX-License-Identifier: Apache-2.0
// scan_file_gate.cpp - the gate both platform backends pass before creating
// a scan file, which stopScanFiles closes for good.
//
// A creation announces itself before it looks at the gate, and the closer
// shuts the gate before it counts the creations under way (both in
// sequentially consistent atomics): so either the creation sees the gate
// shut, or the closer sees it and waits until it has finished.
#include <atomic>

#include "runtime/platform.h"

namespace tarnwick::platform {

namespace {

// Milliseconds between two looks at the creations under way.
constexpr std::uint64_t kGatePollMilliseconds = 1;

std::atomic<bool> scanFilesStopped{false};
std::atomic<int> creationsUnderWay{0};

}  // namespace

void stopScanFiles() {
    scanFilesStopped.store(true);
    while (creationsUnderWay.load() > 0)
        sleepMilliseconds(kGatePollMilliseconds);
}

namespace detail {

bool beginScanFileCreation() {
    creationsUnderWay.fetch_add(1);
    if (!scanFilesStopped.load())
        return true;
    creationsUnderWay.fetch_sub(1);
    return false;
}

void endScanFileCreation() {
    creationsUnderWay.fetch_sub(1);
}

}  // namespace detail

}  // namespace tarnwick::platform
