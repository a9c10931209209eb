// SPDX-License-Identifier: Apache-2.0
// bridge_options.cpp - the command-line words into BridgeOptions.
#include "milter/bridge_options.h"

#include <climits>
#include <optional>

#include "app/option_parser.h"
#include "app/probe_interval.h"

namespace tarnwick::milter {

namespace {

// The longest answer time-out accepted, in seconds (one day).
constexpr int maxAnswerTimeoutSeconds = 24 * 60 * 60;

// The options, with their short spellings; the values are checked below.
const std::vector<KnownOption>& knownBridgeOptions() {
    static const std::vector<KnownOption> options = {
        {"--foreground", false, "-f"}, {"--allow-unwatched", false}, {"--socket", true, "-p"},
        {"--pidfile", true},           {"--user", true, "-u"},       {"--tarnwick", true, "-t"},
        {"--work-dir", true, "-d"},    {"--spool-dir", true, "-s"},  {"--wait", true, "-w"},
        {"--timeout", true, "-T"},     {"--on-virus", true},         {"--on-unscanned", true},
        {"--log-level", true},         {"--stats-file", true},       {"--av-check-every", true},
    };
    return options;
}

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

// applyOption - one option into options; an error text when its value is
// not one the option takes, else empty.
std::string applyOption(const GivenOption& given, BridgeOptions& options) {
    const std::string& name = given.name;
    const std::string& value = given.value;
    if (name == "--foreground") {
        options.foreground = true;
    } else if (name == "--allow-unwatched") {
        options.allowUnwatched = true;
    } else if (name == "--socket") {
        options.socket = value;
    } else if (name == "--pidfile") {
        if (value.empty())
            return "--pidfile needs a path";
        options.pidFile = value;
    } else if (name == "--user") {
        options.user = value;
    } else if (name == "--tarnwick") {
        options.tarnwickPath = value;
    } else if (name == "--work-dir") {
        options.workFolder = value;
    } else if (name == "--spool-dir") {
        options.spoolFolder = value;
    } else if (name == "--wait") {
        if (!parsePositive(value, INT_MAX) && value != "0")
            return "--wait needs a number of seconds, not '" + value + "'";
        options.waitSeconds = value;
    } else if (name == "--timeout") {
        const std::optional<int> seconds = parsePositive(value, maxAnswerTimeoutSeconds);
        if (!seconds)
            return "--timeout needs 1 to 86400 seconds, not '" + value + "'";
        options.answerTimeoutSeconds = *seconds;
    } else if (name == "--on-virus") {
        if (value == "tag")
            options.onVirus = VirusPolicy::Tag;
        else if (value == "reject")
            options.onVirus = VirusPolicy::Reject;
        else if (value == "quarantine")
            options.onVirus = VirusPolicy::Quarantine;
        else if (value == "discard")
            options.onVirus = VirusPolicy::Discard;
        else
            return "--on-virus takes tag, reject, quarantine or discard";
    } else if (name == "--log-level") {
        if (value == "warning")
            options.logLevel = LogLevel::Warning;
        else if (value == "notice")
            options.logLevel = LogLevel::Notice;
        else if (value == "info")
            options.logLevel = LogLevel::Info;
        else
            return "--log-level takes warning, notice or info";
    } else if (name == "--stats-file") {
        if (value.empty())
            return "--stats-file needs a path";
        options.statsFile = value;
    } else if (name == "--av-check-every") {
        int seconds = 0;
        if (!readProbeInterval(value, seconds))
            return probeIntervalError(value);
        options.avCheckEvery = value;
    } else if (name == "--on-unscanned") {
        if (value == "accept")
            options.onUnscanned = UnscannedPolicy::Accept;
        else if (value == "tempfail")
            options.onUnscanned = UnscannedPolicy::Tempfail;
        else
            return "--on-unscanned takes accept or tempfail";
    }
    return {};
}

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
    auto fail = [&parsed](std::string text) {
        parsed.request = ParsedCommandLine::Request::Error;
        parsed.error = std::move(text);
        return parsed;
    };
    const ParsedWords read = parseWords(words, knownBridgeOptions());
    if (!read.error.empty())
        return fail(read.error);
    if (!read.operands.empty())
        return fail("unexpected argument '" + read.operands.front() + "'");
    for (const GivenOption& given : read.options) {
        std::string error = applyOption(given, options);
        if (!error.empty())
            return fail(std::move(error));
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
           "      --log-level LEVEL     warning, notice (default: one summary line per\n"
           "                            message) or info (also every line of the filter)\n"
           "      --stats-file PATH     keeps the bridge's counters in PATH, in Prometheus\n"
           "                            text format, every 15 s; the filter keeps its own\n"
           "                            beside it (NAME.prom: NAME-filter.prom)\n"
           "      --av-check-every N|Ns|Nm\n"
           "                            how often the filter checks that the anti-virus\n"
           "                            reacts: N minutes, 30s, 5m (default 60s); a verdict\n"
           "                            needs a check passed within two of these\n"
           "  -h, --help                this text\n"
           "  -V, --version             the version\n"
           "\n"
           "Logs to syslog (facility mail), or to standard error with -f or without a\n"
           "syslog socket: one summary line per message. See tarnwick-milter(8).\n";
}

}  // namespace tarnwick::milter
