// SPDX-License-Identifier: Apache-2.0
// filter_process.h - the one tarnwick process the bridge starts, feeds and
// watches.
//
// A FilterProcess runs a supervisor thread that starts the filter with its
// standard input and output on pipes, in the working folder; sends "0 INTF 3"
// and waits for the answer; then reads every output line: answers go to the
// request that waits for them (matched by number), everything else to the
// log. Milter threads call scan() for one message: it takes a free request
// number (never 0, never one in flight), writes "N FILE path" and waits for
// the answer. When the filter ends, or a request stays unanswered past the
// answer time-out, every request in flight fails at once, the process is
// killed and reaped, and after a short pause a new one is started. At most
// maxRequestsInFlight requests are in flight; further callers wait for a
// slot, as long as the answer time-out allows.
//
// Locking: one mutex guards everything here (the pipe to the filter, the
// table of requests in flight, the state); it is never held while waiting
// for the filter or writing to the log. The object is the bridge's one piece
// of shared mutable state.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "milter/bridge_log.h"
#include "milter/filter_answer.h"

namespace tarnwick::milter {

// The filter refuses more than 50 requests in progress; the bridge never
// sends more.
inline constexpr std::size_t maxRequestsInFlight = 50;

// FilterCommand - how the filter is started.
struct FilterCommand {
    std::string program;
    std::vector<std::string> arguments;  // after the program name
    std::string workFolder;              // its current folder, where ScanMe lives
};

// OneScan - the result of one FILE request: the answer, or nothing when the
// filter failed (died, hung, could not be started) before answering.
using OneScan = std::optional<FilterAnswer>;

class FilterProcess {
  public:
    // FilterProcess - ready to start; answerTimeout bounds every request.
    FilterProcess(FilterCommand command, const BridgeLog& log, std::chrono::seconds answerTimeout);
    // ~FilterProcess - stop().
    ~FilterProcess();
    FilterProcess(const FilterProcess&) = delete;
    FilterProcess& operator=(const FilterProcess&) = delete;

    // start - starts the supervisor thread, which starts the filter.
    void start();
    // stop - ends the filter's standard input, waits a bounded time for it
    // to exit (kills it otherwise), fails what is in flight, joins the thread.
    void stop();

    // scan - one FILE request for path, waited for; filterLine receives the
    // filter's last log line about it before the answer, as written ("* File
    // Not Found ..."), or stays empty. REQUIRES: start() was called and path
    // holds no line break.
    // actedOn, when given, receives the first line of the filter that says
    // which file showed the virus (actedOnDetail is not empty for it), or
    // empty.
    OneScan scan(const std::string& path, std::string& filterLine, std::string* actedOn = nullptr);

    // antivirusSeenText - how long ago the filter last logged that the
    // anti-virus reacted to its test file, in whole seconds ("12s"), or
    // "never".
    std::string antivirusSeenText();

  private:
    enum class State { Down, Starting, Ready, Stopping };
    // Pending - one request in flight, owned by the scan() call waiting on it.
    struct Pending {
        std::string path;
        std::chrono::steady_clock::time_point deadline;
        std::string lastLogLine;  // the filter's latest log line about it
        std::string actedOn;      // the first line saying which file showed a virus
        std::optional<FilterAnswer> answer;
        bool failed = false;
    };
    // RunEnd - why one run of the filter ended.
    enum class RunEnd { Exited, Hung, HandshakeFailed, Stopped };

    // supervise - the thread body: start, run, clean up, pause, again.
    void supervise();
    // launch - starts the filter; false (logged) when it cannot be started.
    bool launch();
    // runFilter - sends INTF, then reads and dispatches lines until the run ends.
    RunEnd runFilter();
    // handleLine - one output line: an answer, the INTF answer or a log line.
    void handleLine(const std::string& line, bool& initialised);
    // noteLogLine - keeps a filter log line as the latest about the requests
    // it concerns.
    void noteLogLine(const std::string& line);
    // overdueRequest - the number of a request past its deadline, if any.
    std::optional<std::uint32_t> overdueRequest();
    // endRun - fails every request in flight, closes the pipes, ends and
    // reaps the process (SIGKILL after a bounded grace when it does not exit).
    void endRun(RunEnd why);
    // writeLineLocked - writes one protocol line to the filter; caller holds
    // mutex_. On failure, failure says why.
    bool writeLineLocked(const std::string& line, std::string& failure);
    // takeNumberLocked - the next free request number; caller holds mutex_.
    std::uint32_t takeNumberLocked();

    const FilterCommand command_;
    const BridgeLog& log_;
    const std::chrono::seconds answerTimeout_;

    std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::Down;
    pid_t pid_ = -1;
    int toFilter_ = -1;             // write end of the filter's standard input
    int fromFilter_ = -1;           // read end of its standard output and error
    bool lastStartFailed_ = false;  // the program could not be started at all
    std::uint32_t nextNumber_ = 1;
    std::map<std::uint32_t, Pending*> inFlight_;
    std::optional<std::chrono::steady_clock::time_point> antivirusSeen_;
    std::thread supervisor_;
};

}  // namespace tarnwick::milter
