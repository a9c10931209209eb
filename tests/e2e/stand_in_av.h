// SPDX-License-Identifier: Apache-2.0
// stand_in_av.h - a stand-in for the machine's resident anti-virus.
//
// The filter never calls an anti-virus; it only watches what becomes of the
// files it writes into ScanMe. StandInAv plays that outside actor in the
// end-to-end tests: a thread that looks at the folder every millisecond and,
// for each ".scanme" file whose name matches a rule's pattern and whose
// content holds the rule's marker, deletes it, truncates it, or captures its
// content while it exists. It also records every ".scanme" name it has seen,
// with the permissions the file had then.
//
// A rule may make it slow: it then acts only some time after it first saw
// the file.
//
// It does not use file-change notifications (polling is enough at the
// filter's one-second granularity) and it never locks a file: on POSIX an
// open file can still be removed.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tarnwick::e2e {

// AvAction - what the stand-in does to a matching file.
enum class AvAction {
    Delete,    // remove it (once per file: a name written again is a new file)
    Truncate,  // cut it to truncateTo bytes (once per file)
    Capture,   // keep the latest content read while it exists
};

// AvRule - one reaction. An empty pattern matches every ".scanme" name; an
// empty marker matches every content.
struct AvRule {
    std::string namePattern;  // ECMAScript regex over the whole file name
    std::string marker;       // bytes the content must contain
    AvAction action = AvAction::Delete;
    long long truncateTo = 0;
    // A slow anti-virus: acts only once the file has been seen this long.
    int delayMilliseconds = 0;
};

class StandInAv {
  public:
    // StandInAv - watches folder (which need not exist yet) with the given
    // rules; the thread starts at once.
    StandInAv(std::string folder, std::vector<AvRule> rules);
    // ~StandInAv - stops and joins the thread.
    ~StandInAv();
    StandInAv(const StandInAv&) = delete;
    StandInAv& operator=(const StandInAv&) = delete;

    // captured - file name to the last content captured for it.
    std::map<std::string, std::string> captured() const;
    // seen - every ".scanme" file name seen in the folder so far.
    std::set<std::string> seen() const;
    // acted - names of the files deleted or truncated so far.
    std::set<std::string> acted() const;
    // modes - file name to its permission bits when first seen.
    std::map<std::string, unsigned> modes() const;

  private:
    // watch - the thread body: one scan of the folder per millisecond.
    void watch();
    // scanOnce - applies the rules to the folder's current files.
    void scanOnce();

    std::string folder_;
    std::vector<std::pair<std::regex, AvRule>> rules_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> captured_;
    std::set<std::string> seen_;
    std::set<std::string> acted_;
    std::set<std::string> handled_;  // acted on, and still there
    std::map<std::string, unsigned> modes_;
    std::map<std::string, std::chrono::steady_clock::time_point> firstSeen_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace tarnwick::e2e
