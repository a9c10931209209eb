// SPDX-License-Identifier: Apache-2.0
// filter_base.cpp - construction, destruction and the default virtual
// operations of FilterBase. The command loop is in command_loop.cpp, the
// worker body in run_request.cpp.
#include "front/filter_base.h"

namespace tarnwick {

namespace {

// defaultInterfaceVersion - what a filter answers to INTF with an argument.
constexpr int defaultInterfaceVersion = 3;

}  // namespace

FilterBase::FilterBase(bool threaded) : threaded(threaded) {}

FilterBase::~FilterBase() {
    MutexLock guard(lock);
    activeRequests.clear();
}

int FilterBase::interfaceVersion(std::uint32_t /*requested*/) {
    return defaultInterfaceVersion;
}

void FilterBase::shutdown() {}

void FilterBase::releaseRequest(std::uint32_t requestId) {
    MutexLock guard(lock);
    activeRequests.erase(requestId);
}

}  // namespace tarnwick
