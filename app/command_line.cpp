// SPDX-License-Identifier: Apache-2.0
// command_line.cpp - the --help and --version texts of tarnwick.
#include "app/command_line.h"

#include <string_view>

#include "app/check_command.h"
#include "app/option_parser.h"
#include "app/probe_interval.h"
#include "app/start_up.h"
#include "tarnwick/version.h"

namespace tarnwick {

namespace {

constexpr std::string_view kHelpArgument = "--help";
constexpr std::string_view kVersionArgument = "--version";
constexpr std::string_view kScanDirOption = "--scan-dir";
constexpr std::string_view kCheckOption = "--check";
constexpr std::string_view kNoAvCheckOption = "--no-av-check";
constexpr std::string_view kAvCheckEveryOption = "--av-check-every";
constexpr std::string_view kRequireAvOption = "--require-av";
constexpr std::string_view kOnLimitOption = "--on-limit";
constexpr std::string_view kStatsFileOption = "--stats-file";
constexpr std::string_view kSizeOption = "--size";

// The options of a filter run.
const std::vector<KnownOption>& knownOptions() {
    static const std::vector<KnownOption> options = {
        {kNoSecondReadingOption, false}, {kScanDirOption, true},      {kCheckOption, false},
        {kNoAvCheckOption, false},       {kAvCheckEveryOption, true}, {kRequireAvOption, false},
        {kOnLimitOption, true},          {kStatsFileOption, true},    {kSizeOption, true},
    };
    return options;
}

// helpText - the usage summary; the guide and, except on Windows, the man page
// say the rest.
constexpr const char* helpText() {
    return "Usage: tarnwick [OPTIONS] [WAIT]\n"
           "       tarnwick --check [--scan-dir PATH] [--size MB] [WAIT]\n"
           "       tarnwick --help | --version\n"
           "\n"
           "A content-filter helper for a mail server: reads INTF, KEY, FILE and QUIT\n"
           "commands on standard input and answers on standard output. Each message is\n"
           "copied into the folder ScanMe of the current folder, and its attachments\n"
           "decoded beside it, for the resident on-access anti-virus to judge.\n"
           "\n"
           "  WAIT                  base wait in seconds for the anti-virus (default 5);\n"
           "                        both waits grow with the message size\n"
           "  --scan-dir PATH       the folder to use instead of ./ScanMe (made if missing)\n"
           "  --no-second-reading   turns off the second, tolerant reading of each message\n"
           "                        that writes extra files msg-N-extra-K.scanme\n"
           "  --on-limit virus|clean\n"
           "                        the answer when the second reading stops at one of its\n"
           "                        limits with parts left unread (default virus; clean:\n"
           "                        judged by what was written)\n"
           "  --check               checks that ScanMe is usable and that the anti-virus\n"
           "                        reacts to a test file in it, reports and exits:\n"
           "                        0 watching, 1 not watching, 2 ScanMe unusable\n"
           "  --size MB             with --check: also a test file of MB megabytes, to\n"
           "                        see that the anti-virus checks files that large\n"
           "  --no-av-check         no anti-virus test file at start-up\n"
           "  --av-check-every N|Ns|Nm\n"
           "                        repeats the anti-virus check every N minutes, N\n"
           "                        seconds (30s) or N minutes (5m); 0: only at start-up\n"
           "                        (the default, or 1m with --require-av)\n"
           "  --require-av          postpones every message unless the last check saw the\n"
           "                        anti-virus react within two intervals\n"
           "  --stats-file PATH     keeps the counters (messages by verdict, viruses,\n"
           "                        anti-virus checks, times) in PATH for a monitoring\n"
           "                        system, in Prometheus text format, every 15 s\n"
           "  --help                prints this text and exits\n"
           "  --version             prints the version and exits\n"
           "\n"
#if TARNWICK_WINDOWS_BUILD
           "See tarnwick-readme.txt.\n";
#else
           "See tarnwick-readme.txt and tarnwick(8).\n";
#endif
}

}  // namespace

// findInformationRequest - see the header.
InformationRequest findInformationRequest(int argumentCount, const char* const* argumentWords) {
    for (int index = 1; index < argumentCount; ++index) {
        const std::string_view argument =
            argumentWords[index] == nullptr ? std::string_view() : argumentWords[index];
        if (argument == kHelpArgument)
            return InformationRequest::Help;
        if (argument == kVersionArgument)
            return InformationRequest::Version;
    }
    return InformationRequest::None;
}

// writeInformation - see the header.
int writeInformation(InformationRequest request, std::ostream& stream) {
    if (request == InformationRequest::Help)
        stream << helpText();
    else
        stream << "tarnwick " TARNWICK_VERSION "\n"
               << "Licensed under the Apache License, Version 2.0.\n";
    stream.flush();
    return 0;
}

// readCommandLine - see the header.
StartOptions readCommandLine(const std::vector<std::string>& words) {
    StartOptions options;
    const ParsedWords parsed = parseWords(words, knownOptions());
    if (!parsed.error.empty()) {
        options.error = parsed.error + " (see tarnwick --help)";
        return options;
    }
    for (const GivenOption& given : parsed.options) {
        if (given.name == kNoSecondReadingOption) {
            options.secondReading = false;
        } else if (given.name == kScanDirOption) {
            if (given.value.empty()) {
                options.error = "--scan-dir needs a folder";
                return options;
            }
            options.scanFolder = given.value;
        } else if (given.name == kCheckOption) {
            options.check = true;
        } else if (given.name == kNoAvCheckOption) {
            options.probe = false;
        } else if (given.name == kAvCheckEveryOption) {
            if (!readProbeInterval(given.value, options.probeEverySeconds)) {
                options.error = probeIntervalError(given.value);
                return options;
            }
        } else if (given.name == kSizeOption) {
            if (!isInteger(given.value) || given.value.front() == '-' || given.value.size() > 5 ||
                std::stoi(given.value) < 1 || std::stoi(given.value) > kLargestCheckSizeMegabytes) {
                options.error = "--size needs a number of megabytes from 1 to " +
                                std::to_string(kLargestCheckSizeMegabytes) + ", not '" +
                                given.value + "'";
                return options;
            }
            options.checkSizeMegabytes = std::stoi(given.value);
        } else if (given.name == kRequireAvOption) {
            options.requireAv = true;
        } else if (given.name == kStatsFileOption) {
            if (given.value.empty()) {
                options.error = "--stats-file needs a path";
                return options;
            }
            options.statsFile = given.value;
        } else if (given.name == kOnLimitOption) {
            if (given.value != "virus" && given.value != "clean") {
                options.error = "--on-limit takes virus or clean, not '" + given.value + "'";
                return options;
            }
            options.limitsFailClosed = given.value == "virus";
        }
    }
    if (!options.probe && (options.requireAv || options.check)) {
        options.error = std::string(kNoAvCheckOption) + " cannot go with " +
                        (options.check ? "--check" : "--require-av");
        return options;
    }
    if (options.checkSizeMegabytes > 0 && !options.check) {
        options.error = "--size goes only with --check";
        return options;
    }
    if (parsed.operands.size() > 1) {
        options.error = "only one WAIT may be given, not also '" + parsed.operands[1] + "'";
        return options;
    }
    if (!parsed.operands.empty()) {
        if (!isInteger(parsed.operands[0])) {
            options.error =
                "WAIT must be a whole number of seconds, not '" + parsed.operands[0] + "'";
            return options;
        }
        options.waitSeconds = parseWaitArgument(parsed.operands[0].c_str());
    }
    return options;
}

}  // namespace tarnwick
