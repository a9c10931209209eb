// SPDX-License-Identifier: Apache-2.0
// platform.h - the one door to the operating system.
//
// Everything Tarnwick asks of the operating system goes through these
// functions: owned recursive mutexes, auto-reset events, thread start, sleep,
// the standard streams, and the handful of file operations (open shared,
// unlink, stat, access, mkdir) whose error codes the scanner interprets.
// Two backends implement it: platform_posix.cpp (every test runs on it) and
// platform_win32.cpp (the kernel calls of the Windows build).
//
// No other file includes an operating-system header.
//
// Errors travel as results: nullptr handles, false, or the C library's error
// code (ENOENT, EACCES, ...). Nothing here throws or prints.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tarnwick::platform {

// Opaque handles. A null handle means "the operating system refused".
using MutexHandle = void*;
using EventHandle = void*;
using ThreadHandle = std::uintptr_t;

// createMutex - a new unnamed mutex, owned by no thread. Recursive: the owning
// thread may lock again and must unlock as often. nullptr when refused.
MutexHandle createMutex();
// lockMutex - waits without time-out until the calling thread owns the mutex.
void lockMutex(MutexHandle mutex);
// unlockMutex - gives up one level of ownership. REQUIRES: caller owns it.
void unlockMutex(MutexHandle mutex);
// closeMutex - destroys the mutex. REQUIRES: nobody owns it or waits on it.
void closeMutex(MutexHandle mutex);

// createEvent - a new unnamed auto-reset event, not signalled. nullptr when
// refused.
EventHandle createEvent();
// setEvent - signals the event: exactly one wait (now or later) is released.
void setEvent(EventHandle event);
// resetEvent - makes the event non-signalled.
void resetEvent(EventHandle event);
// waitEvent - waits without time-out for the event, then makes it
// non-signalled again.
void waitEvent(EventHandle event);
// closeEvent - destroys the event. REQUIRES: nobody waits on it.
void closeEvent(EventHandle event);

// ThreadBody - what a started thread runs, with its one pointer-sized argument.
using ThreadBody = void (*)(void* argument);
// startThread - starts a detached thread with the default stack size running
// body(argument). On success stores its handle and returns true; returns
// false, starting nothing, when the operating system refuses.
bool startThread(ThreadBody body, void* argument, ThreadHandle& handle);
// sleepMilliseconds - suspends the calling thread; 0 gives up the time slice.
void sleepMilliseconds(std::uint64_t milliseconds);

// prepareStandardStreams - once at start-up: standard input in binary mode
// (line ends are folded by the protocol reader itself), standard output in
// the platform's text mode, and a reader closing standard output must not
// kill the process (SIGPIPE ignored on POSIX).
void prepareStandardStreams();
// readDescriptor - reads up to size bytes from a file descriptor (0 is
// standard input). Returns the count, 0 at end of input, -1 on error.
long readDescriptor(int descriptor, char* buffer, std::size_t size);
// writeDescriptor - writes all size bytes to a file descriptor (1 is
// standard output). A descriptor that cannot take more at the moment (a
// non-blocking pipe whose reader pauses) is waited for, without time-out,
// until it can. Returns true when every byte was written; false when the
// reader has gone for good or another error ends the write (what was not yet
// written is then dropped).
bool writeDescriptor(int descriptor, const char* data, std::size_t size);
// inputPending - true when at least one byte (or the end of input) can be
// read from the descriptor at once, without waiting.
bool inputPending(int descriptor);

// commandLineArguments - the program's arguments after its name, as bytes:
// argv as given on POSIX. On Windows each argument is taken from the wide
// command line and written in the ANSI code page when it can be, else in
// UTF-8, which the file calls below read as UTF-8 when the ANSI reading
// names nothing (a file name outside the ANSI code page).
std::vector<std::string> commandLineArguments(int argc, char** argv);

// openSharedFile - fopen that lets other processes read, write and delete the
// file meanwhile (Windows share modes; plain fopen on POSIX). Mode as fopen.
std::FILE* openSharedFile(const std::string& path, const char* mode);

// offerToScanner - after a file that the anti-virus must judge has been
// written and closed: on POSIX it is opened for reading once and closed
// again, because on-access scanners there examine a file when it is opened,
// not when its writer closes it. The outcome is not interpreted; the checks
// that follow see what the anti-virus did. Does nothing on Windows, whose
// scanners act on the writer's close.
void offerToScanner(const std::string& path);

// removePath - unlinks a file. Returns 0 on success, else the C library's
// error code (ENOENT: no such file; EACCES: held open by another process).
int removePath(const std::string& path);

// replaceFile - renames source to target, replacing a target that exists,
// so that a reader of target sees the old file or the new one and never a
// half-written one (rename; on Windows MoveFileEx with
// MOVEFILE_REPLACE_EXISTING). Returns 0 on success, else an error code.
int replaceFile(const std::string& source, const std::string& target);

