// SPDX-License-Identifier: Apache-2.0
// leftovers.cpp - the deferred clean-up: files that the anti-virus still
// held when a scan job gave up on them are retried at the end of every later
// scan job, until they are gone.
//
// The deferred list is the scan folder's (ScanFileOwners): a file on it that
// a request in progress has created again under the same name is that
// request's, and is left alone. Nothing is kept across runs of the process.
#include "runtime/console_log.h"
#include "scanner/av_filter.h"

namespace tarnwick {

// retryLeftovers - one retry of every deferred file, under the lock.
void AvFilter::retryLeftovers() {
    MutexLock held(lock);
    if (!scanFiles_.anyDeferred(true)) {
        // Only files no request gave up on (a spill file or a copy still
        // held for a moment): cleaned up without a word.
        if (scanFiles_.anyDeferred(false))
            scanFiles_.retryDeferred();
        return;
    }
    writeLogLine("* Retrying to clear temp files left by previous scans");
    // A file that disappeared meanwhile changes nothing now: the message it
    // belonged to has long been answered.
    const bool stillLocked = scanFiles_.retryDeferred();
    writeLogLine(stillLocked ? "* Unable to clean all temp files, will try again later"
                             : "* All temp files cleared");
}

}  // namespace tarnwick
