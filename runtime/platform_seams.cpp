// SPDX-License-Identifier: Apache-2.0
// platform_seams.cpp - the test seams shared by both platform backends.
//
// Counters that make the next creations or thread starts fail, and the
// removal interceptor. Kept in atomics: tests arm them on one thread while
// workers may be calling into the platform layer on others. Nothing here
// touches the operating system.
#include <atomic>

#include "runtime/platform.h"

namespace tarnwick::platform {

namespace {

std::atomic<int> pendingCreationRefusals{0};
std::atomic<int> pendingThreadStartRefusals{0};
std::atomic<RemovalInterceptor> installedInterceptor{nullptr};
std::atomic<CreationInterceptor> installedCreationInterceptor{nullptr};

// takeOne - spends one armed refusal if there is any.
bool takeOne(std::atomic<int>& pending) {
    int count = pending.load();
    while (count > 0) {
        if (pending.compare_exchange_weak(count, count - 1))
            return true;
    }
    return false;
}

}  // namespace

void refuseObjectCreations(int count) {
    pendingCreationRefusals.store(count > 0 ? count : 0);
}

void refuseThreadStarts(int count) {
    pendingThreadStartRefusals.store(count > 0 ? count : 0);
}

void setRemovalInterceptor(RemovalInterceptor interceptor) {
    installedInterceptor.store(interceptor);
}

void setCreationInterceptor(CreationInterceptor interceptor) {
    installedCreationInterceptor.store(interceptor);
}

namespace detail {

bool takeCreationRefusal() {
    return takeOne(pendingCreationRefusals);
}

bool takeThreadStartRefusal() {
    return takeOne(pendingThreadStartRefusals);
}

int interceptRemoval(const std::string& path) {
    const RemovalInterceptor interceptor = installedInterceptor.load();
    return interceptor != nullptr ? interceptor(path) : -1;
}

int interceptCreation(const std::string& path) {
    const CreationInterceptor interceptor = installedCreationInterceptor.load();
    return interceptor != nullptr ? interceptor(path) : 0;
}

}  // namespace detail

}  // namespace tarnwick::platform
