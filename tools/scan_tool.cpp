// SPDX-License-Identifier: Apache-2.0
// scan_tool.cpp - the work of tarnwick-scan: reads the command line, lists
// the messages, runs them through the filter's scan job (scan_batch.cpp),
// writes a line per message and chooses the exit status.
//
// The filter is set up as the tarnwick program sets it up, with the run's
// file prefix; its progress lines are sent away from standard output, where
// a mail server looks for the verdicts with regular expressions.
#include "tools/scan_tool.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string_view>

#include "app/option_parser.h"
#include "app/probe_interval.h"
#include "runtime/console_log.h"
#include "runtime/file_system.h"
#include "runtime/platform.h"
#include "scanfiles/folder_claim.h"
#include "scanfiles/scan_file_create.h"
#include "scanfiles/scan_names.h"
#include "scanner/shared_probe.h"
#include "tools/scan_batch.h"

namespace tarnwick {

namespace {

// The verdict lines, after "PATH: ".
constexpr const char* kVirusFoundText = "Virus Found";
constexpr const char* kCleanText = "OK";
constexpr const char* kErrorText = "ERROR";

// The path that stands for standard input, and how its line names it.
constexpr const char* kStandardInputPath = "-";
constexpr const char* kStandardInputName = "stdin";
// Bytes read from standard input at a time.
constexpr std::size_t kInputBlockSize = 64 * 1024;

// usageText - the short usage message of a usage error.
const char* usageText() {
    return "usage: tarnwick-scan [--wait SECONDS] [--no-second-reading] [--scan-dir PATH]\n"
           "                     [--on-limit virus|clean] [--require-av | --allow-unwatched]\n"
           "                     [--av-check-every N|Ns|Nm] [-q] [--summary]\n"
           "                     [--verbose] PATH...\n"
           "  Try 'tarnwick-scan --help' for more information.\n";
}

// isSeparator - either kind of path separator.
bool isSeparator(char byte) {
    return byte == '/' || byte == '\\';
}

// withoutTrailingSeparators - the folder as the scan job joins names to it;
// a root folder ("/", "C:\") keeps its separator.
std::string withoutTrailingSeparators(std::string folder) {
    for (;;) {
        const bool driveRoot = folder.size() == 3 && folder[1] == ':' && isSeparator(folder[2]);
        if (folder.size() <= 1 || driveRoot || !isSeparator(folder.back()))
            return folder;
        folder.pop_back();
    }
}

// parseSeconds - a whole number of seconds from 0 to INT_MAX; false for
// anything else.
bool parseSeconds(const std::string& text, int& seconds) {
    if (text.empty() || text.size() > 10)
        return false;
    long long value = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9')
            return false;
        value = value * 10 + (digit - '0');
    }
    if (value > INT_MAX)
        return false;
    seconds = static_cast<int>(value);
    return true;
}

// knownScanOptions - the options of tarnwick-scan.
const std::vector<KnownOption>& knownScanOptions() {
    static const std::vector<KnownOption> options = {
        {"--no-second-reading", false}, {"--quiet", false, "-q"}, {"--summary", false},
        {"--verbose", false},           {"--require-av", false},  {"--scan-dir", true},
        {"--on-limit", true},           {"--wait", true},         {"--allow-unwatched", false},
        {"--av-check-every", true},
    };
    return options;
}

// usageError - the message, then the usage text; false for the caller.
bool usageError(std::ostream& err, const std::string& message) {
    err << "tarnwick-scan: " << message << '\n' << usageText();
    return false;
}

// joined - folder and name as the scan job joins them.
std::string joined(const std::string& folder, const std::string& name) {
    if (!folder.empty() && isSeparator(folder.back()))
        return folder + name;
    return folder + "/" + name;
}

// oneLine - path with control characters as \xNN escapes, so that one
// message is always one line of output.
std::string oneLine(const std::string& path) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string shown;
    for (const char byte : path) {
        const auto value = static_cast<unsigned char>(byte);
        if (value < 0x20 || value == 0x7F)
            shown += std::string("\\x") + kDigits[value >> 4] + kDigits[value & 0x0F];
        else
            shown += byte;
    }
    return shown;
}

// messageItem - a message for the scan job.
ScanItem messageItem(const std::string& path) {
    ScanItem item;
    item.path = path;
    return item;
}

