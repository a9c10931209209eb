// SPDX-License-Identifier: Apache-2.0
// command_loop.cpp - FilterBase::run: reads the mail server's commands,
// answers what can be answered at once, admits FILE requests and hands them
// to workers.
//
// The loop holds FilterBase::lock only for the table operations themselves,
// never while it writes a line or starts a worker, and it never waits for a
// request to finish. It keeps nothing a worker needs once it returns.
#include <cstdio>
#include <string>
#include <vector>

#include "front/filter_base.h"
#include "front/input_reader.h"
#include "front/protocol.h"
#include "runtime/console_log.h"
#include "runtime/file_system.h"
#include "runtime/platform.h"
#include "runtime/worker_pool.h"

namespace tarnwick {

namespace {

constexpr const char* quitRefusal =
    " REJECTED \"QUIT command received, filter is shut down. Please restart the filter.\"";

// writeLine - one whole line on the console log.
void writeLine(const std::string& text) {
    consoleStream() << beginLine << text << endLine;
}

// requestJob - the WorkerPool job: the argument is a ScanRequest made by new.
void requestJob(void* argument) {
    runRequest(static_cast<ScanRequest*>(argument));
}

}  // namespace

void FilterBase::run() {
    run(standardInputDescriptor);
}

void FilterBase::run(int inputDescriptor) {
    writeLine("* Filter is waiting for initialization command (INTF).");
    InputLineReader reader(inputDescriptor);
    bool quitReceived = false;
    std::string line;
    while (reader.readTextLine(line)) {
        std::vector<std::string> fields = splitFields(line, protocolFieldCount);
        fields.resize(protocolFieldCount);
        const std::string& token = fields[0];
        const std::string command = lowerCase(fields[1]);
        const std::string& argument = fields[2];

        if (token.empty()) {
            writeLine("(null) FAILURE");
        } else if (command.empty()) {
            writeLine(token + (quitReceived ? quitRefusal : " FAILURE"));
        } else if (quitReceived) {
            writeLine(token + quitRefusal);
        } else if (command == "intf") {
            answerInterface(token, argument);
        } else if (command == "key") {
            writeLine(token + " OK");
        } else if (command == "quit") {
            quitReceived = true;
            answerQuit(token);
        } else if (command == "file") {
            acceptFile(token, argument);
        } else {
            writeLine(token + " FAILURE");
        }
    }
}

void FilterBase::answerInterface(const std::string& token, const std::string& argument) {
    initialized = true;
    const long long version = argument.empty() ? 1 : interfaceVersion(toRequestNumber(argument));
    writeLine(token + " INTF " + std::to_string(version));
    writeLine("* Filter is initialized and waiting for commands.");
}

void FilterBase::answerQuit(const std::string& token) {
    writeLine("* Filter is shutting down...");
    shutdown();
    writeLine(token + " OK");
    writeLine("* Filter is shut down and waiting for standard output to be closed.");
}

void FilterBase::acceptFile(const std::string& token, const std::string& argument) {
    if (!initialized) {
        writeLine(token + " REJECTED \"Please send INTF command first\"");
        return;
    }
    if (argument.empty()) {
        writeLine(token + " FAILURE");
        return;
    }
    // Anything but an ordinary file counts as missing: opening a FIFO would
    // wait for a writer, and a device never ends.
    if (!isRegularFile(argument)) {
        writeLine("* File Not Found " + argument);
        writeLine(token + " OK");
        return;
    }
    // Only a test of access: the filter opens the file again itself.
    std::FILE* file = platform::openSharedFile(argument, "rb");
    if (file == nullptr) {
        writeLine("* Error: unable to open file " + argument +
                  " (did you mess with access rights?)");
        writeLine(token + " OK");
        return;
    }
    std::fclose(file);

    const std::uint32_t requestId = toRequestNumber(token);
    if (!threaded) {
        ScanRequest request{requestId, *this, argument};
        runRequest(&request);
        return;
    }

    std::size_t inProgress = 0;
    bool inUse = false;
    {
        MutexLock guard(lock);
        inProgress = activeRequests.size();
        inUse = activeRequests.count(requestId) != 0;
    }
    // The queue limit is tested first: when both apply, that is the answer.
    if (inProgress >= maxActiveRequests) {
        writeLine(token + " REJECTED \"Too much files in queue (" + std::to_string(inProgress) +
                  "), try again in a few seconds.\"");
        return;
    }
    if (inUse) {
        writeLine(token + " REJECTED \"This request ID is already in use (" +
                  std::to_string(requestId) + "), try again in a few seconds.\"");
        return;
    }
    {
        // Only this loop inserts, so nothing can have taken the number since.
        MutexLock guard(lock);
        activeRequests.insert(requestId);
    }
    writeLine("* (" + std::to_string(requestId) + ") Thread processing started");
    if (!startWorker(requestId, argument)) {
        writeLine(token +
                  " REJECTED \"Unable to start a processing thread, try again in a few seconds.\"");
    }
}

bool FilterBase::startWorker(std::uint32_t requestId, const std::string& path) {
    auto* request = new ScanRequest{requestId, *this, path};
    if (WorkerPool::run(requestJob, request) != nullptr)
        return true;
    // No worker took it: the request never ran, so it is still ours to undo.
    delete request;
    releaseRequest(requestId);
    return false;
}

}  // namespace tarnwick
