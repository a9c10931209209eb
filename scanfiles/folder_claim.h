// SPDX-License-Identifier: Apache-2.0
// folder_claim.h - at start-up, a filter claims its scan folder and clears
// out what earlier runs left in it; at its end, tarnwick-scan removes its
// own run's files.
//
// A run that ends with requests in flight, or is killed, leaves copies of
// mail and part files behind. Every live filter holds the folder's users
// lock shared for its whole life (platform::openUsersLock: the folder
// itself on POSIX, a second byte of "tarnwick.lock" on Windows); a sweep
// happens only under that lock taken exclusively, so never while another
// filter writes there, and only by the filter that also holds
// "tarnwick.lock" for life, the filter that holds the folder alone and
// names its files without a prefix. The sweep removes the filter's own unprefixed
// names and every name of ours that carries the id of a process that is no
// longer alive (a sharing filter's or tarnwick-scan's files, probe and
// check files); never a file of another program, never a lock file, never
// anything but an ordinary file. It says how many, and hands those the
// anti-virus still holds to the deferred clean-up. A filter that does not
// hold "tarnwick.lock" names its files "filter-PID-...", so that no two
// live processes can ever produce the same name. tarnwick-scan takes no
// lock: its names carry its process id, which no sweep removes while the
// process lives.
#pragma once

#include <string>

#include "scanfiles/scan_ledger.h"

namespace tarnwick {

// ScanFolderClaim - how a filter names its files in the folder it claimed.
struct ScanFolderClaim {
    // alone - it holds "tarnwick.lock": its files carry no prefix.
    bool alone = true;
    // prefix - "" when alone, else sharingFilterPrefix of this process.
    std::string prefix;
};

// claimScanFolder - takes the locks of folder as described above and, when
// this process holds it alone and no other process uses it, removes the
// files of earlier runs, handing those still held to owners' deferred
// list. Writes one line when files were removed or deferred, or when the
// folder is another's. Claims nothing (alone, no prefix) when the folder is
// missing, is no folder or is not trusted: no message is written there.
ScanFolderClaim claimScanFolder(const std::string& folder, ScanFileOwners& owners);

// removeRunFiles - removes every file of folder that carries prefix (as
// classifyScanName reads it); returns how many of them could not be removed
// (on Windows: held open at the moment). Called at the end of a
// tarnwick-scan run and when the process is asked to end.
int removeRunFiles(const std::string& folder, const std::string& prefix);

}  // namespace tarnwick
