// console_log.cpp - the locked console log on standard output.
//
// beginLine and endLine bracket a line (or a group of lines) with
// consoleLock; endLine flushes, so a line leaves the process whole. Failed
// writes are not reported: the stream keeps its failure state until the next
// beginLine clears it, so one failed line (a reader that went away, a full
// pipe) never silences the lines after it. Line ends are the platform's
// text-mode ones: LF here, CR LF once the Windows run-time has translated.
#include "runtime/console_log.h"

#include <atomic>
#include <iostream>

namespace tarnwick {

namespace {

// Where the console log writes; swapped only by ConsoleRedirect.
std::atomic<std::ostream*> currentTarget{&std::cout};

// The lock exists before any worker or writer: static initialisation of
// this file makes it, so it also outlives the worker pool's objects at exit.
[[maybe_unused]] SimpleMutex& consoleLockAtStartUp = consoleLock();

}  // namespace

SimpleMutex& consoleLock() {
    static SimpleMutex lock;
    return lock;
}

std::ostream& consoleStream() {
    return *currentTarget.load();
}

std::ostream& beginLine(std::ostream& stream) {
    consoleLock().lock();
    // A write that failed earlier left the stream in its failure state, in
    // which every insertion would do nothing: try this line afresh.
    stream.clear();
    return stream;
}

std::ostream& endLine(std::ostream& stream) {
    stream.put('\n');
    stream.flush();
    // Released whatever the write did, so a failed line blocks nobody.
    consoleLock().unlock();
    return stream;
}

void writeLogLine(const std::string& text) {
    consoleStream() << beginLine << text << endLine;
}

ConsoleRedirect::ConsoleRedirect(std::ostream& target)
    : previous_(currentTarget.exchange(&target)) {}

ConsoleRedirect::~ConsoleRedirect() {
    currentTarget.store(previous_);
}

}  // namespace tarnwick
