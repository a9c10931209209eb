// SPDX-License-Identifier: Apache-2.0
// file_system.cpp - the file-system helpers over the platform layer.
#include "runtime/file_system.h"

#include <cerrno>

#include "runtime/platform.h"

namespace tarnwick {

bool removeFile(const std::string& path, int* errorCode) {
    const int error = platform::removePath(path);
    if (error == 0)
        return true;
    if (errorCode != nullptr)
        *errorCode = error;
    // Callers written against unlink look at errno; keep it truthful.
    errno = error;
    return false;
}

bool isDirectory(const std::string& path) {
    platform::PathStatus status;
    return platform::statPath(path, status) && status.isDirectory;
}

std::int64_t fileSize(const std::string& path) {
    platform::PathStatus status;
    if (!platform::statPath(path, status))
        return -1;
    return status.size;
}

bool fileExists(const std::string& path) {
    return platform::pathExists(path) && !isDirectory(path);
}

bool isRegularFile(const std::string& path) {
    return platform::isRegularFile(path);
}

void normalisePath(std::string& path) {
    for (char& byte : path) {
        if (byte == '\\')
            byte = '/';
    }
}

bool makeDirectory(const std::string& path) {
    std::string folder = path;
    normalisePath(folder);
    // Only one trailing slash is dropped; "a//" stays "a/" for mkdir.
    if (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    if (isDirectory(folder))
        return true;
    return platform::makeOneDirectory(folder);
}

}  // namespace tarnwick
