// SPDX-License-Identifier: Apache-2.0
// main.cpp - tarnwick-milter: lets a milter-speaking mail server (Postfix,
// Sendmail) have every message checked by tarnwick.
//
// Order of start-up: read the options; open the listening socket while still
// privileged; make the working and spool folders and hand them to the user;
// drop to that user; leave the terminal unless in the foreground; clear the
// spool; start the filter; then the milter library's main loop, which returns
// on SIGTERM, SIGINT or SIGHUP. The filter is stopped on the way out.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "milter/bridge_counters.h"
#include "milter/bridge_log.h"
#include "milter/bridge_options.h"
#include "milter/filter_process.h"
#include "milter/milter_callbacks.h"
#include "milter/spool_file.h"
#include "runtime/stats_file.h"
#include "tarnwick/version.h"

namespace {

using namespace tarnwick::milter;

constexpr int exitOk = 0;
constexpr int exitFailure = 1;
constexpr int exitUsage = 2;
constexpr const char* unixPrefix = "unix:";
constexpr const char* localPrefix = "local:";
constexpr const char* inetPrefix = "inet:";
constexpr mode_t workFolderMode = 0755;
constexpr mode_t pidFileMode = 0644;

// RunAs - the user the bridge and the filter run as.
struct RunAs {
    bool change = false;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    std::string name;
};

// besideThisProgram - the path of name in the folder of this executable.
std::string besideThisProgram(const std::string& name) {
    char self[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return name;
    std::string path(self, static_cast<std::size_t>(length));
    return path.substr(0, path.rfind('/') + 1) + name;
}

// absolutePath - path made absolute against the current folder, since the
// filter is started from its working folder.
std::string absolutePath(const std::string& path) {
    if (path.empty() || path.front() == '/')
        return path;
    char here[PATH_MAX];
    if (::getcwd(here, sizeof here) == nullptr)
        return path;
    return std::string(here) + "/" + path;
}

// socketPath - the file behind a unix:/local: socket option, or empty.
std::string socketPath(const std::string& socket) {
    for (const char* prefix : {unixPrefix, localPrefix}) {
        if (socket.rfind(prefix, 0) == 0)
            return socket.substr(std::strlen(prefix));
    }
    if (!socket.empty() && socket.front() == '/')
        return socket;
    return "";
}

// prepareFolder - the folder exists; one made now belongs to the user.
bool prepareFolder(const std::string& folder, const RunAs& user, const BridgeLog& log) {
    std::string error;
    if (ensureFolder(folder, workFolderMode, user.uid, user.gid, error) == FolderState::Failed) {
        log.error(error);
        return false;
    }
    return true;
}

// dropPrivileges - becomes the user for good.
bool dropPrivileges(const RunAs& user, const BridgeLog& log) {
    if (!user.change)
        return true;
    if (::initgroups(user.name.c_str(), user.gid) != 0 || ::setgid(user.gid) != 0 ||
        ::setuid(user.uid) != 0) {
        log.error("cannot become " + user.name + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

// lookUpUser - the uid and gid of name.
bool lookUpUser(const std::string& name, RunAs& user) {
    if (name.empty())
        return true;
    const passwd* entry = ::getpwnam(name.c_str());
    if (entry == nullptr)
        return false;
    user.change = true;
    user.uid = entry->pw_uid;
    user.gid = entry->pw_gid;
    user.name = name;
    return true;
}

// inetBindProblem - for an inet:PORT@ADDRESS socket with a numeric IPv4
// address, why binding it fails (the milter library logs its reason only to
// syslog); empty when binding works or the socket is of another kind.
std::string inetBindProblem(const std::string& socket) {
    if (socket.rfind(inetPrefix, 0) != 0)
        return "";
    std::string rest = socket.substr(std::strlen(inetPrefix));
    std::size_t at = rest.find('@');
    std::string host = at == std::string::npos ? "0.0.0.0" : rest.substr(at + 1);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    unsigned long port = std::strtoul(rest.substr(0, at).c_str(), nullptr, 10);
    if (port == 0 || port > 65535 || ::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        return "";
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::strerror(errno);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    std::string problem;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        problem = std::strerror(errno);
    ::close(fd);
    return problem;
}

// openListener - registers the callbacks and opens the socket.
bool openListener(const BridgeOptions& options, const RunAs& user, const BridgeLog& log) {
    smfiDesc description = milterDescription();
    std::vector<char> socket(options.socket.begin(), options.socket.end());
    socket.push_back('\0');
    std::string path = socketPath(options.socket);
    std::string error;
    if (!path.empty() && path.rfind('/') > 0 &&
        ensureFolder(path.substr(0, path.rfind('/')), workFolderMode, static_cast<uid_t>(-1),
                     static_cast<gid_t>(-1), error) == FolderState::Failed) {
        log.error(error);
        return false;
    }
    if (smfi_register(description) != MI_SUCCESS) {
        log.error("cannot register with the milter library: it refused the bridge's description");
        return false;
    }
    if (smfi_setconn(socket.data()) != MI_SUCCESS) {
        log.error("cannot use the socket " + options.socket +
                  ": not unix:/PATH, local:/PATH or inet:PORT@ADDRESS");
        return false;
    }
    errno = 0;
    if (smfi_opensocket(true) != MI_SUCCESS) {
        int failure = errno;
        std::string problem = inetBindProblem(options.socket);
        if (problem.empty())
            problem = failure != 0 ? std::strerror(failure) : "the milter library gave no reason";
        log.error("cannot listen on " + options.socket + ": " + problem);
        return false;
    }
    if (!path.empty() && user.change && ::chown(path.c_str(), user.uid, user.gid) != 0) {
        log.error("cannot hand " + path + " to " + user.name + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

// PidFile - the file that names the bridge's process: opened while still
// privileged, written once the process id is final, emptied or removed at
// the end.
class PidFile {
  public:
    PidFile() = default;
    ~PidFile() {
        if (fd_ < 0)
            return;
        // After the change of user the folder may not allow the removal;
        // an empty file then names no process.
        if (::unlink(path_.c_str()) != 0) {
            [[maybe_unused]] int emptied = ::ftruncate(fd_, 0);
        }
        ::close(fd_);
    }
    PidFile(const PidFile&) = delete;
    PidFile& operator=(const PidFile&) = delete;

    // open - creates path or opens the one there; false (logged) when it
    // cannot, or when what is there is not a plain file of this user with
    // one name: a hard link planted in a shared folder would otherwise have
    // root empty and overwrite another file. Nothing is emptied before the
    // checks; writePid does that.
    bool open(const std::string& path, const BridgeLog& log) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, pidFileMode);
        if (fd_ < 0) {
            log.error("cannot create the pid file " + path + ": " + std::strerror(errno));
            return false;
        }
        struct stat seen {};
        if (::fstat(fd_, &seen) != 0 || !S_ISREG(seen.st_mode) || seen.st_nlink != 1 ||
            seen.st_uid != ::geteuid()) {
            log.error("cannot use the pid file " + path +
                      ": it is not a plain file of this user with one name");
            ::close(fd_);
            fd_ = -1;
            return false;
        }
        path_ = path;
        return true;
    }
    // writePid - this process's id and a line feed; false (logged) on failure.
    bool writePid(const BridgeLog& log) {
        if (fd_ < 0)
            return true;
        std::string text = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd_, 0) != 0 ||
            ::pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
            log.error("cannot write the pid file " + path_ + ": " + std::strerror(errno));
            return false;
        }
        return true;
    }

  private:
    int fd_ = -1;
    std::string path_;
};

// leaveTerminal - becomes a daemon; standard error stays open when the log
// goes there.
bool leaveTerminal(const BridgeLog& log) {
    if (!log.toStandardError())
        return ::daemon(0, 0) == 0;
    if (::daemon(0, 1) != 0)
        return false;
    int null = ::open("/dev/null", O_RDWR);
    if (null < 0)
        return false;
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    if (null > STDERR_FILENO)
        ::close(null);
    return true;
}

// filterStatsFile - where the filter keeps its own counters, beside the
// bridge's: "milter.prom" gives "milter-filter.prom", any other name gets
// "-filter" added.
std::string filterStatsFile(const std::string& path) {
    const std::string suffix = ".prom";
    if (path.size() > suffix.size() &&
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0)
        return path.substr(0, path.size() - suffix.size()) + "-filter" + suffix;
    return path + "-filter";
}

// run - the bridge from the opened socket to the end of the main loop.
int run(const BridgeOptions& options, const RunAs& user, const BridgeLog& log) {
    // The milter library waits for these signals on a thread of its own. They
    // are blocked before the socket accepts its first connection, so that a
    // stop requested while the bridge is still starting waits for the
    // library and ends the bridge cleanly instead of killing it; every thread
    // started later (the filter's supervisor) inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&stopSignals, signal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    PidFile pidFile;
    if (!openListener(options, user, log) ||
        (!options.pidFile.empty() && !pidFile.open(options.pidFile, log)) ||
        !prepareFolder(options.workFolder, user, log))
        return exitFailure;
    std::string error;
    if (!prepareSpoolFolder(options.spoolFolder, user.uid, user.gid, error)) {
        log.error(error);
        return exitFailure;
    }
    if (!dropPrivileges(user, log))
        return exitFailure;
    if (!options.foreground && !leaveTerminal(log)) {
        log.error(std::string("cannot leave the terminal: ") + std::strerror(errno));
        return exitFailure;
    }
    if (!pidFile.writePid(log))
        return exitFailure;
    int leftovers = removeLeftovers(options.spoolFolder);
    if (leftovers > 0)
        log.notice("removed " + std::to_string(leftovers) +
                   " spool file(s) left by an earlier run");

    FilterCommand command;
    command.program =
        options.tarnwickPath.empty() ? besideThisProgram("tarnwick") : options.tarnwickPath;
    if (!options.allowUnwatched)
        command.arguments.push_back("--require-av");
    command.arguments.push_back("--av-check-every");
    command.arguments.push_back(options.avCheckEvery);
    if (!options.statsFile.empty()) {
        command.arguments.push_back("--stats-file");
        command.arguments.push_back(filterStatsFile(options.statsFile));
    }
    if (!options.waitSeconds.empty())
        command.arguments.push_back(options.waitSeconds);
    command.workFolder = options.workFolder;
    FilterProcess filter(command, log, std::chrono::seconds(options.answerTimeoutSeconds));
    // Deliberately leaked: the milter library's threads may still count
    // into it while main returns.
    BridgeCounters* counters = options.statsFile.empty() ? nullptr : new BridgeCounters();
    std::unique_ptr<tarnwick::StatsFile> stats;
    if (counters != nullptr) {
        // Started here, after the fork that leaves the terminal: threads do
        // not survive it.
        stats = std::make_unique<tarnwick::StatsFile>(
            options.statsFile, [counters] { return counters->exposition(); },
            [&log](const std::string& line) { log.warning(line); });
        stats->start();
    }
    Bridge bridge{options, log, filter, counters};
    bindBridge(bridge);
    filter.start();
    log.notice("tarnwick-milter " TARNWICK_VERSION " listening on " + options.socket);
    int status = smfi_main() == MI_SUCCESS ? exitOk : exitFailure;
    log.notice("shutting down");
    filter.stop();
    if (stats)
        stats->finish();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    ParsedCommandLine parsed = parseOptions(words);
    switch (parsed.request) {
        case ParsedCommandLine::Request::Help:
            std::fputs(usageText().c_str(), stdout);
            return exitOk;
        case ParsedCommandLine::Request::Version:
            std::puts("tarnwick-milter " TARNWICK_VERSION
                      "\n"
                      "Licensed under the Apache License, Version 2.0.");
            return exitOk;
        case ParsedCommandLine::Request::Error:
            std::fprintf(stderr, "tarnwick-milter: %s\nTry 'tarnwick-milter --help'.\n",
                         parsed.error.c_str());
            return exitUsage;
        case ParsedCommandLine::Request::Run:
            break;
    }
    // Leaving the terminal changes the current folder: relative paths are
    // taken against the folder the bridge was started in.
    BridgeOptions& options = parsed.options;
    options.tarnwickPath = absolutePath(options.tarnwickPath);
    options.workFolder = absolutePath(options.workFolder);
    options.spoolFolder = absolutePath(options.spoolFolder);
    if (!options.pidFile.empty())
        options.pidFile = absolutePath(options.pidFile);
    if (!options.statsFile.empty())
        options.statsFile = absolutePath(options.statsFile);
    // The anti-virus watches ScanMe; a message waiting there could be taken
    // away before the filter reads it, and would be delivered unscanned.
    std::string scanMe = options.workFolder + "/ScanMe";
    if (options.spoolFolder == scanMe || options.spoolFolder.rfind(scanMe + "/", 0) == 0) {
        std::fprintf(stderr, "tarnwick-milter: the spool folder must lie outside %s\n",
                     scanMe.c_str());
        return exitUsage;
    }
    RunAs user;
    if (!lookUpUser(parsed.options.user, user)) {
        std::fprintf(stderr, "tarnwick-milter: no such user '%s'\n", parsed.options.user.c_str());
        return exitUsage;
    }
    // A filter that dies must not take the bridge with it when its pipe breaks.
    ::signal(SIGPIPE, SIG_IGN);
    BridgeLog log(parsed.options.foreground, parsed.options.logLevel);
    return run(parsed.options, user, log);
}
