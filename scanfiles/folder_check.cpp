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

}  // namespace

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
    return "* Error: ScanMe (" + check.absoluteFolder + ") cannot be " + check.failedStep +
           " by user " + check.user + ": " + check.reason;
}

}  // namespace tarnwick
