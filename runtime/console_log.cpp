// SPDX-License-Identifier: Apache-2.0
// console_log.cpp - the locked console log on standard output.
//
// beginLine and endLine bracket a line (or a group of lines) with
// consoleLock; endLine flushes, so a line leaves the process whole. Failed
// writes are not reported: the stream keeps its failure state until the next
// beginLine clears it, so one failed line (a reader that went away) never
// silences the lines after it. Line ends are the platform's text-mode ones:
// LF here, CR LF once the Windows run-time has translated.
//
// Standard output is written through the platform layer, not through the C
// library's stream: a mail server may hand over a non-blocking pipe, on
// which the C library drops whatever a full pipe refuses. Here a flush waits
// until the reader has taken the whole line, or drops the line only once the
// reader has gone for good.
#include "runtime/console_log.h"

#include <atomic>
#include <streambuf>
#include <string>

#include "runtime/platform.h"

namespace tarnwick {

namespace {

// The descriptor of standard output.
constexpr int kStandardOutputDescriptor = 1;

// StandardOutputBuffer - collects the pieces of a line and hands them to the
// platform layer as one write when the stream is flushed. Used under
// consoleLock only.
class StandardOutputBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            pending_.push_back(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        pending_.append(s, static_cast<std::size_t>(n));
        return n;
    }
    // sync - writes what is pending; a line the reader can no longer take is
    // dropped, so it never comes out in front of a later line.
    int sync() override {
        const bool written =
            platform::writeDescriptor(kStandardOutputDescriptor, pending_.data(), pending_.size());
        pending_.clear();
        return written ? 0 : -1;
    }

  private:
    std::string pending_;
};

// standardOutput - the stream over standard output. Never destroyed: worker
// threads may still write while the process ends.
std::ostream& standardOutput() {
    static std::ostream* const stream = new std::ostream(new StandardOutputBuffer);
    return *stream;
}

// Where the console log writes when a test redirected it; swapped only by
// ConsoleRedirect. Null (standard output) from constant initialisation on,
// so a line written during another file's static initialisation is safe.
std::atomic<std::ostream*> currentTarget{nullptr};

// The lock exists before any worker or writer: static initialisation of
// this file makes it, so it also outlives the worker pool's objects at exit.
[[maybe_unused]] SimpleMutex& consoleLockAtStartUp = consoleLock();

}  // namespace

SimpleMutex& consoleLock() {
    static SimpleMutex lock;
    return lock;
}

std::ostream& consoleStream() {
    std::ostream* const target = currentTarget.load();
    return target != nullptr ? *target : standardOutput();
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
