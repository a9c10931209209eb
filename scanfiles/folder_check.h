// SPDX-License-Identifier: Apache-2.0
// folder_check.h - the start-up self-check of the scan folder: can the user
// the filter runs as make it, write a file in it, read the file back and
// remove it again?
//
// A folder that fails here makes every message fail its set-up later (and
// be accepted unchanged), so start-up says so at once, in one line naming
// the folder's absolute path, the user and the system's reason.
#pragma once

#include <string>

namespace tarnwick {

// FolderCheck - the outcome of checkScanFolder.
struct FolderCheck {
    bool usable = false;
    // The folder as an absolute path and the user, for the line and reports.
    std::string absoluteFolder;
    std::string user;
    // When not usable: what could not be done ("made" or "written") and the
    // system's error text.
    std::string failedStep;
    std::string reason;
};

// checkScanFolder - makes folder when missing (with the modes every scan
// folder gets), then creates its check file (checkFileName) in it, writes
// a line, closes
// it, opens it again, reads the line back and removes the file. Leaves no
// file behind when it can remove it.
FolderCheck checkScanFolder(const std::string& folder);

// folderCheckLine - the start-up line of a failed check:
// "* Error: ScanMe (PATH) cannot be written by user USER: REASON".
// REQUIRES: !check.usable.
std::string folderCheckLine(const FolderCheck& check);

}  // namespace tarnwick
