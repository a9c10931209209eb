// SPDX-License-Identifier: Apache-2.0
// folder_check.cpp - the self-check of the scan folder.
#include "scanfiles/folder_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "runtime/file_system.h"
#include "runtime/platform.h"
#include "scanfiles/scan_file_create.h"
#include "scanfiles/scan_names.h"

namespace tarnwick {

namespace {

// What the check file holds; read back to prove the folder keeps what it is given.
constexpr char kCheckContent[] = "tarnwick folder check\n";
constexpr std::size_t kCheckLength = sizeof kCheckContent - 1;

// failed - a failed check with the step and the error code's text.
FolderCheck failed(FolderCheck check, const char* step, int error) {
    check.usable = false;
    check.failedStep = step;
    check.reason = error != 0 ? std::strerror(error) : "unknown error";
    return check;
}

// octal - a mode as four octal digits ("1777").
std::string octal(unsigned mode) {
    std::string text(4, '0');
    for (int digit = 3; digit >= 0; --digit, mode >>= 3)
        text[static_cast<std::size_t>(digit)] = static_cast<char>('0' + (mode & 7));
    return text;
}

// untrustedLine - the line for a folder that is not ours alone.
std::string untrustedLine(const std::string& absoluteFolder, const FolderTrust& trust,
                          const std::string& user) {
    return "* Error: ScanMe (" + absoluteFolder + ") " + untrustedReason(trust) +
           "; Tarnwick uses only a folder that user " + user + " owns and nobody else may write to";
}

}  // namespace

// checkFolderTrust - lstat, owner, mode.
FolderTrust checkFolderTrust(const std::string& folder, std::int64_t expectedUser) {
    FolderTrust trust;
    platform::EntryOwnership entry;
    if (!platform::entryOwnership(folder, entry, expectedUser))
        return trust;
    trust.exists = true;
    trust.isLink = entry.isLink;
    trust.isDirectory = entry.isDirectory;
    trust.ownedByExpected = entry.ownedByExpected;
    trust.othersMayWrite = entry.othersMayWrite;
    trust.owner = entry.ownerName;
    trust.mode = entry.mode;
    trust.trusted =
        !entry.isLink && entry.isDirectory && entry.ownedByExpected && !entry.othersMayWrite;
    return trust;
}

// untrustedReason - see the header.
std::string untrustedReason(const FolderTrust& trust) {
    if (trust.isLink)
        return "is a symbolic link (owner " + trust.owner + ", mode " + octal(trust.mode) + ")";
    std::string reason = "belongs to user " + trust.owner + " and has mode " + octal(trust.mode);
    if ((trust.mode & 022) != 0)
        reason += " (writable by others than its owner)";
    return reason;
}

// scanFolderTrusted - see the header.
bool scanFolderTrusted(const std::string& folder, std::string& refusal) {
    const FolderTrust trust = checkFolderTrust(folder);
    if (trust.trusted || !trust.exists)
        return trust.trusted;
    refusal = untrustedLine(platform::absolutePath(folder), trust, platform::currentUserName());
    return false;
}

// checkScanFolder - make, write, close, reopen, read back, remove.
FolderCheck checkScanFolder(const std::string& folder) {
    FolderCheck check;
    check.absoluteFolder = platform::absolutePath(folder);
    check.user = platform::currentUserName();
    errno = 0;
    if (!isDirectory(folder) && !makeDirectory(folder)) {
        // A plain file of that name leaves mkdir's EEXIST, which says less.
        const int error = platform::pathExists(folder) ? ENOTDIR : errno;
        return failed(check, "made", error);
    }
    // Nothing is written in a folder someone else could have prepared.
    check.trust = checkFolderTrust(folder);
    if (check.trust.exists && !check.trust.trusted) {
        check.untrusted = true;
        return check;
    }
    const std::string path = checkFileName(folder, platform::currentProcessId());
    errno = 0;
    std::FILE* file = createScanFile(path);
    if (file == nullptr)
        return failed(check, "written", errno);
    errno = 0;
    const bool written = std::fwrite(kCheckContent, 1, kCheckLength, file) == kCheckLength;
    int error = written ? 0 : (errno != 0 ? errno : EIO);
    errno = 0;
    if (std::fclose(file) != 0 && error == 0)
        error = errno != 0 ? errno : EIO;
    if (error != 0) {
        platform::removePath(path);
        return failed(check, "written", error);
    }
    errno = 0;
    file = platform::openSharedFile(path, "rb");
    if (file == nullptr) {
        error = errno;
        platform::removePath(path);
        return failed(check, "read back", error);
    }
    char back[kCheckLength + 1] = {};
    const std::size_t count = std::fread(back, 1, sizeof back, file);
    std::fclose(file);
    const bool same = count == kCheckLength && std::memcmp(back, kCheckContent, kCheckLength) == 0;
    const int removal = platform::removePath(path);
    if (!same)
        return failed(check, "read back", EIO);
    if (removal != 0)
        return failed(check, "emptied", removal);
    check.usable = true;
    return check;
}

// folderCheckLine - the line start-up writes for a failed check.
std::string folderCheckLine(const FolderCheck& check) {
    if (check.untrusted)
        return untrustedLine(check.absoluteFolder, check.trust, check.user);
    return "* Error: ScanMe (" + check.absoluteFolder + ") cannot be " + check.failedStep +
           " by user " + check.user + ": " + check.reason;
}

}  // namespace tarnwick
