// SPDX-License-Identifier: Apache-2.0
// folder_claim.cpp - the lock of the scan folder, the sweep of earlier
// runs' files and the removal of a run's own.
#include "scanfiles/folder_claim.h"

#include <cerrno>
#include <vector>

#include "runtime/console_log.h"
#include "runtime/platform.h"
#include "scanfiles/scan_names.h"

namespace tarnwick {

// claimScanFolder - lock, sweep, report.
void claimScanFolder(const std::string& folder, ScanFileOwners& owners) {
    // A folder that is missing or no folder: the scan job says so for every
    // message.
    platform::PathStatus status;
    if (!platform::statPath(folder, status) || !status.isDirectory)
        return;
    const platform::FolderLock lock = platform::lockExclusively(folder + "/" + kScanFolderLockName);
    if (lock == platform::FolderLock::HeldByAnother) {
        writeLogLine("* Another Tarnwick is using " + folder +
                     ", files left there by earlier runs are not touched");
        return;
    }
    if (lock == platform::FolderLock::Failed) {
        writeLogLine("* Unable to lock " + folder +
                     ", files left there by earlier runs are not touched");
        return;
    }
    int removed = 0;
    std::vector<std::string> held;
    for (const std::string& name : platform::regularFilesIn(folder)) {
        if (!isOwnScanFileName(name))
            continue;
        const std::string path = folder + "/" + name;
        const int error = platform::removePath(path);
        if (error == 0)
            ++removed;
        else if (error != ENOENT)
            held.push_back(path);
    }
    if (removed == 0 && held.empty())
        return;
    owners.defer(held, true);
    std::string line =
        "* Removed " + std::to_string(removed) + " files left in " + folder + " by an earlier run";
    if (!held.empty())
        line += "; " + std::to_string(held.size()) + " still locked, will try again later";
    writeLogLine(line);
}

// removeRunFiles - every entry named with the run's prefix.
int removeRunFiles(const std::string& folder, const std::string& prefix) {
    std::vector<std::string> names;
    platform::listFolder(folder, names);
    int left = 0;
    for (const std::string& name : names) {
        const ScanName found = classifyScanName(name);
        if (found.kind == ScanName::Kind::NotOurs || found.prefix != prefix || prefix.empty())
            continue;
        const int error = platform::removePath(folder + "/" + name);
        if (error != 0 && error != ENOENT)
            ++left;
    }
    return left;
}

}  // namespace tarnwick
