// SPDX-License-Identifier: Apache-2.0
// console_log.h - the locked console log on standard output.
//
// Standard output carries both the protocol answers and the "* " log lines,
// written by the command loop and by every worker at once. A writer holds
// consoleLock from the first piece of its line to the end of its last line,
// and every line is flushed when it ends, so each line reaches the mail
// server whole and lines written together stay adjacent:
//
//     consoleStream() << beginLine << "* (" << id << ") Copy done" << endLine;
//
// A group of lines: beginLine, each line but the last ended with
// '\n' << std::flush, the last ended with endLine.
//
// A full standard output (a pipe whose reader pauses, blocking or not) is
// waited for: no line is dropped for it. When the reader has closed standard
// output, writes fail quietly (the stream's failure state is cleared at each
// beginLine so later lines are still attempted) and endLine still releases
// the lock.
#pragma once

#include <ostream>

#include "runtime/sync.h"

namespace tarnwick {

// consoleLock - the process-wide lock of the console log (a SimpleMutex that
// lives from static initialisation to process exit).
SimpleMutex& consoleLock();

// consoleStream - the stream the console log writes to: standard output
// (through the platform layer, not std::cout) unless a test redirected it
// with ConsoleRedirect.
std::ostream& consoleStream();

// beginLine - manipulator: locks consoleLock and hands the stream on.
std::ostream& beginLine(std::ostream& stream);
// endLine - manipulator: line feed, flush, unlock consoleLock.
std::ostream& endLine(std::ostream& stream);

// writeLogLine - one whole line under the lock (the common case).
void writeLogLine(const std::string& text);

// ConsoleRedirect - for tests, and for tools whose standard output is their
// own: sends the console log to another stream for the lifetime of the
// object. REQUIRES: no other thread writes meanwhile
// while it is constructed or destroyed.
class ConsoleRedirect {
  public:
    explicit ConsoleRedirect(std::ostream& target);
    ~ConsoleRedirect();
    ConsoleRedirect(const ConsoleRedirect&) = delete;
    ConsoleRedirect& operator=(const ConsoleRedirect&) = delete;

  private:
    std::ostream* previous_;
};

}  // namespace tarnwick
