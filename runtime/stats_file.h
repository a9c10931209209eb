// SPDX-License-Identifier: Apache-2.0
// stats_file.h - keeps a file of counters up to date: written every interval
// on a thread of its own, and a last time when the process ends.
//
// Each write goes through a temporary file that replaces the old one
// (writeFileReplacing), so a collector reading the file at any moment reads
// a whole one. A write that fails is reported once through the report
// function and tried again at the next interval.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tarnwick {

// The interval between two writes, in seconds.
inline constexpr std::uint64_t kStatsFileIntervalSeconds = 15;

class StatsFile {
  public:
    // render gives the file's text; report receives a line when a write
    // fails (after a success, again). Both are called from the thread too.
    StatsFile(std::string path, std::function<std::string()> render,
              std::function<void(const std::string&)> report);
    // start - the first write now, then one every interval seconds on a
    // thread; false when no thread could be started (the file is then
    // written only by writeNow and finish).
    bool start(std::uint64_t intervalSeconds = kStatsFileIntervalSeconds);
    // writeNow - one write at once.
    void writeNow();
    // finish - the last write; the thread writes no more after it.
    void finish();

    // State - what the owner and the thread share; opaque.
    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace tarnwick
