// SPDX-License-Identifier: Apache-2.0
// run_request.cpp - the worker body: one request from processMessage to its
// answer line on the console log.
//
// It touches shared state only through FilterBase::lock (releasing the
// number) and the console lock (its lines), and never holds both.
#include <chrono>
#include <exception>
#include <memory>

#include "front/filter_base.h"
#include "front/protocol.h"
#include "runtime/console_log.h"

namespace tarnwick {

namespace {

// Outcome - the result of one request reduced to what gets written.
struct Outcome {
    int kind = FilterResult::Ok;
    std::string quoted;
};

// decide - runs processMessage and quotes its lines. A throwing filter (out
// of memory, a bug) must not take the worker pool or the process down, so it
// is reported and the message is accepted unchanged, like any message that
// could not be processed.
Outcome decide(const ScanRequest& request) {
    Outcome outcome;
    try {
        const FilterResult result = request.filter.processMessage(request.requestId, request.path);
        outcome.quoted = quoteText(result.lines);
        outcome.kind = result.kind;
    } catch (...) {
        outcome = Outcome{};
        consoleStream() << beginLine << "* (" << request.requestId
                        << ") Unexpected error while processing the message" << endLine;
    }
    // No header to add is the same as accepting the message unchanged.
    if (outcome.kind == FilterResult::AddHeader && outcome.quoted.empty())
        outcome.kind = FilterResult::Ok;
    return outcome;
}

// writeAnswer - the log line of the kind and the answer line, as one group.
// A kind outside the five writes nothing.
void writeAnswer(std::uint32_t requestId, const Outcome& outcome) {
    const char* logLine = nullptr;
    std::string answer;
    switch (outcome.kind) {
        case FilterResult::Ok:
            logLine = "* OK";
            answer = " OK";
            break;
        case FilterResult::Postpone:
            logLine = "* Postponing message";
            answer = " REJECTED \"" + outcome.quoted + "\"";
            break;
        case FilterResult::Reject:
            logLine = "* Rejecting message";
            answer = " ERROR \"" + outcome.quoted + "\"";
            break;
        case FilterResult::Discard:
            logLine = "* Discarding message";
            answer = " DISCARD";
            break;
        case FilterResult::AddHeader:
            logLine = "* Adding Header(s) to message";
            answer = " ADDHEADER \"" + outcome.quoted + "\"";
            break;
        default:
            return;
    }
    consoleStream() << beginLine << logLine << '\n' << std::flush << requestId << answer << endLine;
}

// secondsSince - from then until now.
double secondsSince(std::chrono::steady_clock::time_point then) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - then).count();
}

}  // namespace

void runRequest(ScanRequest* request) {
    FilterEvents& events = request->filter.events();
    events.requestStarted();
    const Outcome outcome = decide(*request);
    if (!request->filter.threaded) {
        writeAnswer(request->requestId, outcome);
        events.requestAnswered(secondsSince(request->accepted));
        return;
    }
    // The request was allocated by the command loop and is ours from here.
    const std::unique_ptr<ScanRequest> owned(request);
    // Released before the answer is written: a mail server may send the same
    // number again the moment it reads the answer, and must find it free.
    // Nothing of the request's own is used after processMessage returned.
    owned->filter.releaseRequest(owned->requestId);
    writeAnswer(owned->requestId, outcome);
    events.requestAnswered(secondsSince(owned->accepted));
    consoleStream() << beginLine << "* (" << owned->requestId << ") Thread processing done"
                    << endLine;
}

}  // namespace tarnwick
