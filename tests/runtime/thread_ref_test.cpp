// SPDX-License-Identifier: Apache-2.0
// thread_ref_test.cpp - shared ownership of a ThreadRecord through a ring of
// references: the record is disposed of exactly once, by the last one.
#include <gtest/gtest.h>

#include "runtime/worker_pool.h"

namespace tarnwick {
namespace {

int disposals = 0;

void countingDeleter(ThreadRecord* record) {
    ++disposals;
    delete record;
}

class ThreadRefTest : public ::testing::Test {
  protected:
    void SetUp() override { disposals = 0; }
};

TEST_F(ThreadRefTest, RecordIsDisposedOfOnlyWhenTheLastReferenceLeaves) {
    // Release order must not matter: first, middle or last member of the ring.
    const int orders[][3] = {{0, 1, 2}, {2, 1, 0}, {1, 0, 2}, {1, 2, 0}};
    for (const auto& order : orders) {
        disposals = 0;
        ThreadRef refs[3];
        refs[0] = ThreadRef(new ThreadRecord, countingDeleter);
        refs[1] = refs[0];
        refs[2] = refs[1];
        ThreadRecord* record = refs[0].target();
        EXPECT_EQ(refs[1].target(), record);
        EXPECT_EQ(refs[2].target(), record);
        refs[order[0]].release();
        refs[order[1]].release();
        EXPECT_EQ(disposals, 0);
        EXPECT_EQ(refs[order[2]].target(), record);
        refs[order[2]].release();
        EXPECT_EQ(disposals, 1);
        for (const auto& ref : refs)
            EXPECT_EQ(ref.target(), nullptr);
    }
}

TEST_F(ThreadRefTest, AssigningAReferenceToItselfKeepsTheRecord) {
    ThreadRef ref(new ThreadRecord, countingDeleter);
    ThreadRecord* record = ref.target();
    ThreadRef& same = ref;
    ref = same;
    EXPECT_EQ(ref.target(), record);
    EXPECT_EQ(disposals, 0);
    ref.release();
    EXPECT_EQ(disposals, 1);
}

TEST_F(ThreadRefTest, AssigningOverTheLastReferenceDisposesOfTheOldRecord) {
    ThreadRef first(new ThreadRecord, countingDeleter);
    ThreadRef second(new ThreadRecord, countingDeleter);
    ThreadRecord* kept = second.target();
    first = second;
    EXPECT_EQ(disposals, 1);
    EXPECT_EQ(first.target(), kept);
    second.release();
    EXPECT_EQ(disposals, 1);
    first.release();
    EXPECT_EQ(disposals, 2);
}

TEST_F(ThreadRefTest, AssigningAnEmptyReferenceEmptiesTheTarget) {
    ThreadRef holder(new ThreadRecord, countingDeleter);
    ThreadRef other;
    other = holder;
    const ThreadRef empty;
    holder = empty;
    EXPECT_EQ(holder.target(), nullptr);
    EXPECT_EQ(disposals, 0);  // other still owns the record
    other.release();
    EXPECT_EQ(disposals, 1);
    holder.release();  // an empty reference disposes of nothing
    EXPECT_EQ(disposals, 1);
}

}  // namespace
}  // namespace tarnwick
