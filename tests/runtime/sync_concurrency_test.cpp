// SPDX-License-Identifier: Apache-2.0
// sync_concurrency_test.cpp - ownership of the recursive mutex, the scoped
// lock and the auto-reset event, observed from a second thread.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "runtime/platform.h"
#include "runtime/sync.h"

namespace tarnwick {
namespace {

// How long a second thread is given to do what it must not do. A correct
// implementation passes whatever this is; a faulty one is caught when the
// other thread gets scheduled within it.
constexpr std::uint64_t kGraceMilliseconds = 100;

// Contender - a thread that acquires the mutex and notes when it has it.
class Contender {
  public:
    explicit Contender(SyncMutex& mutex)
        : thread_([this, &mutex] {
              mutex.lock();
              acquired_ = true;
              mutex.unlock();
          }) {}
    ~Contender() {
        if (thread_.joinable())
            thread_.join();
    }
    bool acquiredWithinGrace() {
        platform::sleepMilliseconds(kGraceMilliseconds);
        return acquired_;
    }
    bool acquiredAtLast() {
        thread_.join();
        return acquired_;
    }

  private:
    std::atomic<bool> acquired_{false};
    std::thread thread_;
};

template <typename Mutex>
class MutexOwnershipTest : public ::testing::Test {};
using MutexKinds = ::testing::Types<SimpleMutex, PooledMutex>;
TYPED_TEST_SUITE(MutexOwnershipTest, MutexKinds);

TYPED_TEST(MutexOwnershipTest, OwnerThatLockedTwiceMustUnlockTwiceBeforeOthersGetIt) {
    TypeParam mutex;
    mutex.lock();
    mutex.lock();  // the owner does not block on itself
    mutex.unlock();
    Contender other(mutex);
    EXPECT_FALSE(other.acquiredWithinGrace());
    mutex.unlock();
    EXPECT_TRUE(other.acquiredAtLast());
}

TYPED_TEST(MutexOwnershipTest, ScopedLockWithoutLockNowNeitherLocksNorUnlocks) {
    TypeParam mutex;
    {
        MutexLock notTaken(mutex, false);
        Contender other(mutex);
        EXPECT_TRUE(other.acquiredAtLast());
    }
    mutex.lock();
    { MutexLock notTaken(mutex, false); }
    Contender other(mutex);
    EXPECT_FALSE(other.acquiredWithinGrace());  // still ours
    mutex.unlock();
    EXPECT_TRUE(other.acquiredAtLast());
}

// Waiter - a thread that waits on the event once and notes when it returned.
class Waiter {
  public:
    explicit Waiter(SyncEvent& event)
        : thread_([this, &event] {
              event.wait();
              released_ = true;
          }) {}
    ~Waiter() {
        if (thread_.joinable())
            thread_.join();
    }
    bool releasedWithinGrace() {
        platform::sleepMilliseconds(kGraceMilliseconds);
        return released_;
    }
    bool releasedAtLast() {
        thread_.join();
        return released_;
    }

  private:
    std::atomic<bool> released_{false};
    std::thread thread_;
};

TEST(SyncEventTest, SetWithNobodyWaitingReleasesTheNextWaitAndOnlyThatOne) {
    SyncEvent event;
    event.set();
    event.set();  // a second set before the wait adds nothing
    event.wait();
    Waiter next(event);
    EXPECT_FALSE(next.releasedWithinGrace());
    event.set();
    EXPECT_TRUE(next.releasedAtLast());
}

TEST(SyncEventTest, ResetCancelsAPendingSet) {
    SyncEvent event;
    event.set();
    event.reset();
    Waiter waiter(event);
    EXPECT_FALSE(waiter.releasedWithinGrace());
    event.set();
    EXPECT_TRUE(waiter.releasedAtLast());
}

TEST(SyncEventTest, EachSetReleasesExactlyOneOfSeveralWaiters) {
    SyncEvent event;
    Waiter first(event);
    Waiter second(event);
    platform::sleepMilliseconds(kGraceMilliseconds);  // let both wait
    event.set();
    // Exactly one waiter went through; the other is still waiting.
    const int releasedAfterOneSet =
        (first.releasedWithinGrace() ? 1 : 0) + (second.releasedWithinGrace() ? 1 : 0);
    EXPECT_EQ(releasedAfterOneSet, 1);
    event.set();
    EXPECT_TRUE(first.releasedAtLast());
    EXPECT_TRUE(second.releasedAtLast());
}

TEST(PooledMutexTest, ManyThreadsCreatingAndDestroyingKeepThePoolConsistent) {
    // Construction and destruction from many threads at once: every object
    // must get a handle no other live object holds, and the mutual exclusion
    // of each must still hold.
    constexpr int kThreads = 4;
    constexpr int kRounds = 250;
    long counter = 0;
    SimpleMutex counterLock;
    std::atomic<bool> duplicate{false};
    auto body = [&] {
        for (int i = 0; i < kRounds; ++i) {
            PooledMutex a;
            PooledMutex b;
            if (a.handle() == b.handle())
                duplicate = true;
            MutexLock hold(counterLock);
            MutexLock inner(a);
            ++counter;
        }
    };
    std::thread threads[kThreads];
    for (auto& t : threads)
        t = std::thread(body);
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(duplicate);
    EXPECT_EQ(counter, kThreads * kRounds);
}

}  // namespace
}  // namespace tarnwick
