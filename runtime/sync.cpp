// SPDX-License-Identifier: Apache-2.0
// sync.cpp - mutexes, scoped lock and auto-reset event over the handle pools.
//
// The pools and their guards are function-local statics, so each comes into
// being inside the first construction that needs it and is taken down at
// exit in reverse order of completion: every static object gives its handle
// back before its pool closes the handles, and each pool goes before its
// guard. This file only pools and wraps; waiting, ownership and signalling
// are the platform layer's.
#include "runtime/sync.h"

#include <cstdio>
#include <cstdlib>

namespace tarnwick {

namespace {

// Exit status when the operating system refuses a mutex or an event.
constexpr int kRefusedObjectExitStatus = 3;

// stopForRefusedObject - a lock that does not lock would silently break every
// guarantee built on it, so the process says why and ends instead. Written
// with C stdio, not the console log: the console lock may be the very object
// that could not be made.
[[noreturn]] void stopForRefusedObject() {
    std::fputs("* Unable to create a synchronisation object, stopping.\n", stdout);
    std::fflush(stdout);
    std::_Exit(kRefusedObjectExitStatus);
}

// createMutexOrStop - a new mutex handle; never returns a null one.
platform::MutexHandle createMutexOrStop() {
    platform::MutexHandle handle = platform::createMutex();
    if (handle == nullptr)
        stopForRefusedObject();
    return handle;
}

// createEventOrStop - a new event handle; never returns a null one.
platform::EventHandle createEventOrStop() {
    platform::EventHandle handle = platform::createEvent();
    if (handle == nullptr)
        stopForRefusedObject();
    return handle;
}

// ClosingPool - a HandlePool that closes every handle still in it when the
// process exits (oldest first). The guard is not taken: by then no other
// thread uses the pools.
template <void (*Close)(void*)>
struct ClosingPool {
    HandlePool pool;
    ClosingPool() = default;
    ClosingPool(const ClosingPool&) = delete;
    ClosingPool& operator=(const ClosingPool&) = delete;
    ~ClosingPool() {
        while (!pool.freeHandles.empty()) {
            Close(pool.freeHandles.front());
            pool.freeHandles.pop_front();
        }
    }
};

// mutexPoolGuard - the SimpleMutex guarding mutexHandlePool, made at first use.
SimpleMutex& mutexPoolGuard() {
    static SimpleMutex guard;
    return guard;
}

// eventPoolGuard - the PooledMutex guarding eventHandlePool, made at first use.
PooledMutex& eventPoolGuard() {
    static PooledMutex guard;
    return guard;
}

// borrowHandle - the free handle given back longest ago, or a new one made
// while the guard is held. The pool itself is first touched under the guard,
// so it is set up after the guard and taken down before it.
void* borrowHandle(SyncMutex& guard, HandlePool& (*poolOf)(), void* (*create)()) {
    MutexLock hold(guard);
    HandlePool& pool = poolOf();
    if (pool.freeHandles.empty())
        return create();
    void* handle = pool.freeHandles.front();
    pool.freeHandles.pop_front();
    return handle;
}

// giveBackHandle - appends a handle, unclosed and in whatever state it is, to
// the back of its pool.
void giveBackHandle(SyncMutex& guard, HandlePool& (*poolOf)(), void* handle) {
    MutexLock hold(guard);
    poolOf().freeHandles.push_back(handle);
}

}  // namespace

HandlePool& mutexHandlePool() {
    static ClosingPool<platform::closeMutex> pool;
    return pool.pool;
}

HandlePool& eventHandlePool() {
    static ClosingPool<platform::closeEvent> pool;
    return pool.pool;
}

SyncMutex::~SyncMutex() = default;

void SyncMutex::lock() {
    platform::lockMutex(handle_);
}

void SyncMutex::unlock() {
    platform::unlockMutex(handle_);
}

SimpleMutex::SimpleMutex() : SyncMutex(createMutexOrStop()) {}

SimpleMutex::~SimpleMutex() {
    platform::closeMutex(handle_);
}

PooledMutex::PooledMutex()
    : SyncMutex(borrowHandle(mutexPoolGuard(), mutexHandlePool, createMutexOrStop)) {}

PooledMutex::~PooledMutex() {
    giveBackHandle(mutexPoolGuard(), mutexHandlePool, handle_);
}

MutexLock::MutexLock(SyncMutex& mutex, bool lockNow) : mutex_(mutex), locked_(lockNow) {
    if (locked_)
        mutex_.lock();
}

MutexLock::~MutexLock() {
    if (locked_)
        mutex_.unlock();
}

SyncEvent::SyncEvent()
    : handle_(borrowHandle(eventPoolGuard(), eventHandlePool, createEventOrStop)) {}

SyncEvent::~SyncEvent() {
    giveBackHandle(eventPoolGuard(), eventHandlePool, handle_);
}

void SyncEvent::set() {
    platform::setEvent(handle_);
}

void SyncEvent::reset() {
    platform::resetEvent(handle_);
}

void SyncEvent::wait() {
    platform::waitEvent(handle_);
}

}  // namespace tarnwick
