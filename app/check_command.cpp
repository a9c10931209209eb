// SPDX-License-Identifier: Apache-2.0
// check_command.cpp - the report of tarnwick --check.
#include "app/check_command.h"

#include <cstdint>
#include <cstring>

#include "runtime/platform.h"
#include "scanfiles/folder_check.h"
#include "scanner/av_probe.h"

namespace tarnwick {

namespace {

// parentOf - the folder above path ("" when it has none).
std::string parentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// unusableAdvice - what to do about a folder that failed its check: create a
// missing parent, else give the user the right to write.
std::string unusableAdvice(const FolderCheck& check) {
    const std::string parent = parentOf(check.absoluteFolder);
    if (check.failedStep == "made" && !parent.empty() && !platform::pathExists(parent))
        return "the folder " + parent + " above it does not exist; create it (tarnwick makes " +
               "only the last folder of the path), then check again.";
    return "give the user " + check.user + " the right to write there, then check again.";
}

// sizeCheck - the probe with a test file of sizeMegabytes; its line, and
// whether the anti-virus reacted.
bool sizeCheck(const std::string& folder, int waitSeconds, int sizeMegabytes, std::ostream& out) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(sizeMegabytes) * 1024 * 1024;
    const ProbeResult result = runAvProbe(folder, waitSeconds, {}, bytes);
    const std::string size = std::to_string(sizeMegabytes) + " MB";
    if (reacted(result)) {
        out << "* Anti-virus check: the test file of " << size << " was acted on after "
            << (result.milliseconds + 50) / 1000 << '.' << (result.milliseconds + 50) % 1000 / 100
            << " s; the anti-virus checks files that large.\n";
    } else if (result.reaction == ProbeReaction::NotWritten) {
        out << "* Anti-virus check: the test file of " << size
            << " could not be written: " << std::strerror(result.error) << ".\n";
    } else {
        out << "* Anti-virus check: nothing happened to the test file of " << size << " within "
            << result.boundSeconds << " s; the anti-virus skips files that large.\n";
    }
    return reacted(result);
}

}  // namespace

// runCheckCommand - self-check, probe, report.
int runCheckCommand(const std::string& folder, int waitSeconds, std::ostream& out,
                    int sizeMegabytes) {
    const FolderCheck check = checkScanFolder(folder);
    out << "Tarnwick anti-virus check\n"
        << "Folder: " << check.absoluteFolder << '\n'
        << "User: " << check.user << '\n'
        << "Wait: " << waitSeconds << " s (the test file is watched for up to "
        << probeBoundSeconds(waitSeconds) << " s)\n";
    if (check.untrusted) {
        out << folderCheckLine(check) << '\n'
            << "Result: ScanMe is refused, and every message would be accepted unscanned; "
               "make it a folder of the user "
            << check.user << " that nobody else may write to (mode 0700), then check again.\n"
            << std::flush;
        return kCheckUnusable;
    }
    if (!check.usable) {
        out << folderCheckLine(check) << '\n'
            << "Result: ScanMe is unusable, and every message would be accepted unscanned; "
            << unusableAdvice(check) << '\n'
            << std::flush;
        return kCheckUnusable;
    }
    out << std::flush;
    const ProbeResult result = runAvProbe(folder, waitSeconds);
    for (const std::string& line : probeLines(result, waitSeconds))
        out << line << '\n';
    const bool largeSkipped =
        reacted(result) && sizeMegabytes > 0 && !sizeCheck(folder, waitSeconds, sizeMegabytes, out);
    int status = kCheckWatching;
    if (result.reaction == ProbeReaction::NotWritten) {
        out << "Result: the test file could not be written, so ScanMe is unusable.\n";
        status = kCheckUnusable;
    } else if (!reacted(result)) {
        out << "Result: the anti-virus is not watching " << check.absoluteFolder
            << "; make its on-access scanning include this folder (with its signatures "
               "loaded), then check again.";
        // A service that started watching before the folder was made (a
        // purged and recreated ScanMe) may still watch the folder it replaced.
        if (platform::madeSinceBoot(folder))
            out << " The folder was made after the machine started: an on-access service "
                   "started before it may need a restart to watch a recreated folder.";
        out << '\n';
        status = kCheckNotWatching;
    } else if (largeSkipped) {
        out << "Result: the anti-virus is watching, but it skips files of " << sizeMegabytes
            << " MB, so larger messages and attachments would be answered clean unchecked; "
               "raise its size limits (ClamAV: MaxFileSize, MaxScanSize and "
               "OnAccessMaxFileSize) to at least the mail server's message size limit.\n";
        status = kCheckNotWatching;
    } else if (result.milliseconds > static_cast<std::int64_t>(waitSeconds) * 1000) {
        out << "Result: the anti-virus is watching, but it is slower than the wait; start "
               "tarnwick with a wait of at least "
            << (result.milliseconds + 999) / 1000 << " s.\n";
    } else {
        out << "Result: the anti-virus is watching, and the wait of " << waitSeconds
            << " s is long enough.\n";
    }
    out << std::flush;
    return status;
}

}  // namespace tarnwick
