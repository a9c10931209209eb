// SPDX-License-Identifier: Apache-2.0
// sync.h - mutexes, a scoped lock and an auto-reset event over pooled
// operating-system handles.
//
// SimpleMutex owns its handle. PooledMutex and SyncEvent borrow theirs from
// mutexHandlePool / eventHandlePool and give them back when destroyed, so
// after start-up short-lived objects cost a guarded queue operation instead
// of a kernel-object creation. Handles are reused oldest first, and keep
// their kernel state while pooled (an event stays signalled).
//
// If the operating system refuses a new mutex or event we never hand out an
// object that does not lock or wait: a "* " line says so and the process ends
// with a non-zero exit status.
//
// The pools and their guards come into being at first use (during static
// initialisation in this program) and are emptied at process exit in reverse
// order: static objects give their handles back, then eventHandlePool closes
// its handles, its guard returns its handle to mutexHandlePool, and last
// mutexHandlePool closes all its handles before its own guard is closed.
#pragma once

#include <deque>

#include "runtime/platform.h"

namespace tarnwick {

// SyncMutex - an owned, recursive mutex. The owning thread may lock again and
// must unlock as often. Not copyable.
class SyncMutex {
  public:
    SyncMutex(const SyncMutex&) = delete;
    SyncMutex& operator=(const SyncMutex&) = delete;
    virtual ~SyncMutex() = 0;

    // lock - waits without time-out until the calling thread owns the mutex.
    void lock();
    // unlock - gives up one level of ownership. REQUIRES: the caller owns it.
    void unlock();

    platform::MutexHandle handle() const { return handle_; }

  protected:
    explicit SyncMutex(platform::MutexHandle handle) : handle_(handle) {}
    platform::MutexHandle handle_;
};

// SimpleMutex - creates its mutex at construction, closes it at destruction.
class SimpleMutex final : public SyncMutex {
  public:
    SimpleMutex();
    ~SimpleMutex() override;
};

// PooledMutex - borrows a handle from mutexHandlePool (the one given back
// longest ago, or a new one) and gives it back, unclosed, when destroyed.
// REQUIRES: unlocked when destroyed.
class PooledMutex final : public SyncMutex {
  public:
    PooledMutex();
    ~PooledMutex() override;
};

// MutexLock - scoped lock. With lockNow true it locks at construction and
// unlocks at destruction; with lockNow false it does neither.
class MutexLock {
  public:
    explicit MutexLock(SyncMutex& mutex, bool lockNow = true);
    ~MutexLock();
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    SyncMutex& mutex_;
    bool locked_;
};

// SyncEvent - an auto-reset event borrowed from eventHandlePool. A set with
// no waiter stays pending for exactly one later wait. Not copyable.
class SyncEvent {
  public:
    SyncEvent();
    ~SyncEvent();
    SyncEvent(const SyncEvent&) = delete;
    SyncEvent& operator=(const SyncEvent&) = delete;

    // set - signals: releases exactly one wait, now or later.
    void set();
    // reset - makes the event non-signalled.
    void reset();
    // wait - waits without time-out for the signal and consumes it.
    void wait();

    platform::EventHandle handle() const { return handle_; }

  private:
    platform::EventHandle handle_;
};

// HandlePool - first-in first-out queue of free handles, taken from the
// front and given back at the back. No size limit: it never holds more than
// the peak number of live objects of its kind.
struct HandlePool {
    std::deque<void*> freeHandles;
};

// mutexHandlePool / eventHandlePool - the two process-wide pools, created on
// first use. Exposed for tests, which look at the reuse order.
HandlePool& mutexHandlePool();
HandlePool& eventHandlePool();

}  // namespace tarnwick
