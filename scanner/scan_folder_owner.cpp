// SPDX-License-Identifier: Apache-2.0
// scan_folder_owner.cpp - the lock of the scan folder and the sweep of
// earlier runs' files.
#include "scanner/scan_folder_owner.h"

#include <cerrno>
#include <vector>

#include "runtime/console_log.h"
#include "runtime/platform.h"

namespace tarnwick {

namespace {

// skipDigits - moves at past one or more digits; false when there is none.
bool skipDigits(const std::string& name, std::size_t& at) {
    const std::size_t start = at;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9')
        ++at;
    return at > start;
}

// skipText - moves at past text when name continues with it.
bool skipText(const std::string& name, std::size_t& at, const std::string& text) {
    if (name.compare(at, text.size(), text) != 0)
        return false;
    at += text.size();
    return true;
}

}  // namespace

// isOwnScanFileName - the four patterns, anchored.
bool isOwnScanFileName(const std::string& name) {
    std::size_t at = 0;
    if (skipText(name, at, "mail-"))
        return skipDigits(name, at) && skipText(name, at, "-msg.scanme") && at == name.size();
    if (!skipText(name, at, "msg-"))
        return false;
    skipText(name, at, "-");
    if (!skipDigits(name, at))
        return false;
    for (const char* middle : {"-part-", "-extra-", "-reading-"}) {
        std::size_t rest = at;
        if (!skipText(name, rest, middle) || !skipDigits(name, rest))
            continue;
        const std::string end = std::string(middle) == "-reading-" ? ".tmp" : ".scanme";
        return skipText(name, rest, end) && rest == name.size();
    }
    return false;
}

// claimScanFolder - lock, sweep, report.
void claimScanFolder(AvFilter& filter) {
    const std::string& folder = filter.scanFolder;
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
    filter.scanFiles().defer(held, true);
    std::string line =
        "* Removed " + std::to_string(removed) + " files left in " + folder + " by an earlier run";
    if (!held.empty())
        line += "; " + std::to_string(held.size()) + " still locked, will try again later";
    writeLogLine(line);
}

}  // namespace tarnwick