// failedItem - a message that cannot be handed to the scan job.
ScanItem failedItem(const std::string& path, const std::string& reason) {
    ScanItem item;
    item.path = path;
    item.reason = reason;
    item.scan = false;
    return item;
}

// collectMessages - the messages the paths name, in order: a file itself,
// the ordinary files directly in a folder by name, or an item that fails.
std::vector<ScanItem> collectMessages(const std::vector<std::string>& paths) {
    std::vector<ScanItem> items;
    for (const std::string& path : paths) {
        if (path == kStandardInputPath) {
            items.push_back(messageItem(kStandardInputName));
            items.back().file = kStandardInputPath;
        } else if (isDirectory(path)) {
            std::vector<std::string> names;
            if (!platform::listFolder(path, names)) {
                items.push_back(failedItem(path, "cannot read the folder"));
                continue;
            }
            std::sort(names.begin(), names.end());
            for (const std::string& name : names) {
                const std::string entry = joined(path, name);
                // A link is not followed out of the folder given.
                platform::EntryOwnership what;
                if (platform::entryOwnership(entry, what) && what.isRegularFile)
                    items.push_back(messageItem(entry));
            }
        } else if (isRegularFile(path)) {
            items.push_back(messageItem(path));
        } else {
            items.push_back(failedItem(
                path, platform::pathExists(path) ? "not a regular file" : "no such file"));
        }
    }
    return items;
}

// keepStandardInput - copies standard input into the file at path; false
// when it cannot be created or written completely.
bool keepStandardInput(const std::string& path) {
    std::FILE* copy = createScanFile(path);
    if (copy == nullptr)
        return false;
    std::vector<char> block(kInputBlockSize);
    bool written = true;
    long count = 0;
    while ((count = platform::readDescriptor(0, block.data(), block.size())) > 0)
        written = written && std::fwrite(block.data(), 1, static_cast<std::size_t>(count), copy) ==
                                 static_cast<std::size_t>(count);
    return std::fclose(copy) == 0 && written && count == 0;
}

// takeStandardInput - the message on standard input becomes a file of the
// run in the scan folder; standard input is read once, so a second "-"
// fails.
void takeStandardInput(std::vector<ScanItem>& items, const std::string& folder,
                       const std::string& prefix) {
    bool taken = false;
    for (ScanItem& item : items) {
        if (item.file != kStandardInputPath)
            continue;
        item.file = inputFileName(folder, prefix);
        if (taken || !keepStandardInput(item.file)) {
            item.reason = taken ? "standard input given twice"
                                : "cannot keep standard input in the scan folder";
            item.scan = false;
        }
        taken = true;
    }
}

// NullBuffer - a stream buffer that takes everything and keeps nothing.
class NullBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// discardedLines - a stream that takes everything and keeps nothing.
std::ostream& discardedLines() {
    static NullBuffer discarded;
    static std::ostream nowhere(&discarded);
    return nowhere;
}

// refuseUnlessWatched - the anti-virus seen reacting in folder within the
// interval (by this run's probe or another's) before any scan; when it was
// not, no message gets a verdict: each one still to be scanned becomes an
// error. The check's lines go to log.
void refuseUnlessWatched(std::vector<ScanItem>& items, const std::string& folder, int waitSeconds,
                         int intervalSeconds, std::ostream& log) {
    const SharedProbeOutcome probe = probeUnlessRecent(folder, waitSeconds, intervalSeconds);
    for (const std::string& line : probe.lines)
        log << line << '\n';
    if (probe.watching)
        return;
    for (ScanItem& item : items) {
        if (!item.scan)
            continue;
        item.scan = false;
        item.reason = "the anti-virus is not watching " + folder;
    }
}

}  // namespace

