// SPDX-License-Identifier: Apache-2.0
// handle_pool_test.cpp - reuse order of pooled handles and the refusal of a
// mutex or event by the operating system.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "runtime/platform.h"
#include "runtime/sync.h"

#ifdef _WIN32
#include <io.h>
#define redirectStdoutToStderr() _dup2(2, 1)
#else
#include <unistd.h>
#define redirectStdoutToStderr() dup2(2, 1)
#endif

namespace tarnwick {
namespace {

// Drained - holds objects of one kind until their pool is empty, so that the
// next construction must create a fresh handle; gives them back at the end.
template <typename Object>
struct Drained {
    explicit Drained(HandlePool& pool) {
        while (!pool.freeHandles.empty())
            held.push_back(std::make_unique<Object>());
    }
    std::vector<std::unique_ptr<Object>> held;
};

template <typename Object>
HandlePool& poolOf();
template <>
HandlePool& poolOf<PooledMutex>() {
    return mutexHandlePool();
}
template <>
HandlePool& poolOf<SyncEvent>() {
    return eventHandlePool();
}

template <typename Object>
class PooledHandleTest : public ::testing::Test {};
using PooledKinds = ::testing::Types<PooledMutex, SyncEvent>;
TYPED_TEST_SUITE(PooledHandleTest, PooledKinds);

TYPED_TEST(PooledHandleTest, EmptyPoolCreatesAHandleThatTheNextObjectReuses) {
    Drained<TypeParam> drained(poolOf<TypeParam>());
    void* first = nullptr;
    {
        TypeParam object;
        first = object.handle();
        ASSERT_NE(first, nullptr);
        for (const auto& other : drained.held)
            EXPECT_NE(other->handle(), first);
        EXPECT_TRUE(poolOf<TypeParam>().freeHandles.empty());
    }
    ASSERT_EQ(poolOf<TypeParam>().freeHandles.size(), 1u);
    TypeParam second;
    EXPECT_EQ(second.handle(), first);
}

TYPED_TEST(PooledHandleTest, HandlesAreReusedInTheOrderTheyWereGivenBack) {
    // Whatever the order of destruction, the handle given back first is the
    // first one handed out again.
    for (const bool destroyFirstCreatedFirst : {true, false}) {
        SCOPED_TRACE(destroyFirstCreatedFirst ? "A then B" : "B then A");
        Drained<TypeParam> drained(poolOf<TypeParam>());
        auto a = std::make_unique<TypeParam>();
        auto b = std::make_unique<TypeParam>();
        void* handleA = a->handle();
        void* handleB = b->handle();
        ASSERT_NE(handleA, handleB);
        if (destroyFirstCreatedFirst) {
            a.reset();
            b.reset();
        } else {
            b.reset();
            a.reset();
        }
        TypeParam c;
        TypeParam d;
        EXPECT_EQ(c.handle(), destroyFirstCreatedFirst ? handleA : handleB);
        EXPECT_EQ(d.handle(), destroyFirstCreatedFirst ? handleB : handleA);
    }
}

TEST(SyncEventTest, PooledEventHandsItsPendingSignalToItsNextOwner) {
    Drained<SyncEvent> drained(eventHandlePool());
    void* handle = nullptr;
    {
        SyncEvent event;
        handle = event.handle();
        event.set();
    }
    SyncEvent next;
    ASSERT_EQ(next.handle(), handle);
    next.wait();  // returns at once: the signal travelled with the handle
    SUCCEED();
}

// The refusal paths run in a child process: the process must end with a
// "* " line on standard output and a non-zero status, never carry on with a
// lock that excludes nobody.
class RefusedObjectTest : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(RefusedObjectTest, RefusedSimpleMutexStopsTheProcess) {
    EXPECT_EXIT(
        {
            redirectStdoutToStderr();
            platform::refuseObjectCreations(1);
            SimpleMutex mutex;
            mutex.lock();
        },
        ::testing::ExitedWithCode(3), "\\* Unable to create a synchronisation object");
}

TEST_F(RefusedObjectTest, RefusedPooledMutexStopsTheProcess) {
    EXPECT_EXIT(
        {
            redirectStdoutToStderr();
            Drained<PooledMutex> drained(mutexHandlePool());
            platform::refuseObjectCreations(1);
            PooledMutex mutex;
            mutex.lock();
        },
        ::testing::ExitedWithCode(3), "\\* Unable to create a synchronisation object");
}

TEST_F(RefusedObjectTest, RefusedEventStopsTheProcess) {
    EXPECT_EXIT(
        {
            redirectStdoutToStderr();
            Drained<SyncEvent> drained(eventHandlePool());
            platform::refuseObjectCreations(1);
            SyncEvent event;
            event.wait();
        },
        ::testing::ExitedWithCode(3), "\\* Unable to create a synchronisation object");
}

}  // namespace
}  // namespace tarnwick
