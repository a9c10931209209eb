// SPDX-License-Identifier: Apache-2.0
// worker_pool_test.cpp - dispatch of jobs to new and idle workers, the order
// in which idle workers are reused, and a thread start that is refused.
//
// The pool is process-wide and its workers never end, so every test first
// occupies whatever workers earlier tests left idle, and at its end lets all
// jobs finish and waits until every worker is idle again.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "runtime/platform.h"
#include "runtime/worker_pool.h"

namespace tarnwick {
namespace {

// How long a test waits for the pool to settle before it fails.
constexpr int kSettleMilliseconds = 10000;
// How long a thread is given to do what it must not do.
constexpr std::uint64_t kGraceMilliseconds = 100;

// BlockingJob - the argument of a job that notes when it began and ended and
// runs until the test opens its gate.
struct BlockingJob {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    std::atomic<bool> began{false};
    std::atomic<bool> ended{false};

    void release() {
        std::lock_guard<std::mutex> hold(mutex);
        open = true;
        opened.notify_all();
    }
    static void run(void* raw) {
        auto* job = static_cast<BlockingJob*>(raw);
        job->began = true;
        std::unique_lock<std::mutex> hold(job->mutex);
        job->opened.wait(hold, [job] { return job->open; });
        job->ended = true;
    }
};

// idleWorkers - a snapshot of the idle list, taken under its lock.
std::vector<WorkerThread*> idleWorkers() {
    MutexLock hold(WorkerPool::idleLock());
    return {WorkerPool::idle().begin(), WorkerPool::idle().end()};
}

// waitFor - polls a condition until it holds or the settle time is over.
template <typename Condition>
bool waitFor(Condition condition) {
    for (int waited = 0; waited < kSettleMilliseconds; waited += 2) {
        if (condition())
            return true;
        platform::sleepMilliseconds(2);
    }
    return condition();
}

bool isIdle(WorkerThread* worker) {
    const auto idle = idleWorkers();
    return std::find(idle.begin(), idle.end(), worker) != idle.end();
}

// jobOf - what a worker is doing now, read under its own lock.
Job jobOf(WorkerThread* worker) {
    MutexLock hold(worker->lock);
    return worker->job;
}

class WorkerPoolTest : public ::testing::Test {
  protected:
    // Keep every worker that earlier tests left idle busy, so the test
    // starts with an empty idle list.
    void SetUp() override {
        while (!idleWorkers().empty())
            occupied_.push_back(dispatch());
        ASSERT_TRUE(idleWorkers().empty());
    }
    // Let every job end and wait until every worker is back on the list.
    void TearDown() override {
        for (WorkerThread* worker : idleWorkers())
            workers_.insert(worker);
        for (auto& job : jobs_)
            job->release();
        EXPECT_TRUE(waitFor([&] { return idleWorkers().size() == workers_.size(); }));
        EXPECT_TRUE(waitFor([&] {
            return std::all_of(jobs_.begin(), jobs_.end(),
                               [](const auto& job) { return job->ended || !job->began; });
        }));
    }
    // dispatch - runs a new blocking job; returns its worker.
    WorkerThread* dispatch() {
        jobs_.push_back(std::make_unique<BlockingJob>());
        WorkerThread* worker = WorkerPool::run(BlockingJob::run, jobs_.back().get());
        if (worker != nullptr)
            workers_.insert(worker);
        return worker;
    }
    BlockingJob& job(std::size_t fromEnd = 0) { return *jobs_[jobs_.size() - 1 - fromEnd]; }
    bool isOccupied(WorkerThread* worker) const {
        return std::find(occupied_.begin(), occupied_.end(), worker) != occupied_.end();
    }

