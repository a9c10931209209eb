// SPDX-License-Identifier: Apache-2.0
// scan_file_create.cpp - the gate every creation of a scan file passes
// before the platform's own creation, which stopScanFiles closes for good.
//
// A creation announces itself before it looks at the gate, and the closer
// shuts the gate before it counts the creations under way (both in
// sequentially consistent atomics): so either the creation sees the gate
// shut, or the closer sees it and waits until it has finished.
#include "scanfiles/scan_file_create.h"

#include <atomic>
#include <cerrno>

#include "runtime/platform.h"

namespace tarnwick {

namespace {

// Milliseconds between two looks at the creations under way.
constexpr std::uint64_t kGatePollMilliseconds = 1;

std::atomic<bool> scanFilesStopped{false};
std::atomic<int> creationsUnderWay{0};

}  // namespace

// stopScanFiles - shut the gate, then wait out the creations under way.
void stopScanFiles() {
    scanFilesStopped.store(true);
    while (creationsUnderWay.load() > 0)
        platform::sleepMilliseconds(kGatePollMilliseconds);
}

// createScanFile - through the gate, when it is open.
std::FILE* createScanFile(const std::string& path) {
    creationsUnderWay.fetch_add(1);
    if (scanFilesStopped.load()) {
        creationsUnderWay.fetch_sub(1);
        errno = EINTR;
        return nullptr;
    }
    std::FILE* file = platform::createPrivateFile(path);
    const int error = errno;
    creationsUnderWay.fetch_sub(1);
    errno = error;
    return file;
}

}  // namespace tarnwick
