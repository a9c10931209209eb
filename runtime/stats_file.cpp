// SPDX-License-Identifier: Apache-2.0
// stats_file.cpp - the counters file and its writing thread.
#include "runtime/stats_file.h"

#include "runtime/metrics.h"
#include "runtime/platform.h"
#include "runtime/sync.h"

namespace tarnwick {

// State - shared by the owner and the thread, which may outlive it.
struct StatsFile::State {
    std::string path;
    std::function<std::string()> render;
    std::function<void(const std::string&)> report;
    std::uint64_t intervalSeconds = kStatsFileIntervalSeconds;
    SimpleMutex lock;
    bool finished = false;
    bool failing = false;

    // write - one write under the lock; a failure is reported when it is new.
    void write() {
        const std::string error = writeFileReplacing(path, render());
        if (!error.empty() && !failing && report)
            report("cannot write the counters file: " + error);
        failing = !error.empty();
    }
};

namespace {

// The thread's argument: its share of the state.
struct ThreadArgument {
    std::shared_ptr<StatsFile::State> state;
};

// The pause between two looks for the end, in milliseconds.
constexpr std::uint64_t kLookMilliseconds = 500;

}  // namespace

StatsFile::StatsFile(std::string path, std::function<std::string()> render,
                     std::function<void(const std::string&)> report)
    : state_(std::make_shared<State>()) {
    state_->path = std::move(path);
    state_->render = std::move(render);
    state_->report = std::move(report);
}

// start - write, then the thread.
bool StatsFile::start(std::uint64_t intervalSeconds) {
    state_->intervalSeconds = intervalSeconds;
    writeNow();
    auto* argument = new ThreadArgument{state_};
    platform::ThreadHandle handle = 0;
    const bool started = platform::startThread(
        [](void* raw) {
            const std::unique_ptr<ThreadArgument> own(static_cast<ThreadArgument*>(raw));
            State& state = *own->state;
            for (;;) {
                for (std::uint64_t waited = 0; waited < state.intervalSeconds * 1000;
                     waited += kLookMilliseconds) {
                    platform::sleepMilliseconds(kLookMilliseconds);
                    MutexLock held(state.lock);
                    if (state.finished)
                        return;
                }
                MutexLock held(state.lock);
                if (state.finished)
                    return;
                state.write();
            }
        },
        argument, handle);
    if (!started)
        delete argument;
    return started;
}

// writeNow - under the lock, unless finished.
void StatsFile::writeNow() {
    MutexLock held(state_->lock);
    if (!state_->finished)
        state_->write();
}

// finish - the last write.
void StatsFile::finish() {
    MutexLock held(state_->lock);
    if (state_->finished)
        return;
    state_->write();
    state_->finished = true;
}

}  // namespace tarnwick