// isNoSpaceError - true when error, a C library error code from a failed
// create or write, says the disk is full: ENOSPC, or EDQUOT (the user's
// quota is used up) where the platform has it. The Windows C run-time
// reports ERROR_DISK_FULL and ERROR_HANDLE_DISK_FULL as ENOSPC.
bool isNoSpaceError(int error);

// RemovalInterceptor - a test seam. When installed, every removePath first
// asks it: a return of -1 lets the real unlink go ahead, any other value is
// reported as that call's result without touching the file.
using RemovalInterceptor = int (*)(const std::string& path);
// setRemovalInterceptor - installs (or, with nullptr, removes) the seam.
void setRemovalInterceptor(RemovalInterceptor interceptor);

// Test seams for the refusal paths. Each call arms a count: the next count
// creations of a mutex or event (createMutex, createEvent) return nullptr,
// and the next count startThread calls return false, as if the operating
// system had refused. Both backends honour them; product code never arms them.
void refuseObjectCreations(int count);
void refuseThreadStarts(int count);

namespace detail {
// Used by the backends: true (and one armed refusal spent) when this call
// must fail.
bool takeCreationRefusal();
bool takeThreadStartRefusal();
// What the installed removal seam says of path: -1 (also when none is
// installed) lets the real unlink go ahead.
int interceptRemoval(const std::string& path);
// What the installed creation seam says of path: 0 (also when none is
// installed) lets the real creation go ahead.
int interceptCreation(const std::string& path);
// fullDiskStream - a stream for binary writing whose every write fails with
// ENOSPC (the creation seam's -1); nullptr when one cannot be made.
std::FILE* fullDiskStream();
// namesWindowsDevice - true when Windows would take path for a device rather
// than a file: its last name is a reserved device name (CON, PRN, AUX, NUL,
// COM0-COM9, LPT0-LPT9, COM or LPT with a superscript 1-3, CONIN$, CONOUT$),
// in any case, with or without an extension or trailing blanks; or it goes
// into the device namespace (\\.\ or \\?\ not followed by a drive, UNC or
// volume). Pure text rules, compiled on every platform so they can be tested
// anywhere; only the Windows backend uses them.
bool namesWindowsDevice(const std::string& path);
}  // namespace detail

// PathStatus - what stat reports of one entry.
struct PathStatus {
    bool isDirectory = false;
    // isRegularFile - an ordinary file: not a folder, FIFO, socket or device.
    bool isRegularFile = false;
    std::int64_t size = 0;
    // modified - the time of the last write, in the finest unit the platform
    // keeps (nanoseconds on POSIX, 100 ns on Windows); only ever compared.
    std::int64_t modified = 0;
};
// statPath - fills status and returns true when the entry exists.
bool statPath(const std::string& path, PathStatus& status);
// isRegularFile - true when path names an existing ordinary file; false for
// a folder, a FIFO, a socket, a device, a missing entry or one whose status
// cannot be read. On Windows the reserved device names (NUL, CON, COM1, ...,
// with or without an extension, in any folder) and paths into the device
// namespace (\\.\pipe\..., \\.\COM1) are devices too. Only the status
// is queried: the entry is never opened, so a FIFO cannot make it wait.
bool isRegularFile(const std::string& path);
// shownPath - path as people on this system write it, for messages: on
// Windows every slash a backslash; unchanged elsewhere.
std::string shownPath(const std::string& path);
// pathExists - the C library's access test for existence.
bool pathExists(const std::string& path);
// madeSinceBoot - true when the entry at path was created after the machine
// last started; false when before, or when the system keeps no creation time.
bool madeSinceBoot(const std::string& path);
// makeOneDirectory - mkdir of a single level; true when it was created. On
// POSIX the folder is private to its owner (mode 0700): it holds copies of
// mail. On Windows it inherits its parent's permissions. On failure errno
// says why (ENOENT: the parent is missing).
bool makeOneDirectory(const std::string& path);

// createPrivateFile - creates the file at path, which must not exist yet
// (O_EXCL; Windows: CREATE_NEW), for writing in binary mode, shared as
// openSharedFile shares; nullptr (and errno) when it cannot. Whatever
// already has the name (a file, a symbolic link, a reparse point, a device,
// a FIFO or socket) fails with EEXIST and is neither opened nor touched.
// Every file of a scan folder is made through here, by way of
// scanfiles/scan_file_create.h. On POSIX the file is private to its owner
// (mode 0600), or readable by the group too (0640) when the folder it is
// created in grants its group read access, so that a scanner running under
// another user of that group can read it by path. On Windows the file
// inherits its folder's permissions.
std::FILE* createPrivateFile(const std::string& path);

// listFolder - the names of the entries of the folder at path, without "."
// and "..", in the order the system gives them (bytes as paths are given:
// on Windows in the ANSI code page when it can hold them, else UTF-8).
// False, names empty, when the folder cannot be read.
bool listFolder(const std::string& path, std::vector<std::string>& names);