// parseScanArguments - see the header.
bool parseScanArguments(const std::vector<std::string>& arguments, ScanToolOptions& options,
                        std::ostream& err) {
    options = ScanToolOptions{};
    options.filePrefix = runFilePrefix(platform::currentProcessId());
    const ParsedWords parsed = parseWords(arguments, knownScanOptions());
    if (!parsed.error.empty())
        return usageError(err, parsed.error);
    for (const GivenOption& given : parsed.options) {
        const std::string& value = given.value;
        if (given.name == "--no-second-reading") {
            options.secondReading = false;
        } else if (given.name == "--quiet") {
            options.quiet = true;
        } else if (given.name == "--summary") {
            options.summary = true;
        } else if (given.name == "--verbose") {
            options.verbose = true;
        } else if (given.name == "--require-av") {
            options.requireAv = true;
        } else if (given.name == "--allow-unwatched") {
            options.requireAv = false;
        } else if (given.name == "--av-check-every") {
            if (!readProbeInterval(value, options.probeIntervalSeconds))
                return usageError(err, probeIntervalError(value));
        } else if (given.name == "--scan-dir") {
            if (value.empty())
                return usageError(err, "--scan-dir needs a folder");
            options.scanFolder = withoutTrailingSeparators(value);
        } else if (given.name == "--on-limit") {
            if (value != "virus" && value != "clean")
                return usageError(err, "--on-limit takes virus or clean, not '" + value + "'");
            options.limitsFailClosed = value == "virus";
        } else if (!parseSeconds(value, options.waitSeconds)) {
            return usageError(err, "--wait takes whole seconds (0 or more), not '" + value + "'");
        }
    }
    options.paths = parsed.operands;
    if (options.paths.empty())
        return usageError(err, "no message given");
    return true;
}

// runScan - see the header.
int runScan(const ScanToolOptions& options, std::ostream& out, std::ostream& err) {
    std::vector<ScanItem> items = collectMessages(options.paths);

    // Never destroyed while a worker may still use it: the batch waits for
    // every worker it started before it returns.
    AvFilter filter;
    filter.waitSeconds = options.waitSeconds;
    filter.secondReading = options.secondReading;
    filter.limitsFailClosed = options.limitsFailClosed;
    filter.scanFolder = options.scanFolder;
    filter.scanFilePrefix = options.filePrefix;
    // Each worker writes only its own message's item, before the batch
    // hears of its verdict under the batch's lock.
    filter.onVirusFound = [&items](std::uint32_t requestId, const std::string& detail) {
        if (requestId >= 1 && requestId <= items.size())
            items[requestId - 1].detail = detail;
    };
    if (!isDirectory(filter.scanFolder))
        makeDirectory(filter.scanFolder);
    takeStandardInput(items, filter.scanFolder, filter.scanFilePrefix);
    // A folder that could not be made fails every message with its own reason.
    if (options.requireAv && isDirectory(filter.scanFolder))
        refuseUnlessWatched(items, filter.scanFolder, options.waitSeconds,
                            options.probeIntervalSeconds, options.verbose ? err : discardedLines());

    std::size_t infected = 0;
    std::size_t failed = 0;
    {
        const ConsoleRedirect progress(options.verbose ? err : discardedLines());
        scanBatch(filter, items, kMaxScansInFlight, [&](std::size_t index) {
            ScanItem& item = items[index];
            // Standard input kept in the watched folder and gone before the
            // scan could open it: the anti-virus removed the message.
            if (item.verdict == ScanVerdict::Error && item.scan &&
                item.path == kStandardInputName && !platform::pathExists(item.file)) {
                item.verdict = ScanVerdict::VirusFound;
                item.detail = "the message removed";
            }
            const std::string shown = oneLine(item.path);
            if (item.verdict == ScanVerdict::VirusFound) {
                ++infected;
                out << shown << ": " << kVirusFoundText
                    << (item.detail.empty() ? "" : " (" + item.detail + ")") << '\n'
                    << std::flush;
            } else if (item.verdict == ScanVerdict::Clean) {
                if (!options.quiet)
                    out << shown << ": " << kCleanText << '\n' << std::flush;
            } else {
                ++failed;
                (options.quiet ? err : out)
                    << shown << ": " << kErrorText << ' ' << item.reason << '\n'
                    << std::flush;
            }
        });
        // What the anti-virus held past the filter's rounds of waiting gets
        // one more try; whatever of this run is left then goes too.
        filter.retryLeftovers();
    }
    removeRunFiles(filter.scanFolder, filter.scanFilePrefix);

    if (options.summary)
        out << "scanned " << items.size() << " messages: " << infected << " infected, " << failed
            << " could not be scanned\n"
            << std::flush;
    if (infected > 0)
        return kScanToolVirusFound;
    return failed > 0 ? kScanToolError : kScanToolClean;
}

// runScanTool - read, then run.
int runScanTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    ScanToolOptions options;
    if (!parseScanArguments(arguments, options, err))
        return kScanToolError;
    return runScan(options, out, err);
}

}  // namespace tarnwick
