// SPDX-License-Identifier: Apache-2.0
// bridge_options.cpp - the command-line words into BridgeOptions.
#include "milter/bridge_options.h"

#include <climits>
#include <optional>

namespace tarnwick::milter {

namespace {

// The longest answer time-out accepted, in seconds (one day).
constexpr int maxAnswerTimeoutSeconds = 24 * 60 * 60;

// Option - one option that takes a value: its short and long spelling.
struct ValueOption {
    const char* shortName;  // may be nullptr
    const char* longName;
};

constexpr ValueOption socketOption{"-p", "--socket"};
constexpr ValueOption userOption{"-u", "--user"};
constexpr ValueOption tarnwickOption{"-t", "--tarnwick"};
constexpr ValueOption workOption{"-d", "--work-dir"};
constexpr ValueOption spoolOption{"-s", "--spool-dir"};
constexpr ValueOption waitOption{"-w", "--wait"};
constexpr ValueOption timeoutOption{"-T", "--timeout"};
constexpr ValueOption pidFileOption{nullptr, "--pidfile"};
constexpr ValueOption virusOption{nullptr, "--on-virus"};
constexpr ValueOption unscannedOption{nullptr, "--on-unscanned"};

// parsePositive - a decimal number from 1 to limit, or nothing.
std::optional<int> parsePositive(const std::string& text, int limit) {
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > limit)
        return std::nullopt;
    return value;
}

// hasLineBreak - a path with a line break cannot travel in a FILE command.
bool hasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

// Cursor - walks the words, handing out option values.
class Cursor {
  public:
    explicit Cursor(const std::vector<std::string>& words) : words_(words) {}
    bool done() const { return index_ >= words_.size(); }
    const std::string& word() const { return words_[index_]; }
    void next() { ++index_; }

    // takeValue - when the current word is option, its value (the next word,
    // or what follows '=' in a long option); error is set when it is missing.
    bool takeValue(const ValueOption& option, std::string& value, std::string& error) {
        const std::string& current = word();
        std::string longPrefix = std::string(option.longName) + "=";
        if (current.rfind(longPrefix, 0) == 0) {
            value = current.substr(longPrefix.size());
            return true;
        }
        bool matches = current == option.longName ||
                       (option.shortName != nullptr && current == option.shortName);
        if (!matches)
            return false;
        if (index_ + 1 >= words_.size()) {
            error = "option " + current + " needs a value";
            return true;
        }
        ++index_;
        value = words_[index_];
        return true;
    }

  private:
    const std::vector<std::string>& words_;
    std::size_t index_ = 0;
};

}  // namespace

