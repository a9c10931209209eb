// SPDX-License-Identifier: Apache-2.0
// folder_claim.h - at start-up, a filter claims its scan folder and clears
// out what earlier runs left in it; at its end, tarnwick-scan removes its
// own run's files.
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

#include "scanfiles/scan_ledger.h"

namespace tarnwick {

// claimScanFolder - takes the lock of folder and, when it is this
// process's, removes the scan files of earlier runs, handing those still
// held to owners' deferred list. Writes one line when files were removed or
// deferred, or when the folder is another's. Does nothing when the folder
// is missing or is no folder.
void claimScanFolder(const std::string& folder, ScanFileOwners& owners);

// removeRunFiles - removes every file of folder that carries prefix (as
// classifyScanName reads it); returns how many of them could not be removed
// (on Windows: held open at the moment). Called at the end of a
// tarnwick-scan run and when the process is asked to end.
int removeRunFiles(const std::string& folder, const std::string& prefix);

}  // namespace tarnwick
