// SPDX-License-Identifier: Apache-2.0
// file_system.h - the small file-system helpers of the command loop,
// start-up and the scan job.
//
// Paths are byte strings, relative or absolute, with either kind of
// separator. The helpers keep no state, so any thread may call them; they
// never write a message and report only through their results (and, for
// removeFile, the C library's error code). They go to the operating system
// only through runtime/platform.h.
#pragma once

#include <cstdint>
#include <string>

namespace tarnwick {

// removeFile - deletes the file. Returns true when it was deleted. On failure
// stores the C library's error code in *errorCode (when given) and in errno:
// ENOENT means the file does not exist, anything else (EACCES, ...) that it
// could not be removed.
bool removeFile(const std::string& path, int* errorCode = nullptr);

// isDirectory - true when path names an existing folder; false when it is
// anything else or its status cannot be read.
bool isDirectory(const std::string& path);

// fileSize - the size in bytes of the entry at path, in 64 bits so files of
// 2 GiB and more are measured correctly; -1 when its status cannot be read.
// Meant for a path fileExists has just confirmed.
std::int64_t fileSize(const std::string& path);

// fileExists - true when path names an existing entry that is not a folder.
bool fileExists(const std::string& path);

// isRegularFile - true when path names an existing ordinary file; false for a
// folder, FIFO, socket or device (on Windows also a reserved device name such
// as NUL or COM1.txt) and for a missing entry. The entry is not opened.
bool isRegularFile(const std::string& path);

// normalisePath - replaces every backslash in path by a slash.
void normalisePath(std::string& path);

// makeDirectory - creates one folder (its parent must exist). The path is
// normalised and one trailing slash, if any, dropped first. Returns true when
// the folder exists afterwards, made by this call or already there; false
// when it could not be made (a missing parent, a plain file of that name).
bool makeDirectory(const std::string& path);

}  // namespace tarnwick
