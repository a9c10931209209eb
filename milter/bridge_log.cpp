// SPDX-License-Identifier: Apache-2.0
// bridge_log.cpp - syslog or standard error, one whole line per call.
#include "milter/bridge_log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace tarnwick::milter {

namespace {

// syslogPriority - the syslog priority of a level.
int syslogPriority(LogLevel level) {
    switch (level) {
        case LogLevel::Warning:
            return LOG_WARNING;
        case LogLevel::Error:
            return LOG_ERR;
        case LogLevel::Notice:
            return LOG_NOTICE;
        case LogLevel::Info:
            break;
    }
    return LOG_INFO;
}

// levelWord - the word shown in front of a line on standard error.
const char* levelWord(LogLevel level) {
    switch (level) {
        case LogLevel::Warning:
            return "warning: ";
        case LogLevel::Error:
            return "error: ";
        case LogLevel::Notice:
        case LogLevel::Info:
            break;
    }
    return "";
}

// The socket the C library's syslog() writes to.
constexpr const char* syslogSocket = "/dev/log";

// syslogProblem - empty when a syslog socket accepts a connection (datagram
// or stream, as syslog() tries them), otherwise the system's error text.
std::string syslogProblem() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, syslogSocket, sizeof address.sun_path - 1);
    int error = 0;
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        bool connected =
            ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        error = connected ? 0 : errno;
        ::close(fd);
        if (connected)
            return "";
    }
    return std::strerror(error);
}

}  // namespace

BridgeLog::BridgeLog(bool foreground, LogLevel minimum)
    : toStandardError_(foreground), minimum_(minimum) {
    if (toStandardError_)
        return;
    std::string problem = syslogProblem();
    if (!problem.empty()) {
        std::fprintf(stderr,
                     "tarnwick-milter: no syslog socket at %s (%s): logging to standard error\n",
                     syslogSocket, problem.c_str());
        toStandardError_ = true;
        return;
    }
    ::openlog("tarnwick-milter", LOG_PID, LOG_MAIL);
}

BridgeLog::~BridgeLog() {
    if (!toStandardError_)
        ::closelog();
}

void BridgeLog::write(LogLevel level, const std::string& text) const {
    if (level < minimum_)
        return;
    std::string line = text;
    for (char& c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    if (toStandardError_) {
        // One fprintf per line: stdio locks the stream, so lines never mix.
        std::fprintf(stderr, "tarnwick-milter: %s%s\n", levelWord(level), line.c_str());
        std::fflush(stderr);
    } else {
        ::syslog(syslogPriority(level), "%s", line.c_str());
    }
}

}  // namespace tarnwick::milter
