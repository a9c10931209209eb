// SPDX-License-Identifier: Apache-2.0
// worker_pool.cpp - reusable worker threads, ThreadRef and sleepSeconds.
//
// A dispatch holds idleLock from the choice of worker until that worker has
// signalled `started`, so dispatches run one at a time and every signal of
// the auto-reset event pairs with its own dispatch. Workers never end and
// their records are never freed; a thread that cannot be started is
// reported to the caller instead of being waited for.
#include "runtime/worker_pool.h"

#include <vector>

#include "runtime/console_log.h"

namespace tarnwick {

namespace {

// everyWorker - every worker ever started. Records live until the process
// ends; this list (itself never freed) keeps them reachable once the idle
// queue has been taken down at exit, so leak checkers do not flag them.
std::vector<WorkerThread*>& everyWorker() {
    static auto* workers = new std::vector<WorkerThread*>;
    return *workers;
}

// workerLoop - the body of every worker thread: announce the job, run it,
// clear it, rejoin the idle list, sleep until the next dispatch.
void workerLoop(void* raw) {
    auto* worker = static_cast<WorkerThread*>(raw);
    for (;;) {
        Job job;
        void* arg;
        {
            MutexLock hold(worker->lock);
            job = worker->job;
            arg = worker->arg;
            WorkerPool::started().set();
        }
        job(arg);
        {
            // Only the next dispatch may wake us: drop any stale signal.
            MutexLock hold(worker->lock);
            worker->job = nullptr;
            worker->wake.reset();
        }
        {
            // Never with our own lock held: the dispatcher holds idleLock
            // while it waits for a worker to signal under that worker's lock.
            MutexLock hold(WorkerPool::idleLock());
            WorkerPool::idle().push_back(worker);
        }
        worker->wake.wait();
    }
}

// The console lock first, then the pool's own objects in the order the pool
// needs them: made during static initialisation, before any thread exists,
// and so taken down at exit in reverse, the console lock last.
[[maybe_unused]] const bool poolReadyAtStartUp = [] {
    consoleLock();
    WorkerPool::idle();
    WorkerPool::idleLock();
    WorkerPool::started();
    return true;
}();

}  // namespace

ThreadRef::ThreadRef(ThreadRecord* record, Deleter deleter) : target_(record), deleter_(deleter) {}

ThreadRef& ThreadRef::operator=(const ThreadRef& other) {
    if (&other == this)
        return *this;
    release();
    target_ = other.target_;
    deleter_ = other.deleter_;
    if (target_ != nullptr) {
        // Join the other's ring just before it. The ring is shared state of
        // all its members, so the source's links change although it is const.
        auto& source = const_cast<ThreadRef&>(other);
        prev_ = source.prev_;
        next_ = &source;
        source.prev_->next_ = this;
        source.prev_ = this;
    }
    return *this;
}

ThreadRef::~ThreadRef() {
    release();
}

void ThreadRef::release() {
    if (target_ != nullptr) {
        if (next_ != this) {
            prev_->next_ = next_;
            next_->prev_ = prev_;
        } else if (deleter_ != nullptr) {
            deleter_(target_);
        } else {
            delete target_;
        }
    }
    target_ = nullptr;
    deleter_ = nullptr;
    next_ = this;
    prev_ = this;
}

std::deque<WorkerThread*>& WorkerPool::idle() {
    static std::deque<WorkerThread*> queue;
    return queue;
}

PooledMutex& WorkerPool::idleLock() {
    static PooledMutex lock;
    return lock;
}

SyncEvent& WorkerPool::started() {
    static SyncEvent event;
    return event;
}

WorkerThread* WorkerPool::run(Job job, void* arg) {
    MutexLock hold(idleLock());
    WorkerThread* worker = nullptr;
    if (idle().empty()) {
        worker = new WorkerThread;
        worker->arg = arg;
        worker->job = job;
        ThreadRef temporary(new ThreadRecord);
        platform::ThreadHandle handle = 0;
        if (!platform::startThread(workerLoop, worker, handle)) {
            // Nothing will ever signal `started` for this worker: give its
            // handles back and report the failure instead of waiting.
            delete worker;
            return nullptr;
        }
        temporary.target()->handle = handle;
        worker->thread = temporary;
        everyWorker().push_back(worker);
    } else {
        worker = idle().front();
        idle().pop_front();
        worker->job = job;
        worker->arg = arg;
        worker->wake.set();
    }
    started().wait();
    return worker;
}

std::uint64_t sleepMillisecondsFor(std::int64_t seconds) {
    if (seconds <= 0)
        return 0;
    if (seconds > kLongestSleepSeconds)
        seconds = kLongestSleepSeconds;
    return static_cast<std::uint64_t>(seconds) * 1000u;
}

void sleepSeconds(std::int64_t seconds) {
    platform::sleepMilliseconds(sleepMillisecondsFor(seconds));
}

}  // namespace tarnwick
