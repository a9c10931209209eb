// SPDX-License-Identifier: Apache-2.0
// check_command.cpp - the report of tarnwick --check.
#include "app/check_command.h"

#include "scanfiles/folder_check.h"
#include "scanner/av_probe.h"

namespace tarnwick {

// runCheckCommand - self-check, probe, report.
int runCheckCommand(const std::string& folder, int waitSeconds, std::ostream& out) {
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
               "give the user "
            << check.user << " the right to write there, then check again.\n"
            << std::flush;
        return kCheckUnusable;
    }
    out << std::flush;
    const ProbeResult result = runAvProbe(folder, waitSeconds);
    for (const std::string& line : probeLines(result, waitSeconds))
        out << line << '\n';
    int status = kCheckWatching;
    if (result.reaction == ProbeReaction::NotWritten) {
        out << "Result: the test file could not be written, so ScanMe is unusable.\n";
        status = kCheckUnusable;
    } else if (!reacted(result)) {
        out << "Result: the anti-virus is not watching " << check.absoluteFolder
            << "; make its on-access scanning include this folder (with its signatures "
               "loaded), then check again.\n";
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
