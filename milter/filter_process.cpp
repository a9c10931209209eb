// SPDX-License-Identifier: Apache-2.0
// filter_process.cpp - starting, feeding, watching and restarting the filter.
//
// Lock rule: mutex_ is held only to read or change the members; never while
// polling the filter's output, waiting for the process or writing to the log.
// The pipe to the filter is non-blocking, so a filter that stops reading
// cannot stall a writer that holds the lock.
#include "milter/filter_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "milter/message_summary.h"

namespace tarnwick::milter {

namespace {

using Clock = std::chrono::steady_clock;

// The filter must answer INTF this soon after its start, or it is restarted.
constexpr std::chrono::seconds handshakeLimit(30);
// A message waits this long at most for a filter that is being (re)started.
constexpr std::chrono::seconds readyWaitLimit(30);
// The pause between the end of one run and the next start.
constexpr std::chrono::seconds restartPause(1);
// How long a filter may take to exit once its input has ended.
constexpr std::chrono::seconds exitGrace(5);
// How often the supervisor looks at deadlines while the filter is quiet.
constexpr int pollMilliseconds = 200;
// A filter output line longer than this is cut and handled in pieces.
constexpr std::size_t maxLineBytes = 1 << 20;
// How long a protocol line may wait for room in a full pipe.
constexpr int writeRoomMilliseconds = 1000;
// The line that starts every run; its answer is "0 INTF ...". FILE requests
// never use the number 0.
constexpr const char* intfLine = "0 INTF 3";

// The filter's lines about its scan folder and the anti-virus check.
constexpr std::string_view checkLinePrefix = "* Anti-virus check: ";
constexpr std::string_view folderErrorPrefix = "* Error: ScanMe ";
constexpr std::string_view watchingEnding = "; the anti-virus is watching.";

// isCheckProblem - a line of the filter's checks that an administrator must
// see: a folder that cannot be used, an anti-virus not watching or slower
// than the wait. The line saying it watches is not one.
bool isCheckProblem(const std::string& line) {
    const std::string_view text(line);
    if (text.substr(0, folderErrorPrefix.size()) == folderErrorPrefix)
        return true;
    if (text.substr(0, checkLinePrefix.size()) != checkLinePrefix)
        return false;
    return text.size() < watchingEnding.size() ||
           text.substr(text.size() - watchingEnding.size()) != watchingEnding;
}

// describeStatus - a waitpid status in words.
std::string describeStatus(int status) {
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("killed by signal ") + std::to_string(WTERMSIG(status));
    return "ended";
}

// closeIfOpen - closes a descriptor and marks it closed.
void closeIfOpen(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

}  // namespace

FilterProcess::FilterProcess(FilterCommand command, const BridgeLog& log,
                             std::chrono::seconds answerTimeout)
    : command_(std::move(command)), log_(log), answerTimeout_(answerTimeout) {}

FilterProcess::~FilterProcess() {
    stop();
}

void FilterProcess::start() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (supervisor_.joinable())
        return;
    state_ = State::Starting;
    supervisor_ = std::thread([this] { supervise(); });
}

void FilterProcess::stop() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!supervisor_.joinable())
            return;
        state_ = State::Stopping;
        closeIfOpen(toFilter_);  // the filter exits when its input ends
        changed_.notify_all();
    }
    supervisor_.join();
}

OneScan FilterProcess::scan(const std::string& path, std::string& filterLine,
                            std::string* actedOn) {
    Clock::time_point started = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    auto canSend = [this] {
        return state_ == State::Ready && toFilter_ >= 0 && inFlight_.size() < maxRequestsInFlight;
    };
    while (!canSend()) {
        // A program that cannot even be started fails its messages at once
        // instead of holding each for the whole wait.
        if (state_ == State::Stopping || (state_ != State::Ready && lastStartFailed_))
            return std::nullopt;
        Clock::time_point deadline = started + answerTimeout_;
        if (state_ != State::Ready)
            deadline = std::min(deadline, started + readyWaitLimit);
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && !canSend())
            return std::nullopt;
    }
    Pending pending;
    pending.path = path;
    pending.deadline = Clock::now() + answerTimeout_;
    std::uint32_t number = takeNumberLocked();
    inFlight_[number] = &pending;
    std::string failure;
    if (!writeLineLocked(std::to_string(number) + " FILE " + path, failure)) {
        inFlight_.erase(number);
        changed_.notify_all();
        lock.unlock();
        log_.error("cannot send request " + std::to_string(number) + " to the filter: " + failure);
        return std::nullopt;
    }
    changed_.wait(lock, [&pending] { return pending.answer.has_value() || pending.failed; });
    filterLine = pending.lastLogLine;
    if (actedOn != nullptr)
        *actedOn = pending.actedOn;
    return pending.answer;
}

