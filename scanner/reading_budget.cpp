// SPDX-License-Identifier: Apache-2.0
// reading_budget.cpp - reserving and giving back the second readings'
// memory.
#include "scanner/reading_budget.h"

namespace tarnwick {

std::uint64_t estimateReadingBytes(std::uint64_t parts) {
    return kReadingFixedBytes + parts * kReadingBytesPerPart;
}

bool ReadingBudget::reserve(std::uint64_t bytes) {
    MutexLock held(mutex_);
    if (reserved_ != 0 && (bytes > total_ || reserved_ > total_ - bytes))
        return false;
    reserved_ += bytes;
    return true;
}

void ReadingBudget::release(std::uint64_t bytes) {
    MutexLock held(mutex_);
    reserved_ -= bytes < reserved_ ? bytes : reserved_;
}

std::uint64_t ReadingBudget::reserved() const {
    MutexLock held(mutex_);
    return reserved_;
}

}  // namespace tarnwick
