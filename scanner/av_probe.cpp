// SPDX-License-Identifier: Apache-2.0
// av_probe.cpp - writing the test file, watching it, and the probe's lines.
#include "scanner/av_probe.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "runtime/platform.h"
#include "scanfiles/scan_file_create.h"
#include "scanfiles/scan_names.h"

namespace tarnwick {

namespace {

constexpr const char* kLinePrefix = "* Anti-virus check: ";

// The test file in pieces; none of them alone is the file.
constexpr const char* kTestFilePieces[] = {
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$",
    "EIC"
    "AR-STAND"
    "ARD-ANTIVIRUS-",
    "TEST-FILE!$H+H*",
};
constexpr std::size_t kTestFileLength = 68;
// The blank lines after the test file of a sized probe are written this
// many bytes at a time.
constexpr std::size_t kBlankLinesBytes = 64 * 1024;

// steadyMilliseconds - the default clock.
std::int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ClockUse - the clock of a probe, defaults filled in.
struct ClockUse {
    explicit ClockUse(const ProbeClock& given) : clock(given) {
        if (!clock.nowMilliseconds)
            clock.nowMilliseconds = steadyMilliseconds;
        if (!clock.sleep)
            clock.sleep = [](std::int64_t ms) {
                platform::sleepMilliseconds(static_cast<std::uint64_t>(ms));
            };
        if (!clock.stopRequested)
            clock.stopRequested = [] { return false; };
    }
    ProbeClock clock;
};

// isDiskReason - a failure to write that is not the anti-virus's: the
// disk's, or a name taken by something that is not our test file (a file, a
// link, a device), which proves nothing about the anti-virus.
bool isDiskReason(int error) {
    return error == ENOENT || error == ENOTDIR || error == EEXIST ||
           platform::isNoSpaceError(error);
}

// writeTestFile - creates and writes the test file, padded with blank
// lines to fileBytes; 0 or the error code.
int writeTestFile(const std::string& path, const std::string& content, std::uint64_t fileBytes) {
    errno = 0;
    std::FILE* file = createScanFile(path);
    if (file == nullptr)
        return errno != 0 ? errno : EACCES;
    errno = 0;
    bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    std::uint64_t left = fileBytes > content.size() ? fileBytes - content.size() : 0;
    const std::string blankLines(left > 0 ? kBlankLinesBytes : 0, '\n');
    while (written && left > 0) {
        const std::size_t piece =
            left < blankLines.size() ? static_cast<std::size_t>(left) : blankLines.size();
        written = std::fwrite(blankLines.data(), 1, piece, file) == piece;
        left -= piece;
    }
    int error = written ? 0 : (errno != 0 ? errno : EIO);
    errno = 0;
    if (std::fclose(file) != 0 && error == 0)
        error = errno != 0 ? errno : EIO;
    return error;
}

// look - what the anti-virus has done to the test file so far; Nothing
// while it is as written.
ProbeReaction look(const std::string& path, const std::string& content, std::uint64_t fileBytes) {
    platform::PathStatus status;
    if (!platform::statPath(path, status))
        return ProbeReaction::Removed;
    if (fileBytes > content.size() && static_cast<std::uint64_t>(status.size) != fileBytes)
        return ProbeReaction::Changed;
    errno = 0;
    std::FILE* file = platform::openSharedFile(path, "rb");
    if (file == nullptr)
        return errno == ENOENT ? ProbeReaction::Removed : ProbeReaction::Locked;
    char found[kTestFileLength + 1];
    const std::size_t count = std::fread(found, 1, sizeof found, file);
    const bool readFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (readFailed)
        return ProbeReaction::Locked;
    const std::size_t expected = fileBytes > content.size() ? content.size() + 1 : content.size();
    if (count != expected || std::memcmp(found, content.data(), content.size()) != 0)
        return ProbeReaction::Changed;
    return ProbeReaction::Nothing;
}

// removeLeftover - removes what is left of the test file, waiting a bounded
// time for an anti-virus that still holds it; 0 or the last error code.
int removeLeftover(const std::string& path, const ProbeClock& clock) {
    const std::int64_t giveUpAt = clock.nowMilliseconds() + kProbeRemovalMilliseconds;
    for (;;) {
        const int error = platform::removePath(path);
        if (error == 0 || error == ENOENT)
            return 0;
        if (clock.nowMilliseconds() >= giveUpAt)
            return error;
        clock.sleep(kProbeLookMilliseconds);
    }
}

// tenths - milliseconds as seconds with one decimal ("0.4").
std::string tenths(std::int64_t milliseconds) {
    const std::int64_t count = (milliseconds + 50) / 100;
    return std::to_string(count / 10) + "." + std::to_string(count % 10);
}

// reactionWord - how the line names a reaction.
const char* reactionWord(ProbeReaction reaction) {
    switch (reaction) {
        case ProbeReaction::Removed:
            return "removed";
        case ProbeReaction::Changed:
            return "changed";
        default:
            return "locked";
    }
}

}  // namespace

// probeBoundSeconds - the base wait within the probe's bounds.
int probeBoundSeconds(int waitSeconds) {
    if (waitSeconds < kProbeShortestBoundSeconds)
        return kProbeShortestBoundSeconds;
    return waitSeconds > kProbeLongestBoundSeconds ? kProbeLongestBoundSeconds : waitSeconds;
}

// antivirusTestFile - the pieces joined.
std::string antivirusTestFile() {
    std::string content;
    for (const char* piece : kTestFilePieces)
        content += piece;
    return content;
}

// reacted - removed, changed or locked.
bool reacted(const ProbeResult& result) {
    return result.reaction == ProbeReaction::Removed || result.reaction == ProbeReaction::Changed ||
           result.reaction == ProbeReaction::Locked;
}

// runAvProbe - write, offer, watch, clean up.
ProbeResult runAvProbe(const std::string& folder, int waitSeconds, const ProbeClock& given,
                       std::uint64_t fileBytes) {
    const ClockUse use(given);
    const ProbeClock& clock = use.clock;
    ProbeResult result;
    result.boundSeconds = probeBoundSeconds(waitSeconds);
    result.path = probeFileName(folder, platform::currentProcessId());
    const std::string content = antivirusTestFile();

    if (clock.stopRequested()) {
        result.stopped = true;
        return result;
    }
    const std::int64_t started = clock.nowMilliseconds();
    const int writeError = writeTestFile(result.path, content, fileBytes);
    if (writeError != 0 && isDiskReason(writeError)) {
        result.reaction = ProbeReaction::NotWritten;
        result.error = writeError;
    } else if (writeError != 0) {
        // The folder passed its check: a refused test file is the anti-virus's doing.
        result.reaction = ProbeReaction::Locked;
    } else {
        const std::int64_t closed = clock.nowMilliseconds();
        platform::offerToScanner(result.path);
        const std::int64_t bound = static_cast<std::int64_t>(result.boundSeconds) * 1000;
        for (;;) {
            if (clock.stopRequested()) {
                result.stopped = true;
                break;
            }
            result.reaction = look(result.path, content, fileBytes);
            result.milliseconds = clock.nowMilliseconds() - closed;
            if (result.reaction != ProbeReaction::Nothing || result.milliseconds >= bound)
                break;
            clock.sleep(kProbeLookMilliseconds);
        }
    }
    if (result.reaction == ProbeReaction::Locked && writeError != 0)
        result.milliseconds = clock.nowMilliseconds() - started;
    // A taken name is not ours to remove.
    if (writeError != EEXIST)
        result.removalError = removeLeftover(result.path, clock);
    result.leftBehind = result.removalError != 0;
    return result;
}

// probeLines - one line for the outcome, one more for a slow reaction or a
// test file left behind.
std::vector<std::string> probeLines(const ProbeResult& result, int waitSeconds) {
    std::vector<std::string> lines;
    if (reacted(result)) {
        lines.push_back(std::string(kLinePrefix) + "the test file in ScanMe was " +
                        reactionWord(result.reaction) + " after " + tenths(result.milliseconds) +
                        " s; the anti-virus is watching.");
        const std::int64_t waitMilliseconds = static_cast<std::int64_t>(waitSeconds) * 1000;
        if (result.milliseconds > waitMilliseconds) {
            const std::int64_t advised = (result.milliseconds + 999) / 1000;
            lines.push_back(std::string(kLinePrefix) + "the anti-virus took " +
                            tenths(result.milliseconds) + " s, longer than the wait of " +
                            std::to_string(waitSeconds) + " s; give tarnwick a wait of at least " +
                            std::to_string(advised) + " s.");
        }
    } else if (result.reaction == ProbeReaction::Nothing) {
        lines.push_back(std::string(kLinePrefix) +
                        "nothing happened to the test file in ScanMe within " +
                        std::to_string(result.boundSeconds) +
                        " s; the anti-virus is not watching this folder, and verdicts mean "
                        "nothing until it does.");
    } else {
        lines.push_back(std::string(kLinePrefix) +
                        "the test file could not be written in ScanMe: " +
                        std::strerror(result.error) + "; the anti-virus was not checked.");
    }
    if (result.leftBehind)
        lines.push_back(std::string(kLinePrefix) + "the test file " + result.path +
                        " could not be removed: " + std::strerror(result.removalError) + ".");
    return lines;
}

}  // namespace tarnwick