std::uint32_t FilterProcess::takeNumberLocked() {
    // At most 50 numbers are in use, so a free one is always found quickly.
    while (nextNumber_ == 0 || inFlight_.count(nextNumber_) != 0)
        ++nextNumber_;
    return nextNumber_++;
}

bool FilterProcess::writeLineLocked(const std::string& line, std::string& failure) {
    std::string bytes = line + "\n";
    std::size_t written = 0;
    while (written < bytes.size() && toFilter_ >= 0) {
        ssize_t n = ::write(toFilter_, bytes.data() + written, bytes.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd room{toFilter_, POLLOUT, 0};
            if (::poll(&room, 1, writeRoomMilliseconds) > 0)
                continue;
            failure = "its input stayed full for " + std::to_string(writeRoomMilliseconds) + " ms";
            return false;
        }
        failure = n < 0 ? std::strerror(errno) : "nothing was written";
        return false;
    }
    if (written != bytes.size())
        failure = "its input is closed";
    return written == bytes.size();
}

void FilterProcess::supervise() {
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (state_ == State::Stopping)
                return;
            state_ = State::Starting;
        }
        bool launched = launch();
        {
            std::lock_guard<std::mutex> hold(mutex_);
            lastStartFailed_ = !launched;
        }
        RunEnd why = launched ? runFilter() : RunEnd::Exited;
        endRun(why);
        std::unique_lock<std::mutex> lock(mutex_);
        if (state_ == State::Stopping)
            return;
        changed_.wait_for(lock, restartPause, [this] { return state_ == State::Stopping; });
    }
}

bool FilterProcess::launch() {
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
        log_.error(std::string("cannot make pipes for the filter: ") + std::strerror(errno));
        closeIfOpen(input[0]);
        closeIfOpen(input[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
    // Its three standard descriptors and nothing else of the bridge's: no
    // other connection's spool file, no descriptor opened without
    // close-on-exec by a library.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawn_file_actions_addchdir_np(&actions, command_.workFolder.c_str());
    // The filter gets default signal handling and an empty signal mask, not
    // the bridge's (SIGPIPE ignored, the milter library's signals blocked).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> words{command_.program};
    words.insert(words.end(), command_.arguments.begin(), command_.arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int failure =
        ::posix_spawn(&pid, command_.program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(input[0]);
    ::close(output[1]);
    if (failure != 0) {
        log_.error("cannot start the filter " + command_.program + " in " + command_.workFolder +
                   ": " + std::strerror(failure));
        ::close(input[1]);
        ::close(output[0]);
        return false;
    }
    ::fcntl(input[1], F_SETFL, ::fcntl(input[1], F_GETFL) | O_NONBLOCK);
    std::lock_guard<std::mutex> hold(mutex_);
    pid_ = pid;
    toFilter_ = input[1];
    fromFilter_ = output[0];
    log_.notice("started the filter " + command_.program + " (process " + std::to_string(pid) +
                ") in " + command_.workFolder);
    return true;
}

FilterProcess::RunEnd FilterProcess::runFilter() {
    std::string failure;
    bool sent;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (state_ == State::Stopping)
            return RunEnd::Stopped;
        sent = writeLineLocked(intfLine, failure);
    }
    if (!sent) {
        log_.error("cannot send INTF to the filter: " + failure);
        return RunEnd::Exited;
    }
    Clock::time_point handshakeDeadline = Clock::now() + handshakeLimit;
    std::optional<Clock::time_point> stopDeadline;
    bool initialised = false;
    std::string pending;
    char chunk[4096];
    for (;;) {
        pollfd readable{fromFilter_, POLLIN, 0};
        int ready = ::poll(&readable, 1, pollMilliseconds);
        if (ready > 0) {
            ssize_t n = ::read(fromFilter_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (!pending.empty())
                    handleLine(pending, initialised);
                std::lock_guard<std::mutex> hold(mutex_);
                return state_ == State::Stopping ? RunEnd::Stopped : RunEnd::Exited;
            }
            pending.append(chunk, static_cast<std::size_t>(n));
            std::size_t lineEnd;
            while ((lineEnd = pending.find('\n')) != std::string::npos ||
                   pending.size() > maxLineBytes) {
                std::size_t cut = lineEnd == std::string::npos ? maxLineBytes : lineEnd;
                std::string line = pending.substr(0, cut);
                pending.erase(0, lineEnd == std::string::npos ? cut : cut + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                handleLine(line, initialised);
            }
        }
        Clock::time_point now = Clock::now();
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (state_ == State::Stopping) {
                if (!stopDeadline)
                    stopDeadline = now + exitGrace;
                if (now > *stopDeadline)
                    return RunEnd::Stopped;
            }
        }
        if (!initialised && now > handshakeDeadline) {
            log_.error("the filter did not answer INTF within " +
                       std::to_string(handshakeLimit.count()) + " s");
            return RunEnd::HandshakeFailed;
        }
        if (std::optional<std::uint32_t> overdue = overdueRequest()) {
            log_.error("the filter left request " + std::to_string(*overdue) + " unanswered for " +
                       std::to_string(answerTimeout_.count()) + " s: restarting it");
            return RunEnd::Hung;
        }
    }
}

void FilterProcess::handleLine(const std::string& line, bool& initialised) {
    std::optional<FilterAnswer> answer = isLogLine(line) ? std::nullopt : parseAnswer(line);
    if (!answer) {
        noteLogLine(line);
        // The check's own verdict, once per start, shows at the default level.
        const LogLevel level = isCheckProblem(line)                  ? LogLevel::Warning
                               : line.rfind(checkLinePrefix, 0) == 0 ? LogLevel::Notice
                                                                     : LogLevel::Info;
        log_.write(level, "filter: " + line);
        return;
    }
    if (answer->requestId == 0 && answer->kind == AnswerKind::Intf) {
        initialised = true;
        std::lock_guard<std::mutex> hold(mutex_);
        if (state_ == State::Starting)
            state_ = State::Ready;
        changed_.notify_all();
        return;
    }
    {
        std::lock_guard<std::mutex> hold(mutex_);
        auto found = inFlight_.find(answer->requestId);
        if (found != inFlight_.end()) {
            found->second->answer = *answer;
            inFlight_.erase(found);
            changed_.notify_all();
            return;
        }
    }
    log_.warning("answer for no request in flight: " + line);
}

std::string FilterProcess::antivirusSeenText() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!antivirusSeen_)
        return "never";
    const auto ago = std::chrono::steady_clock::now() - *antivirusSeen_;
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(ago).count()) + "s";
}

