// SPDX-License-Identifier: Apache-2.0
// start_up.cpp - start-up of the filter process.
#include "app/start_up.h"

#include <climits>
#include <cstdint>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/check_command.h"
#include "app/command_line.h"
#include "app/filter_counters.h"
#include "app/option_parser.h"
#include "runtime/console_log.h"
#include "runtime/platform.h"
#include "runtime/stats_file.h"
#include "scanfiles/folder_claim.h"
#include "scanner/av_watch.h"
#include "tarnwick/version.h"

namespace tarnwick {

namespace {

// isAtoiSpace - the white space atoi skips.
bool isAtoiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

// parseWaitArgument - atoi's reading, saturated, negatives as 0.
int parseWaitArgument(const char* argument) {
    if (argument == nullptr)
        return 0;
    const char* p = argument;
    while (isAtoiSpace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // atoi's own overflow is undefined; stopping at INT_MAX keeps a huge wait
    // huge instead of letting it wrap into a short or negative one.
    std::int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT_MAX)
            value = INT_MAX;
    }
    if (negative)
        return 0;
    return static_cast<int>(value);
}

// writeBanner - the three lines that announce the filter.
void writeBanner(std::ostream& stream, int waitSeconds) {
    stream << "* Quillmark's Tarnwick v" TARNWICK_VERSION " running (" << waitSeconds << ")...\n"
           << "* This software uses a built-in MIME unpacker\n"
           << "* See tarnwick-readme for details\n"
           << std::flush;
}

// startUp - prepare, then hand over to the command loop.
int startUp(AvFilter& filter, int argumentCount, char** argumentWords, int inputDescriptor) {
    const StartOptions options =
        readCommandLine(platform::commandLineArguments(argumentCount, argumentWords));
    if (!options.error.empty()) {
        // Refused before anything is made; the mail server reads standard
        // output, a person at a terminal may only see standard error.
        writeLogLine(errorLine(options.error));
        std::cerr << errorLine(options.error) << std::endl;
        return kCommandLineRefused;
    }
    filter.waitSeconds = options.waitSeconds;
    filter.secondReading = options.secondReading;
    filter.limitsFailClosed = options.limitsFailClosed;
    if (!options.scanFolder.empty())
        filter.scanFolder = options.scanFolder;
    filter.requireAv = options.requireAv;
    // Under --require-av the evidence must stay recent: the probe repeats.
    int everySeconds = options.probeEverySeconds;
    if (everySeconds < 0)
        everySeconds = options.requireAv ? kDefaultProbeIntervalSeconds : 0;
    filter.antivirusEvidence.setInterval(everySeconds);
    if (options.check)
        return runCheckCommand(filter.scanFolder, filter.waitSeconds, consoleStream(),
                               options.checkSizeMegabytes);
    writeBanner(consoleStream(), filter.waitSeconds);
    std::unique_ptr<StatsFile> stats;
    if (!options.statsFile.empty()) {
        // Deliberately leaked, like the filter: workers report into it to the end.
        auto* counters = new FilterCounters();
        filter.setEvents(counters);
        stats = std::make_unique<StatsFile>(
            options.statsFile, [counters] { return counters->exposition(); },
            [](const std::string& line) { writeLogLine("* " + line); });
        stats->start();
    }
    // Makes the folder too; a scan job still checks it for every message.
    const std::shared_ptr<AvWatch> watch =
        startAvChecks(filter, AvCheckSettings{options.probe, everySeconds});
    // The scan files earlier runs left behind, once the folder is there.
    filter.scanFilePrefix = claimScanFolder(filter.scanFolder, filter.scanFiles()).prefix;
    filter.run(inputDescriptor);
    // No test file of a probe in progress is left behind in ScanMe.
    watch->end();
    if (stats)
        stats->finish();
    return 0;
}

}  // namespace tarnwick
