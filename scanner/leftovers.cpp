// SPDX-License-Identifier: Apache-2.0
// leftovers.cpp - the deferred clean-up: part files that the anti-virus
// still held when a scan job gave up on them are retried at the end of every
// later scan job, until they are gone.
//
// Only the request numbers are kept here; the unpacker keeps the paths, and
// never lets a retry touch a file that a request in progress has written
// under the same name. Nothing is kept across runs of the process.
#include <set>

#include "mime/unpacker.h"
#include "runtime/console_log.h"
#include "scanner/av_filter.h"

namespace tarnwick {

// retryLeftovers - one retry of every recorded number, under the lock.
void AvFilter::retryLeftovers() {
    MutexLock held(lock);
    if (leftoverIds.empty())
        return;
    writeLogLine("* Retrying to clear temp files left by previous scans");
    std::set<int> stillLocked;
    for (const int number : leftoverIds) {
        // A file that disappeared meanwhile changes nothing now: the message
        // it belonged to has long been answered.
        if (mime::retryDeferredPartFiles(number) == -1)
            stillLocked.insert(number);
    }
    leftoverIds.swap(stillLocked);
    writeLogLine(leftoverIds.empty() ? "* All temp files cleared"
                                     : "* Unable to clean all temp files, will try again later");
}

}  // namespace tarnwick
