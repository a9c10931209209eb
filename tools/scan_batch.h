// SPDX-License-Identifier: Apache-2.0
// scan_batch.h - the messages of one tarnwick-scan run, scanned at the same
// time on the worker pool, and the verdict of each.
//
// Every message runs the filter's scan job (AvFilter::processMessage) on a
// worker of its own, at most a given number at once; the caller is told of
// each verdict in the order the messages were given, as soon as it and all
// before it are known. Nothing here writes a line.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "scanner/av_filter.h"

namespace tarnwick {

// ScanVerdict - what became of one message.
enum class ScanVerdict {
    Clean,       // the anti-virus left every file alone
    VirusFound,  // a file was blocked, removed, changed or kept locked
    Error,       // the message could not be scanned
};

// ScanItem - one message of the run. A message that cannot be scanned at all
// (no such file, not an ordinary file) comes with its verdict Error and the
// reason already set, and is not handed to the scan job.
struct ScanItem {
    std::string path;  // as given and printed
    std::string file;  // the file the scan job reads, when not path
    ScanVerdict verdict = ScanVerdict::Error;
    std::string reason;  // why it could not be scanned
    std::string detail;  // Virus Found: why, in a few words; may be empty
    bool scan = true;    // false: verdict and reason are final already
};

// verdictOf - the verdict the filter's result gives for the message at path:
// the verdict header decides; an Ok without a verdict (the scan job could not
// set up its files) or a Postpone (a full disk) is an error, with the reason.
ScanVerdict verdictOf(const FilterResult& result, const AvFilter& filter, const std::string& path,
                      std::string& reason);

// scanBatch - scans every item with scan set through filter, at most
// maxInFlight at once, request numbers 1, 2, ... in the order given, and
// calls report(index) from the calling thread for each item in order, once
// its verdict and those of all items before it are known.
void scanBatch(AvFilter& filter, std::vector<ScanItem>& items, std::size_t maxInFlight,
               const std::function<void(std::size_t index)>& report);

}  // namespace tarnwick
