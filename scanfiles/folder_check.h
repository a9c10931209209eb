// SPDX-License-Identifier: Apache-2.0
// folder_check.h - is a folder ours alone, and can the user the filter runs
// as make it, write a file in it, read the file back and remove it again?
//
// A folder that fails here makes every message fail its set-up later (and
// be accepted unchanged), so start-up says so at once, in one line naming
// the folder's absolute path and, for a folder that is not ours alone, its
// owner and mode; otherwise the user and the system's reason.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

// FolderTrust - who owns a folder and may write to it, judged.
struct FolderTrust {
    bool exists = false;
    // trusted - a folder (not a link to one) that belongs to the expected
    // user and that neither its group nor others may write to.
    bool trusted = false;
    bool isLink = false;
    bool isDirectory = false;
    // ownedByExpected, othersMayWrite - the two halves of trusted's owner
    // and mode test, for callers with lines of their own.
    bool ownedByExpected = false;
    bool othersMayWrite = false;
    std::string owner;
    unsigned mode = 0;
};

// checkFolderTrust - judges folder as it is, without following a link.
// expectedUser: the numeric user id that must own it, -1 for the process's
// effective user. A missing folder is not trusted (exists false).
FolderTrust checkFolderTrust(const std::string& folder, std::int64_t expectedUser = -1);

// untrustedReason - why a folder that exists is not trusted, after its
// name: "is a symbolic link (owner OWNER, mode 0777)" or "belongs to user
// OWNER and has mode 1777 (writable by others than its owner)".
// REQUIRES: trust.exists && !trust.trusted.
std::string untrustedReason(const FolderTrust& trust);

// FolderCheck - the outcome of checkScanFolder.
struct FolderCheck {
    bool usable = false;
    // untrusted - the folder is refused for who owns it or may write to it
    // (trust says why); nothing was written in it.
    bool untrusted = false;
    FolderTrust trust;
    // The folder as an absolute path and the user, for the line and reports.
    std::string absoluteFolder;
    std::string user;
    // When not usable: what could not be done ("made" or "written") and the
    // system's error text.
    std::string failedStep;
    std::string reason;
};

// checkScanFolder - makes folder when missing (with the modes every scan
// folder gets), refuses it unless checkFolderTrust trusts it, then creates
// its check file (checkFileName) in it, writes a line, closes it, opens it
// again, reads the line back and removes the file. Leaves no file behind
// when it can remove it.
FolderCheck checkScanFolder(const std::string& folder);

// folderCheckLine - the start-up line of a failed check:
// "* Error: ScanMe (PATH) cannot be written by user USER: REASON", or for
// an untrusted folder "* Error: ScanMe (PATH) belongs to user OWNER and has
// mode 1777 (writable by others than its owner); Tarnwick uses only a folder
// that user USER owns and nobody else may write to".
// REQUIRES: !check.usable.
std::string folderCheckLine(const FolderCheck& check);

// scanFolderTrusted - checkFolderTrust for a scan folder that exists, with
// its line (as folderCheckLine) in refusal when it is not trusted.
bool scanFolderTrusted(const std::string& folder, std::string& refusal);

}  // namespace tarnwick