ParsedCommandLine parseOptions(const std::vector<std::string>& words) {
    ParsedCommandLine parsed;
    for (const std::string& word : words) {
        if (word == "--help" || word == "-h") {
            parsed.request = ParsedCommandLine::Request::Help;
            return parsed;
        }
        if (word == "--version" || word == "-V") {
            parsed.request = ParsedCommandLine::Request::Version;
            return parsed;
        }
    }
    BridgeOptions& options = parsed.options;
    std::string error;
    auto fail = [&parsed](std::string text) {
        parsed.request = ParsedCommandLine::Request::Error;
        parsed.error = std::move(text);
        return parsed;
    };
    for (Cursor cursor(words); !cursor.done(); cursor.next()) {
        std::string value;
        if (cursor.word() == "-f" || cursor.word() == "--foreground") {
            options.foreground = true;
        } else if (cursor.word() == "--allow-unwatched") {
            options.allowUnwatched = true;
        } else if (cursor.takeValue(socketOption, value, error)) {
            options.socket = value;
        } else if (cursor.takeValue(pidFileOption, value, error)) {
            if (error.empty() && value.empty())
                return fail("--pidfile needs a path");
            options.pidFile = value;
        } else if (cursor.takeValue(userOption, value, error)) {
            options.user = value;
        } else if (cursor.takeValue(tarnwickOption, value, error)) {
            options.tarnwickPath = value;
        } else if (cursor.takeValue(workOption, value, error)) {
            options.workFolder = value;
        } else if (cursor.takeValue(spoolOption, value, error)) {
            options.spoolFolder = value;
        } else if (cursor.takeValue(waitOption, value, error)) {
            if (error.empty() && !parsePositive(value, INT_MAX) && value != "0")
                return fail("--wait needs a number of seconds, not '" + value + "'");
            options.waitSeconds = value;
        } else if (cursor.takeValue(timeoutOption, value, error)) {
            std::optional<int> seconds = parsePositive(value, maxAnswerTimeoutSeconds);
            if (error.empty() && !seconds)
                return fail("--timeout needs 1 to 86400 seconds, not '" + value + "'");
            options.answerTimeoutSeconds = seconds.value_or(defaultAnswerTimeoutSeconds);
        } else if (cursor.takeValue(virusOption, value, error)) {
            if (value == "tag")
                options.onVirus = VirusPolicy::Tag;
            else if (value == "reject")
                options.onVirus = VirusPolicy::Reject;
            else if (value == "quarantine")
                options.onVirus = VirusPolicy::Quarantine;
            else if (value == "discard")
                options.onVirus = VirusPolicy::Discard;
            else if (error.empty())
                return fail("--on-virus takes tag, reject, quarantine or discard");
        } else if (cursor.takeValue(unscannedOption, value, error)) {
            if (value == "accept")
                options.onUnscanned = UnscannedPolicy::Accept;
            else if (value == "tempfail")
                options.onUnscanned = UnscannedPolicy::Tempfail;
            else if (error.empty())
                return fail("--on-unscanned takes accept or tempfail");
        } else {
            return fail("unknown option '" + cursor.word() + "'");
        }
        if (!error.empty())
            return fail(error);
    }
    if (options.socket.empty())
        return fail("the socket (-p) must not be empty");
    if (hasLineBreak(options.spoolFolder) || options.spoolFolder.empty())
        return fail("the spool folder must be a path without line breaks");
    if (options.workFolder.empty())
        return fail("the working folder must not be empty");
    return parsed;
}

std::string usageText() {
    return "Usage: tarnwick-milter [OPTIONS]\n"
           "Lets a mail server that speaks the milter protocol (Postfix, Sendmail) have every\n"
           "message checked by tarnwick, which it starts and supervises.\n"
           "\n"
           "  -p, --socket SOCKET       where to listen: unix:/PATH or inet:PORT@ADDRESS\n"
           "                            (default unix:/run/tarnwick/milter.sock)\n"
           "  -u, --user USER           run as USER once the socket is open\n"
           "  -f, --foreground          stay in the foreground, log to standard error\n"
           "      --pidfile PATH        write the process id to PATH (made before the\n"
           "                            user changes, emptied or removed at exit)\n"
           "  -t, --tarnwick PATH       the filter program (default: tarnwick beside this one)\n"
           "  -d, --work-dir DIR        the filter's working folder, where ScanMe lives\n"
           "                            (default /var/lib/tarnwick)\n"
           "  -s, --spool-dir DIR       where messages wait for their answer (default\n"
           "                            /var/spool/tarnwick, created mode 0700)\n"
           "  -w, --wait SECONDS        the filter's base wait (default: the filter's own, 5)\n"
           "  -T, --timeout SECONDS     a message unanswered this long means a hung filter:\n"
           "                            messages in flight are tempfailed, the filter is\n"
           "                            restarted (default 240)\n"
           "      --on-virus ACTION     tag (default), reject, quarantine or discard\n"
           "      --on-unscanned ACTION tempfail (default) or accept\n"
           "      --allow-unwatched     scan even while the anti-virus is not seen to watch\n"
           "                            ScanMe (without it the filter runs with\n"
           "                            --require-av and such messages are tempfailed)\n"
           "  -h, --help                this text\n"
           "  -V, --version             the version\n"
           "\n"
           "Logs to syslog (facility mail), or to standard error with -f or without a\n"
           "syslog socket: one summary line per message. See tarnwick-milter(8).\n";
}

}  // namespace tarnwick::milter
