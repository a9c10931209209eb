// SPDX-License-Identifier: Apache-2.0
// scan_file_create.h - the one way a file is created in a scan folder.
//
// SECURITY: a scan folder holds copies of mail, and what becomes of its
// files decides verdicts, so it is trusted only when nobody but us can
// change it. We trust the operating system's owner and mode bits (on
// Windows the folder's access list, which the administrator sets) and
// nothing found in the folder. The folder is checked at start-up, by
// --check and before every message: it must be a real folder (not a link)
// of the user we run as that neither its group nor others may write to
// (checkFolderTrust); otherwise nothing is written there. Every file is
// created here as a new file (O_EXCL, no link followed; Windows:
// CREATE_NEW), so a name someone else took first is never written through
// or reused, and its message is handled as one whose file cannot be
// created. Every name is built and read back by scan_names.h, so a sweep
// removes only names of ours, only under the folder's lock, and never a
// file of a live process.
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
