// SPDX-License-Identifier: Apache-2.0
// folder_claim.cpp - the lock of the scan folder, the sweep of earlier
// runs' files and the removal of a run's own.
#include "scanfiles/folder_claim.h"

#include <cerrno>
#include <vector>

#include "runtime/console_log.h"
#include "runtime/platform.h"
#include "scanfiles/folder_check.h"
#include "scanfiles/scan_names.h"

namespace tarnwick {

namespace {

// How long a process waits for a sweep by another to end before it gives
// up taking the shared lock, and how often it tries meanwhile.
constexpr std::uint64_t kSharedLockWaitMilliseconds = 10000;
constexpr std::uint64_t kSharedLockTryMilliseconds = 20;

// usersLock - the folder's shared lock, opened once per call.
platform::LockFile usersLock(const std::string& folder) {
    return platform::openUsersLock(folder, folder + "/" + kScanFolderLockName);
}

// holdShared - the shared lock on file, waiting a bounded time for a sweep
// in progress; true when held.
bool holdShared(platform::LockFile file) {
    for (std::uint64_t waited = 0;; waited += kSharedLockTryMilliseconds) {
        const platform::FolderLock lock = platform::tryLock(file, false);
        if (lock == platform::FolderLock::Owned)
            return true;
        if (lock == platform::FolderLock::Failed || waited >= kSharedLockWaitMilliseconds)
            return false;
        platform::sleepMilliseconds(kSharedLockTryMilliseconds);
    }
}

// isLeftover - whether a sweep may remove the file of that name: the
// filter's own unprefixed names, and names of ours that carry the id of a
// process that has ended.
bool isLeftover(const std::string& name) {
    const ScanName found = classifyScanName(name);
    if (found.kind == ScanName::Kind::NotOurs)
        return false;
    if (found.kind == ScanName::Kind::RequestFile && found.prefix.empty())
        return true;
    return found.processId != 0 && found.processId != platform::currentProcessId() &&
           !platform::processAlive(found.processId);
}

// sweep - removes the leftovers of folder; writes the line.
void sweep(const std::string& folder, ScanFileOwners& owners) {
    int removed = 0;
    std::vector<std::string> held;
    for (const std::string& name : platform::regularFilesIn(folder)) {
        if (!isLeftover(name))
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

}  // namespace

// claimScanFolder - lock, sweep, report.
ScanFolderClaim claimScanFolder(const std::string& folder, ScanFileOwners& owners) {
    ScanFolderClaim claim;
    // A folder that is missing, no folder or not ours alone: the scan job
    // says so for every message and writes nothing there.
    if (!checkFolderTrust(folder).trusted)
        return claim;
    claim.alone = platform::lockExclusively(folder + "/" + kScanFolderLockName) ==
                  platform::FolderLock::Owned;
    if (!claim.alone)
        claim.prefix = sharingFilterPrefix(platform::currentProcessId());
    const platform::LockFile users = usersLock(folder);
    const bool noOtherUser = users != platform::kNoLockFile &&
                             platform::tryLock(users, true) == platform::FolderLock::Owned;
    if (noOtherUser && claim.alone)
        sweep(folder, owners);
    if (noOtherUser)
        platform::unlockFile(users);
    if (users == platform::kNoLockFile || !holdShared(users)) {
        writeLogLine("* Unable to lock " + folder +
                     ", files left there by earlier runs are not touched");
    } else if (!noOtherUser || !claim.alone) {
        writeLogLine("* Another Tarnwick is using " + folder +
                     ", files left there by earlier runs are not touched");
    }
    return claim;
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
