// SPDX-License-Identifier: Apache-2.0
// scan_batch.cpp - runs the scan job of many messages at once on the worker
// pool and hands their verdicts back in the order given.
//
// The calling thread starts a worker per message while fewer than the
// limit run, and otherwise waits for the batch's event, which every
// finishing worker sets; it re-reads the counts under the batch's lock each
// time, so several workers finishing between two waits are all seen. The
// batch's state is shared by the caller and the workers and freed by whoever
// lets go of it last, so a worker that sets the event after the caller has
// seen the last verdict touches nothing freed.
#include "tools/scan_batch.h"

#include <cstdio>
#include <memory>

#include "runtime/file_system.h"
#include "runtime/platform.h"
#include "runtime/sync.h"
#include "runtime/worker_pool.h"

namespace tarnwick {

namespace {

// BatchState - what the caller and the workers share.
struct BatchState {
    BatchState(AvFilter& scanFilter, std::vector<ScanItem>& batchItems)
        : filter(scanFilter), items(batchItems), done(batchItems.size(), false) {}

    AvFilter& filter;
    std::vector<ScanItem>& items;
    PooledMutex lock;  // guards done and running
    SyncEvent finished;
    std::vector<bool> done;
    std::size_t running = 0;
};

// ScanJob - one worker's share: the batch and the index of its message.
struct ScanJob {
    std::shared_ptr<BatchState> batch;
    std::size_t index;
};

// scanOne - the worker body: the scan job for one message, its verdict
// stored, the caller woken.
void scanOne(void* argument) {
    const std::unique_ptr<ScanJob> job(static_cast<ScanJob*>(argument));
    BatchState& batch = *job->batch;
    ScanItem& item = batch.items[job->index];
    const auto requestId = static_cast<std::uint32_t>(job->index + 1);
    const std::string& file = item.file.empty() ? item.path : item.file;
    ScanVerdict verdict = ScanVerdict::Error;
    std::string reason;
    try {
        verdict =
            verdictOf(batch.filter.processMessage(requestId, file), batch.filter, file, reason);
    } catch (...) {
        reason = "unexpected error while scanning";
    }
    {
        MutexLock held(batch.lock);
        item.verdict = verdict;
        item.reason = reason;
        batch.done[job->index] = true;
        --batch.running;
    }
    batch.finished.set();
}

// canOpen - whether the file at path can be opened for reading now.
bool canOpen(const std::string& path) {
    std::FILE* file = platform::openSharedFile(path, "rb");
    if (file == nullptr)
        return false;
    std::fclose(file);
    return true;
}

}  // namespace

// verdictOf - the verdict header, or the reason there is none.
ScanVerdict verdictOf(const FilterResult& result, const AvFilter& filter, const std::string& path,
                      std::string& reason) {
    if (result.kind == FilterResult::AddHeader && !result.lines.empty()) {
        if (result.lines.front() == kVirusFoundHeader)
            return ScanVerdict::VirusFound;
        if (result.lines.front() == kNoVirusHeader)
            return ScanVerdict::Clean;
    }
    if (result.kind == FilterResult::Postpone && !result.lines.empty()) {
        reason = result.lines.front();
    } else if (result.kind != FilterResult::Ok) {
        reason = "unexpected result of the scan";
    } else if (!canOpen(path)) {
        reason = "cannot open the message file";
    } else if (!isDirectory(filter.scanFolder)) {
        reason = "cannot make the scan folder " + filter.scanFolder;
    } else {
        reason = "cannot create files in the scan folder " + filter.scanFolder;
    }
    return ScanVerdict::Error;
}

// scanBatch - start, wait, report in order.
void scanBatch(AvFilter& filter, std::vector<ScanItem>& items, std::size_t maxInFlight,
               const std::function<void(std::size_t index)>& report) {
    auto batch = std::make_shared<BatchState>(filter, items);
    std::size_t next = 0;      // the next item to start
    std::size_t reported = 0;  // items reported so far
    while (reported < items.size()) {
        bool startNext = false;
        {
            MutexLock held(batch->lock);
            while (next < items.size() && !items[next].scan) {
                batch->done[next] = true;
                ++next;
            }
            if (next < items.size() && batch->running < maxInFlight) {
                ++batch->running;
                startNext = true;
            }
        }
        if (startNext) {
            auto* job = new ScanJob{batch, next};
            if (WorkerPool::run(scanOne, job) == nullptr) {
                delete job;
                MutexLock held(batch->lock);
                --batch->running;
                items[next].reason = "no worker thread could be started";
                batch->done[next] = true;
            }
            ++next;
        }
        for (;;) {
            bool ready = false;
            {
                MutexLock held(batch->lock);
                ready = reported < items.size() && batch->done[reported];
            }
            if (!ready)
                break;
            report(reported++);
        }
        // Nothing more to start now: wait for a worker to finish.
        if (!startNext && reported < items.size())
            batch->finished.wait();
    }
}

}  // namespace tarnwick
