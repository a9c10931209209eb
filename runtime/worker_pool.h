// SPDX-License-Identifier: Apache-2.0
// worker_pool.h - reusable worker threads and sleepSeconds.
//
// WorkerPool::run hands a job to the worker that has been idle longest, or
// starts a new thread when none is idle, and returns once the worker has
// taken the job (never before, and long before the job ends). Workers never
// end; each finished job puts its worker back at the end of the idle list.
// The pool sets no limit of its own: the command loop admits at most 50
// requests at once.
//
// If a thread cannot be started, run returns nullptr at once (it does not
// wait for a signal that will never come) and keeps no half-made worker.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>

#include "runtime/sync.h"

namespace tarnwick {

struct ThreadRecord;

// ThreadRef - shared ownership of one ThreadRecord without a counter: all
// references to one record form a ring; the last one to leave disposes of it.
class ThreadRef {
  public:
    using Deleter = void (*)(ThreadRecord*);

    ThreadRef() = default;
    explicit ThreadRef(ThreadRecord* record, Deleter deleter = nullptr);
    ThreadRef(const ThreadRef&) = delete;
    ThreadRef& operator=(const ThreadRef& other);
    virtual ~ThreadRef();

    // release - leaves the ring; the last reference disposes of the record.
    void release();
    ThreadRecord* target() const { return target_; }

  private:
    ThreadRecord* target_ = nullptr;
    ThreadRef* next_ = this;
    ThreadRef* prev_ = this;
    Deleter deleter_ = nullptr;
};

// ThreadRecord - one started thread; never joined.
struct ThreadRecord {
    platform::ThreadHandle handle = 0;
};

// Job - the work a worker runs, with its one pointer-sized argument.
using Job = void (*)(void* argument);

// WorkerThread - one worker; created with its thread and never destroyed.
struct WorkerThread {
    void* arg = nullptr;
    Job job = nullptr;
    ThreadRef thread;
    SyncEvent wake;
    PooledMutex lock;
};

// WorkerPool - the process-wide pool of workers.
class WorkerPool {
  public:
    // run - has job(arg) carried out on a worker thread; returns the worker
    // once it has taken the job, or nullptr (starting nothing) when no idle
    // worker exists and the operating system refuses a new thread.
    static WorkerThread* run(Job job, void* arg);

    // Process-wide state, exposed for tests.
    static std::deque<WorkerThread*>& idle();
    static PooledMutex& idleLock();
    static SyncEvent& started();
};

// sleepMillisecondsFor - the length of sleepSeconds(seconds) in
// milliseconds: 0 for zero or negative counts, seconds * 1000 computed in 64
// bits, capped at kLongestSleepSeconds.
std::uint64_t sleepMillisecondsFor(std::int64_t seconds);
// Longer waits are cut to this (about 584 million years); it only keeps the
// multiplication from overflowing.
constexpr std::int64_t kLongestSleepSeconds = std::numeric_limits<std::int64_t>::max() / 1000;

// sleepSeconds - suspends the calling thread for whole seconds; 0 yields,
// a negative count sleeps 0; no 32-bit overflow for long waits.
void sleepSeconds(std::int64_t seconds);

}  // namespace tarnwick
