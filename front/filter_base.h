// SPDX-License-Identifier: Apache-2.0
// filter_base.h - the filter front end: the base class of a content filter,
// its command loop, and the worker body that answers one request.
//
// FilterBase speaks the mail server's helper protocol and keeps the table of
// requests in progress; it knows nothing about what a filter checks. A
// derived class decides about one message in processMessage. In threaded
// mode every accepted FILE request runs on a worker thread of WorkerPool; in
// unthreaded mode the command loop runs it itself before it reads on.
//
// Lock order: FilterBase::lock first, consoleLock second, never the other
// way round. The front end itself never holds both.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

#include "front/filter_events.h"
#include "front/filter_result.h"
#include "runtime/sync.h"

namespace tarnwick {

// maxActiveRequests - requests in progress at most. A FILE request arriving
// while this many run is refused with "Too much files in queue (n)", which
// asks the mail server to retry; nothing is queued here.
inline constexpr std::size_t maxActiveRequests = 50;

// standardInputDescriptor - the descriptor run() reads its commands from.
inline constexpr int standardInputDescriptor = 0;

class FilterBase;

// ScanRequest - one accepted FILE request: its number, the filter that runs
// it (not owned) and the path exactly as the mail server sent it.
struct ScanRequest {
    std::uint32_t requestId;
    FilterBase& filter;
    std::string path;
    // When the request was accepted, for the time to its answer.
    std::chrono::steady_clock::time_point accepted = std::chrono::steady_clock::now();
};

// runRequest - the worker body of one request: calls processMessage; in
// threaded mode removes the number from activeRequests (so the number is free
// by the time the mail server can read the answer); writes the log line of
// the result and the answer line as one group on the console log; in
// threaded mode then logs "* (n) Thread processing done" and deletes the
// request (which the command loop allocated with new). In unthreaded mode
// the request stays the caller's. A processMessage that throws is logged as
// "* (n) Unexpected error while processing the message" and answered as Ok;
// nothing escapes.
void runRequest(ScanRequest* request);

// skipEnvelope - on a message file opened in binary mode: when the file's
// first line opens an envelope block (see mailfile/envelope.h), consumes every
// line up to and including the first empty line (or to the end of the file)
// and returns true; otherwise leaves the file at its start and returns
// false. A null file gives false.
bool skipEnvelope(std::FILE* file);

// FilterBase - the front end of one content filter. One instance per
// process; not copied.
class FilterBase {
  public:
    // FilterBase - threaded: whether accepted requests run on worker threads.
    explicit FilterBase(bool threaded);
    FilterBase(const FilterBase&) = delete;
    FilterBase& operator=(const FilterBase&) = delete;

    // ~FilterBase - empties activeRequests and gives lock back to its pool.
    // REQUIRES: no worker runs a request of this filter any more (see run).
    virtual ~FilterBase();

    // processMessage - decides about the message stored at path. Called once
    // per accepted FILE request; in threaded mode on a worker thread, with
    // several calls for different numbers at the same time (two calls that
    // overlap never share requestId, so it may name per-request files). When
    // the call starts, path named an existing ordinary file (no folder, FIFO,
    // socket or device) that could be opened for reading. Reports every
    // outcome as a FilterResult and should not throw (runRequest contains it
    // if it does).
    virtual FilterResult processMessage(std::uint32_t requestId, const std::string& path) = 0;

    // interfaceVersion - the version answered to an INTF with an argument;
    // 3 whatever was requested.
    virtual int interfaceVersion(std::uint32_t requested);

    // shutdown - called by the command loop on QUIT, before its answer. Does
    // nothing here.
    virtual void shutdown();

    // setEvents - where the work is reported from now on (not owned; it must
    // outlive every worker). Set before the command loop starts.
    void setEvents(FilterEvents* events) { events_ = events != nullptr ? events : &noEvents_; }
    // events - where to report; one that ignores everything unless set.
    FilterEvents& events() const { return *events_; }

    // run - the command loop on standard input; see run(int). Prepares the
    // standard streams first (platform::prepareStandardStreams).
    void run();

    // run - reads commands from inputDescriptor, answers them on the console
    // log (runtime/console_log.h) and hands accepted FILE requests to
    // workers, until the input ends or a read fails. Writes "* Filter is
    // waiting for initialization command (INTF)." first.
    //
    // In threaded mode requests may still be running when run returns, and
    // their workers go on using this filter. The caller must then not destroy
    // the filter while they may run: flush standard output and end the
    // process at once (std::_Exit(0)), or keep the filter alive until
    // activeRequests is empty and every "Thread processing done" line has
    // been written. run itself keeps nothing that a worker needs: each
    // worker owns its ScanRequest.
    //
    // On Windows the descriptor must be in binary mode
    // (platform::prepareStandardStreams does that for standard input), so
    // that a 0x1A byte does not end the commands early; the reader folds the
    // line ends itself.
    void run(int inputDescriptor);

  protected:
    // initialized - set by the first INTF, never cleared.
    bool initialized = false;
    // lock - guards activeRequests; derived classes guard their own shared
    // state with it too. Never held while a line is written by the front end.
    PooledMutex lock;
    // activeRequests - numbers of the requests in progress (threaded mode).
    std::set<std::uint32_t> activeRequests;
    // threaded - fixed at construction.
    const bool threaded;

  private:
    friend void runRequest(ScanRequest* request);

    // Steps of the command loop, one per command; token is the request
    // token as received, argument the third field.
    void answerInterface(const std::string& token, const std::string& argument);
    void answerQuit(const std::string& token);
    void acceptFile(const std::string& token, const std::string& argument);
    // startWorker - hands an admitted request to a worker; false (the number
    // released again) when no worker thread could be started.
    bool startWorker(std::uint32_t requestId, const std::string& path);
    // releaseRequest - removes the number from activeRequests under lock.
    void releaseRequest(std::uint32_t requestId);

    FilterEvents noEvents_;
    FilterEvents* events_ = &noEvents_;
};

}  // namespace tarnwick