// TerminationHandler - what a request to end the process runs first.
using TerminationHandler = void (*)();
// watchTerminationRequests - from now on a request to end the process
// (SIGINT, SIGTERM or SIGHUP on POSIX; Ctrl+C, Ctrl+Break, a closed console,
// logoff or shutdown on Windows) runs handler once, on a thread of its own
// and not in a signal handler, so it may take locks, write and remove files;
// then the process ends: on POSIX by the same signal with its default action,
// on Windows with the status of an interrupted console program. A second
// request while handler runs waits for it. False when the watch could not be
// set up. REQUIRES (POSIX): called before the process starts any other
// thread, because the signals are blocked here and every later thread
// inherits that.
bool watchTerminationRequests(TerminationHandler handler);

// absolutePath - path as an absolute path for people to read: unchanged when
// it is absolute already, else joined to the current working directory (a
// leading "./" dropped). Only the text is formed; the entry need not exist.
// The path itself when the working directory cannot be read.
std::string absolutePath(const std::string& path);

// currentUserName - the name of the user (Windows: the account) the process
// runs as; the numeric id in decimal when it has no name, "unknown" when
// even that cannot be had.
std::string currentUserName();

// currentProcessId - the process's id, for names no other process uses.
std::uint64_t currentProcessId();
// FolderLock - whether this process holds the exclusive lock on a file.
enum class FolderLock {
    Owned,          // held by this process until it ends
    HeldByAnother,  // another live process holds it
    Failed,         // the lock file could not be opened or locked
};
// lockExclusively - opens (creating it, never through a link; only an
// ordinary file of the process's user) the file at path and takes an
// exclusive lock on it without waiting (flock on POSIX, LockFileEx on
// Windows). The lock is kept, with its open file, until the process ends;
// the operating system releases it then, however the process ends.
FolderLock lockExclusively(const std::string& path);
// LockHandle - a lock lockUntilReleased took.
using LockHandle = std::intptr_t;
// lockUntilReleased - as lockExclusively, but the lock and its open file are
// kept only until releaseLock(handle); handle is set only when Owned.
FolderLock lockUntilReleased(const std::string& path, LockHandle& handle);
// releaseLock - gives back a lock lockUntilReleased took.
void releaseLock(LockHandle handle);

// LockFile - an open lock; kNoLockFile when none.
using LockFile = std::intptr_t;
inline constexpr LockFile kNoLockFile = -1;
// openUsersLock - the second lock of a folder, independent of the one
// lockExclusively takes on lockPath (a file in folder): on POSIX the folder
// itself (flock), on Windows another byte of lockPath (opened as
// lockExclusively opens it). kNoLockFile when it cannot be opened. Kept
// open until the process ends.
LockFile openUsersLock(const std::string& folder, const std::string& lockPath);
// tryLock - takes a shared or exclusive users lock without waiting; a lock
// this process holds on it already must be given up first (unlockFile), as
// Windows does not convert one.
FolderLock tryLock(LockFile file, bool exclusive);
// unlockFile - gives up the users lock this process holds.
void unlockFile(LockFile file);

// EntryOwnership - who owns an entry and who may change it, as the entry
// itself says (a link is not followed).
struct EntryOwnership {
    bool isLink = false;
    bool isDirectory = false;
    bool isRegularFile = false;
    // ownedByExpected - the entry belongs to the user asked about.
    bool ownedByExpected = true;
    // ownerName - the owner's name, its numeric id when it has none.
    std::string ownerName;
    // mode - the permission bits (07777); 0 where there are none (Windows).
    unsigned mode = 0;
    // othersMayWrite - the group or everybody may write to it.
    bool othersMayWrite = false;
};
// entryOwnership - fills ownership for path without following a link and
// returns true when the entry exists. expectedUser: the numeric user id the
// owner is compared with, -1 for the process's effective user. On Windows,
// whose folders are guarded by their access lists, every entry is taken as
// owned by the expected user and as writable by it alone; only links
// (reparse points) are told.
bool entryOwnership(const std::string& path, EntryOwnership& ownership,
                    std::int64_t expectedUser = -1);

// processAlive - true unless the process with id processId is known to have
// ended (one that exists under another user counts as alive).
bool processAlive(std::uint64_t processId);

// regularFilesIn - the names of the ordinary files in folder (no links,
// reparse points, folders, devices, FIFOs or sockets); empty when the
// folder cannot be read.
std::vector<std::string> regularFilesIn(const std::string& folder);

// CreationInterceptor - a test seam standing in for a full or refusing disk.
// When installed, every createPrivateFile first asks it: a return of 0 lets the
// real creation go ahead; any other value fails that creation with that
// error code (ENOSPC: the disk is full), and -1 creates the file but makes
// every write to it fail with ENOSPC, as a disk that fills up while it is
// written.
using CreationInterceptor = int (*)(const std::string& path);
// setCreationInterceptor - installs (or, with nullptr, removes) the seam.
void setCreationInterceptor(CreationInterceptor interceptor);

}  // namespace tarnwick::platform