void FilterProcess::noteLogLine(const std::string& line) {
    // "* (N) ..." concerns request N. A line without a number concerns the
    // requests whose file it names ("* File Not Found PATH") or, when it
    // names none, every request in flight ("* Unable to create temp dir
    // ..."): the line written last before an answer is the one that
    // explains it.
    if (!isLogLine(line) || isAnswerLogLine(line))
        return;
    std::optional<std::uint32_t> number = logLineRequest(line);
    std::lock_guard<std::mutex> hold(mutex_);
    if (line.rfind(checkLinePrefix, 0) == 0 && !isCheckProblem(line)) {
        antivirusSeen_ = std::chrono::steady_clock::now();
        return;
    }
    if (number) {
        auto found = inFlight_.find(*number);
        if (found != inFlight_.end()) {
            found->second->lastLogLine = line;
            if (found->second->actedOn.empty() && !actedOnDetail(line).empty())
                found->second->actedOn = line;
        }
        return;
    }
    bool namesOne = false;
    for (const auto& [key, pending] : inFlight_) {
        if (line.find(pending->path) != std::string::npos) {
            pending->lastLogLine = line;
            namesOne = true;
        }
    }
    if (!namesOne) {
        for (const auto& [key, pending] : inFlight_)
            pending->lastLogLine = line;
    }
}

std::optional<std::uint32_t> FilterProcess::overdueRequest() {
    Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> hold(mutex_);
    for (const auto& [number, pending] : inFlight_) {
        if (now > pending->deadline)
            return number;
    }
    return std::nullopt;
}

void FilterProcess::endRun(RunEnd why) {
    pid_t pid;
    std::size_t failed;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        failed = inFlight_.size();
        for (auto& [number, pending] : inFlight_)
            pending->failed = true;
        inFlight_.clear();
        if (state_ != State::Stopping)
            state_ = State::Down;
        closeIfOpen(toFilter_);
        closeIfOpen(fromFilter_);
        pid = pid_;
        pid_ = -1;
        changed_.notify_all();
    }
    if (failed > 0)
        log_.warning(std::to_string(failed) + " message(s) in flight failed with the filter");
    if (pid <= 0)
        return;
    int status = 0;
    bool reaped = false;
    if (why == RunEnd::Exited || why == RunEnd::Stopped) {
        Clock::time_point deadline = Clock::now() + exitGrace;
        while (!reaped && Clock::now() < deadline) {
            reaped = ::waitpid(pid, &status, WNOHANG) == pid;
            if (!reaped)
                std::this_thread::sleep_for(std::chrono::milliseconds(pollMilliseconds / 4));
        }
    }
    if (!reaped) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    LogLevel level = why == RunEnd::Stopped ? LogLevel::Notice : LogLevel::Error;
    log_.write(level, "the filter (process " + std::to_string(pid) + ") " + describeStatus(status));
}

}  // namespace tarnwick::milter