    std::vector<std::unique_ptr<BlockingJob>> jobs_;
    std::vector<WorkerThread*> occupied_;
    std::set<WorkerThread*> workers_;
};

TEST_F(WorkerPoolTest, JobsGivenWhileNoWorkerIsIdleEachGetANewRunningThread) {
    WorkerThread* first = dispatch();
    BlockingJob& firstJob = job();
    WorkerThread* second = dispatch();
    BlockingJob& secondJob = job();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_FALSE(isOccupied(first));
    EXPECT_FALSE(isOccupied(second));
    EXPECT_NE(first->thread.target(), nullptr);
    // run came back while both jobs still run: it never waits for a job.
    EXPECT_TRUE(waitFor([&] { return firstJob.began && secondJob.began; }));
    EXPECT_FALSE(firstJob.ended);
    EXPECT_FALSE(secondJob.ended);
}

TEST_F(WorkerPoolTest, JobGivenAfterAWorkerWentIdleReusesThatWorker) {
    WorkerThread* worker = dispatch();
    job().release();
    ASSERT_TRUE(waitFor([&] { return isIdle(worker); }));
    EXPECT_EQ(dispatch(), worker);
    EXPECT_TRUE(idleWorkers().empty());
    EXPECT_TRUE(waitFor([&] { return job().began.load(); }));
}

TEST_F(WorkerPoolTest, WorkerIdleLongestTakesTheNextJob) {
    for (const bool firstEndsFirst : {true, false}) {
        SCOPED_TRACE(firstEndsFirst ? "first ends first" : "second ends first");
        WorkerThread* a = dispatch();
        BlockingJob& jobA = job();
        WorkerThread* b = dispatch();
        BlockingJob& jobB = job();
        WorkerThread* earlier = firstEndsFirst ? a : b;
        WorkerThread* later = firstEndsFirst ? b : a;
        (firstEndsFirst ? jobA : jobB).release();
        ASSERT_TRUE(waitFor([&] { return isIdle(earlier); }));
        (firstEndsFirst ? jobB : jobA).release();
        ASSERT_TRUE(waitFor([&] { return isIdle(later); }));
        EXPECT_EQ(dispatch(), earlier);
        EXPECT_EQ(dispatch(), later);
        job().release();
        job(1).release();
        ASSERT_TRUE(waitFor([&] { return idleWorkers().size() == 2; }));
        // Start the next round with the idle list empty again.
        occupied_.push_back(dispatch());
        occupied_.push_back(dispatch());
    }
}

TEST_F(WorkerPoolTest, RunDoesNotReturnBeforeTheChosenWorkerHasTakenTheJob) {
    WorkerThread* worker = dispatch();
    job().release();
    ASSERT_TRUE(waitFor([&] { return isIdle(worker); }));
    // The worker announces that it took a job under its own lock: while we
    // hold that lock it cannot, and run must keep waiting.
    worker->lock.lock();
    std::atomic<WorkerThread*> returned{nullptr};
    jobs_.push_back(std::make_unique<BlockingJob>());
    BlockingJob* next = jobs_.back().get();
    std::thread dispatcher([&] { returned = WorkerPool::run(BlockingJob::run, next); });
    platform::sleepMilliseconds(kGraceMilliseconds);
    EXPECT_EQ(returned.load(), nullptr);
    worker->lock.unlock();
    dispatcher.join();
    EXPECT_EQ(returned.load(), worker);
    EXPECT_TRUE(waitFor([&] { return next->began.load(); }));
}

TEST_F(WorkerPoolTest, WorkerThatEndedItsJobRejoinsTheIdleListOnlyAfterTheDispatchInProgress) {
    WorkerThread* ending = dispatch();
    MutexLock dispatchInProgress(WorkerPool::idleLock());
    job().release();
    // The job has ended and been cleared; the worker now waits for idleLock.
    ASSERT_TRUE(waitFor([&] { return jobOf(ending) == nullptr; }));
    WorkerThread* chosen = dispatch();  // idleLock is recursive: we may dispatch
    EXPECT_NE(chosen, ending);
    EXPECT_NE(chosen, nullptr);
    EXPECT_TRUE(WorkerPool::idle().empty());
    platform::sleepMilliseconds(kGraceMilliseconds);
    EXPECT_TRUE(WorkerPool::idle().empty());
}

TEST_F(WorkerPoolTest, RefusedThreadStartReturnsNullAndKeepsNoWorker) {
    // With both pools empty, the half-made worker's lock and wake event must
    // come back as exactly one free handle each.
    std::vector<std::unique_ptr<PooledMutex>> mutexes;
    while (!mutexHandlePool().freeHandles.empty())
        mutexes.push_back(std::make_unique<PooledMutex>());
    std::vector<std::unique_ptr<SyncEvent>> events;
    while (!eventHandlePool().freeHandles.empty())
        events.push_back(std::make_unique<SyncEvent>());

    platform::refuseThreadStarts(1);
    jobs_.push_back(std::make_unique<BlockingJob>());
    BlockingJob& refused = job();
    EXPECT_EQ(WorkerPool::run(BlockingJob::run, &refused), nullptr);
    EXPECT_TRUE(idleWorkers().empty());
    EXPECT_EQ(mutexHandlePool().freeHandles.size(), 1u);
    EXPECT_EQ(eventHandlePool().freeHandles.size(), 1u);
    platform::sleepMilliseconds(kGraceMilliseconds);
    EXPECT_FALSE(refused.began);

    // The next dispatch works as usual.
    WorkerThread* worker = dispatch();
    EXPECT_NE(worker, nullptr);
    EXPECT_TRUE(waitFor([&] { return job().began.load(); }));
}

}  // namespace
}  // namespace tarnwick
