// SPDX-License-Identifier: Apache-2.0
// bridge_log.h - where tarnwick-milter's log lines go: syslog (facility mail)
// when it runs as a daemon, standard error when it runs in the foreground or
// when the machine has no syslog socket to log to.
//
// A BridgeLog is made once in main and handed by reference to whatever logs;
// it holds only its destination and the least level it writes, both chosen
// at construction, so any thread may call it.
#pragma once

#include <string>

namespace tarnwick::milter {

// LogLevel - how important a line is; syslog receives it as the priority,
// standard error shows it as a word in front of the line.
// Info: the filter's own progress lines; Notice: one summary line per
// message and the bridge's starts and stops.
enum class LogLevel { Info, Notice, Warning, Error };

class BridgeLog {
  public:
    // BridgeLog - logs to standard error when foreground is true, otherwise
    // opens syslog under the name "tarnwick-milter"; when no syslog socket
    // accepts a connection, says so once on standard error and logs there.
    // Lines below minimum are not written.
    explicit BridgeLog(bool foreground, LogLevel minimum = LogLevel::Notice);
    // ~BridgeLog - closes syslog when it was opened.
    ~BridgeLog();
    BridgeLog(const BridgeLog&) = delete;
    BridgeLog& operator=(const BridgeLog&) = delete;

    // write - one line; line ends inside text are replaced by blanks.
    void write(LogLevel level, const std::string& text) const;
    void info(const std::string& text) const { write(LogLevel::Info, text); }
    void notice(const std::string& text) const { write(LogLevel::Notice, text); }
    void warning(const std::string& text) const { write(LogLevel::Warning, text); }
    void error(const std::string& text) const { write(LogLevel::Error, text); }
    // toStandardError - true when the lines go to standard error.
    bool toStandardError() const { return toStandardError_; }

  private:
    bool toStandardError_;
    LogLevel minimum_;
};

}  // namespace tarnwick::milter
