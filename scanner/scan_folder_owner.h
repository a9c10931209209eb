// SPDX-License-Identifier: Apache-2.0
// scan_folder_owner.h - at start-up, the filter claims its scan folder and
// clears out what earlier runs left in it.
//
// A run that ends with requests in flight, or is killed, leaves copies of
// mail and part files behind. The filter that holds the folder's lock file
// removes every file named like its own scan files (never a file of another
// program, never one named with a prefix such as the one-shot scanner's,
// never the lock file, never anything but an ordinary file), says how many,
// and hands those the anti-virus still holds to the deferred clean-up. When
// another live filter holds the lock, nothing is touched.
#pragma once

#include <string>

#include "scanner/av_filter.h"

namespace tarnwick {

// kScanFolderLockName - the lock file inside the scan folder.
inline constexpr const char* kScanFolderLockName = "tarnwick.lock";

// isOwnScanFileName - true when name (no folder) is one of the filter's own
// scan file names: "mail-N-msg.scanme", "msg-M-part-K.scanme",
// "msg-M-extra-K.scanme" or "msg-M-reading-J.tmp" (N, K, J decimal digits,
// M digits with an optional leading minus), anchored at both ends.
bool isOwnScanFileName(const std::string& name);

// claimScanFolder - takes the lock of filter.scanFolder and, when it is
// this process's, removes the scan files of earlier runs. Writes one line
// when files were removed or deferred, or when the folder is another's.
// Does nothing when the folder is missing or is no folder.
void claimScanFolder(AvFilter& filter);

}  // namespace tarnwick
