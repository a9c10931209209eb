// SPDX-License-Identifier: Apache-2.0
// child_process.h - a program started through pipes, for the end-to-end tests.
//
// ChildProcess starts an executable with its own working directory, standard
// input and standard output connected to pipes held by the test, and standard
// error left to the test's own. Every wait is bounded by a deadline: a read
// that gets no line in time reports nothing, a child that does not end in time
// is reported as still running, and a child still running when the object goes
// away is killed and reaped. So a test that meets a hung program fails instead
// of hanging.
//
// POSIX only (fork, pipes, poll); it does not translate line ends and does not
// interpret what the child writes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::e2e {

using Millis = std::chrono::milliseconds;

// ChildLimits - resource limits applied inside the child before it starts,
// and how its standard output is set up.
struct ChildLimits {
    // Largest file the child may write, in bytes; 0 means no limit. Writes
    // beyond it fail with EFBIG (SIGXFSZ is ignored in the child).
    long long maxFileSize = 0;
    // When set, the child's standard output is a non-blocking pipe of one
    // page: a write finding it full fails with EAGAIN instead of waiting.
    bool nonBlockingOutput = false;
    // When set, the child runs on one processor only, so that its threads
    // preempt one another as on a busy machine.
    bool oneProcessor = false;
};

class ChildProcess {
  public:
    // ChildProcess - starts program with args (program name not included)
    // in workingDirectory. running() tells whether the start succeeded.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& workingDirectory, ChildLimits limits = {});
    // ~ChildProcess - kills the child if it still runs, reaps it, closes pipes.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // running - true while the child was started and has not been reaped.
    bool running();

    // write - sends bytes to the child's standard input as one write call
    // (repeated only for what the pipe did not take). False when the pipe is
    // closed, the child is gone, or the bytes did not fit before the timeout.
    bool write(const std::string& bytes, Millis timeout = Millis(5000));

    // closeInput - closes the child's standard input (it sees end of input).
    void closeInput();

    // readLine - the next line of standard output without its LF, or nothing
    // when no whole line arrived within the timeout or output ended. A last
    // piece without LF at the end of output is not returned as a line.
    std::optional<std::string> readLine(Millis timeout = Millis(5000));

    // outputEnded - true once standard output reached its end.
    bool outputEnded() const { return outputEnded_; }

    // waitExit - waits up to timeout for the child to end. Returns its exit
    // status, or 128 + the signal number when a signal ended it; nothing when
    // it is still running at the deadline.
    std::optional<int> waitExit(Millis timeout = Millis(5000));

    // kill - ends the child at once with SIGKILL and reaps it.
    void kill();

  private:
    // fillBuffer - one bounded read of standard output into buffer_.
    bool fillBuffer(Millis timeout);

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    bool outputEnded_ = false;
    std::optional<int> exitStatus_;
    std::string buffer_;
};

}  // namespace tarnwick::e2e
