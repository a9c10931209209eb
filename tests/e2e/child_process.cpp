// SPDX-License-Identifier: Apache-2.0
// child_process.cpp - fork/exec with pipes and bounded waits (POSIX).
//
// Both pipe ends the test keeps are non-blocking and every wait goes through
// poll() or a WNOHANG reap with a deadline, so no call here can block for ever.
#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace tarnwick::e2e {

namespace {

using Clock = std::chrono::steady_clock;

// How often waitExit looks whether the child has ended.
constexpr Millis reapInterval(5);

// remainingMillis - milliseconds left until deadline, at least 0.
int remainingMillis(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// closeQuietly - closes a descriptor if it is open and marks it closed.
void closeQuietly(int& descriptor) {
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

// statusFromWait - the exit status, or 128 + signal for a killed child.
int statusFromWait(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& workingDirectory, ChildLimits limits) {
    // A child that dies while the test writes must fail the write, not kill
    // the test process.
    ::signal(SIGPIPE, SIG_IGN);

    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0) {
        return;
    }
    if (::pipe2(fromChild, O_CLOEXEC) != 0) {
        ::close(toChild[0]);
        ::close(toChild[1]);
        return;
    }
    if (limits.nonBlockingOutput) {
        // The flag belongs to the write end's open file description, which
        // the child's standard output shares.
        ::fcntl(fromChild[0], F_SETPIPE_SZ, 4096);
        ::fcntl(fromChild[1], F_SETFL, ::fcntl(fromChild[1], F_GETFL) | O_NONBLOCK);
    }
    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls are allowed there.
    std::vector<std::string> words;
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    struct rlimit fileLimit = {static_cast<rlim_t>(limits.maxFileSize),
                               static_cast<rlim_t>(limits.maxFileSize)};

    cpu_set_t oneProcessor;
    CPU_ZERO(&oneProcessor);
    if (limits.oneProcessor) {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        ::sched_getaffinity(0, sizeof allowed, &allowed);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &allowed)) {
                CPU_SET(cpu, &oneProcessor);
                break;
            }
        }
    }

    pid_ = ::fork();
    if (pid_ == 0) {
        if (::chdir(workingDirectory.c_str()) != 0 || ::dup2(toChild[0], 0) < 0 ||
            ::dup2(fromChild[1], 1) < 0) {
            ::_exit(126);
        }
        if (limits.oneProcessor) {
            ::sched_setaffinity(0, sizeof oneProcessor, &oneProcessor);
        }
        if (limits.maxFileSize > 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            ::setrlimit(RLIMIT_FSIZE, &fileLimit);
        }
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    input_ = toChild[1];
    output_ = fromChild[0];
    if (pid_ < 0) {
        closeQuietly(input_);
        closeQuietly(output_);
        return;
    }
    ::fcntl(input_, F_SETFL, ::fcntl(input_, F_GETFL) | O_NONBLOCK);
    ::fcntl(output_, F_SETFL, ::fcntl(output_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    kill();
    closeQuietly(input_);
    closeQuietly(output_);
}

bool ChildProcess::running() {
    return pid_ > 0 && !waitExit(Millis(0)).has_value();
}

bool ChildProcess::write(const std::string& bytes, Millis timeout) {
    auto deadline = Clock::now() + timeout;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        if (input_ < 0) {
            return false;
        }
        ssize_t n = ::write(input_, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        struct pollfd waitFor = {input_, POLLOUT, 0};
        if (::poll(&waitFor, 1, remainingMillis(deadline)) <= 0 && Clock::now() >= deadline) {
            return false;
        }
    }
    return true;
}

void ChildProcess::closeInput() {
    closeQuietly(input_);
}

bool ChildProcess::fillBuffer(Millis timeout) {
    if (output_ < 0 || outputEnded_) {
        return false;
    }
    struct pollfd waitFor = {output_, POLLIN, 0};
    int ready = ::poll(&waitFor, 1, static_cast<int>(timeout.count()));
    if (ready <= 0) {
        return false;
    }
    char chunk[65536];
    ssize_t n = ::read(output_, chunk, sizeof chunk);
    if (n > 0) {
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }
    if (n == 0) {
        outputEnded_ = true;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
}

std::optional<std::string> ChildProcess::readLine(Millis timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        if (outputEnded_ || Clock::now() >= deadline) {
            return std::nullopt;
        }
        fillBuffer(Millis(remainingMillis(deadline)));
    }
}

std::optional<int> ChildProcess::waitExit(Millis timeout) {
    if (exitStatus_ || pid_ <= 0) {
        return exitStatus_;
    }
    auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exitStatus_ = statusFromWait(status);
            return exitStatus_;
        }
        if (done < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(reapInterval);
    }
}

void ChildProcess::kill() {
    if (pid_ > 0 && !exitStatus_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        exitStatus_ = statusFromWait(status);
    }
}

}  // namespace tarnwick::e2e
