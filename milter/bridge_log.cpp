// SPDX-License-Identifier: Apache-2.0
// bridge_log.cpp - syslog or standard error, one whole line per call.
#include "milter/bridge_log.h"

#include <syslog.h>

#include <cstdio>

namespace tarnwick::milter {

namespace {

// syslogPriority - the syslog priority of a level.
int syslogPriority(LogLevel level) {
    switch (level) {
        case LogLevel::Warning:
            return LOG_WARNING;
        case LogLevel::Error:
            return LOG_ERR;
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
        case LogLevel::Info:
            break;
    }
    return "";
}

}  // namespace

BridgeLog::BridgeLog(bool foreground) : foreground_(foreground) {
    if (!foreground_)
        ::openlog("tarnwick-milter", LOG_PID, LOG_MAIL);
}

BridgeLog::~BridgeLog() {
    if (!foreground_)
        ::closelog();
}

void BridgeLog::write(LogLevel level, const std::string& text) const {
    std::string line = text;
    for (char& c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    if (foreground_) {
        // One fprintf per line: stdio locks the stream, so lines never mix.
        std::fprintf(stderr, "tarnwick-milter: %s%s\n", levelWord(level), line.c_str());
        std::fflush(stderr);
    } else {
        ::syslog(syslogPriority(level), "%s", line.c_str());
    }
}

}  // namespace tarnwick::milter
