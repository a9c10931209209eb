// SPDX-License-Identifier: Apache-2.0
// scan_file_create.h - the one way a file is created in a scan folder.
//
// Every copy of mail or part of it that the anti-virus is shown, every
// probe's test file and every folder check's file is made through
// createScanFile, so that what the platform layer guarantees of such a file
// (never through a link, never anything but an ordinary file, private
// modes) holds for all of them, and so that a process about to end can
// close the door for good (stopScanFiles) before it removes its files.
#pragma once

#include <cstdio>
#include <string>

namespace tarnwick {

// createScanFile - the file at path for binary writing, as
// platform::createPrivateFile makes it; nullptr (and errno) when it cannot
// be made, EINTR once stopScanFiles has closed the door.
std::FILE* createScanFile(const std::string& path);

// stopScanFiles - from its return on, createScanFile creates nothing more;
// a creation already under way is waited for. For a process about to end
// that removes its scan files and must not meet new ones afterwards. Never
// undone.
void stopScanFiles();

}  // namespace tarnwick
