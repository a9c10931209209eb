// SPDX-License-Identifier: Apache-2.0
// start_up.cpp - start-up of the filter process.
#include "app/start_up.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "runtime/console_log.h"
#include "runtime/file_system.h"
#include "scanner/scan_folder_owner.h"
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
    filter.waitSeconds = kDefaultWaitSeconds;
    filter.secondReading = true;
    const char* waitArgument = nullptr;
    for (int index = 1; index < argumentCount; ++index) {
        if (std::strcmp(argumentWords[index], kNoSecondReadingOption) == 0)
            filter.secondReading = false;
        else if (waitArgument == nullptr)
            waitArgument = argumentWords[index];
    }
    if (waitArgument != nullptr)
        filter.waitSeconds = parseWaitArgument(waitArgument);
    writeBanner(consoleStream(), filter.waitSeconds);
    // The outcome is not looked at here: the scan job checks the folder for
    // every message and reports a failure there.
    if (!isDirectory(filter.scanFolder))
        makeDirectory(filter.scanFolder);
    claimScanFolder(filter);
    filter.run(inputDescriptor);
    return 0;
}

}  // namespace tarnwick
