// SPDX-License-Identifier: Apache-2.0
// platform_win32.cpp - the platform layer over Windows kernel objects and the
// C run-time.
//
// Mutexes and auto-reset events are unnamed kernel objects, waited for
// without time-out; threads are started through the C run-time, which
// closes their handles itself when they end. Standard output stays in text
// mode (LF leaves as CR LF); standard input is switched to binary because
// the protocol reader folds line ends itself. Built only for Windows targets.
//
// Paths arrive as bytes and every file call goes through the wide-character
// API (widePath): the bytes are read in the ANSI code page, as the narrow
// calls would, and when that reading names nothing but the bytes are valid
// UTF-8, they are read as UTF-8 too. A path whose full form is too long for
// the narrow calls (MAX_PATH) is handed over in its "\\?\" form. Shorter
// paths are handed over as given.
#include <windows.h>

#include <shellapi.h>

#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <climits>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include "runtime/platform.h"

namespace tarnwick::platform {

namespace {

// Sleep takes a 32-bit count and treats 0xFFFFFFFF as "forever": longer
// sleeps are made of chunks of at most a day each.
constexpr std::uint64_t kLongestSleepChunkMilliseconds = 24ull * 60 * 60 * 1000;

// Reads and writes through _read take an unsigned count; larger requests
// are served in part, as a short read.
constexpr std::size_t kLongestRead = INT_MAX;

// Full paths of this length or more go over in their long form: MAX_PATH
// counts the terminating zero, and a folder to be created must leave room
// for an 8.3 file name in it (MAX_PATH - 12).
constexpr std::size_t kLongPathFrom = MAX_PATH - 12;

// The longest account name GetUserNameW returns (UNLEN in lmcons.h).
constexpr DWORD kLongestUserName = 256;

constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr wchar_t kLongUncPrefix[] = L"\\\\?\\UNC\\";
constexpr wchar_t kDevicePrefix[] = L"\\\\.\\";

// decoded - bytes as wide characters in codePage; false when flags reject
// them (MB_ERR_INVALID_CHARS: not valid in that code page).
bool decoded(const std::string& bytes, UINT codePage, DWORD flags, std::wstring& wide) {
    wide.clear();
    if (bytes.empty())
        return true;
    if (bytes.size() > static_cast<std::size_t>(INT_MAX))
        return false;
    const int size = static_cast<int>(bytes.size());
    const int needed = MultiByteToWideChar(codePage, flags, bytes.data(), size, nullptr, 0);
    if (needed <= 0)
        return false;
    wide.resize(static_cast<std::size_t>(needed));
    return MultiByteToWideChar(codePage, flags, bytes.data(), size, wide.data(), needed) == needed;
}

// startsWith - wide text begins with prefix.
bool startsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// longForm - path as it goes to the system: unchanged when its full form is
// short (or already a "\\?\" or device path), else that full form (absolute,
// backslashes, no "." or "..") behind "\\?\", or "\\?\UNC\" for a share.
std::wstring longForm(const std::wstring& path) {
    if (path.empty() || startsWith(path, kLongPrefix) || startsWith(path, kDevicePrefix))
        return path;
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return path;
    std::wstring full(needed, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed)
        return path;
    full.resize(written);
    if (full.size() < kLongPathFrom || startsWith(full, kLongPrefix) ||
        startsWith(full, kDevicePrefix))
        return path;
    if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\')
        return kLongUncPrefix + full.substr(2);
    return kLongPrefix + full;
}

// names - the system knows an entry at this (converted) path.
bool names(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// parentExists - the folder that would hold path exists.
bool parentExists(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos)
        return false;
    return names(path.substr(0, separator + 1));
}

// widePath - the path's bytes for the wide calls. They are read in the ANSI
// code page; when they are also valid UTF-8 and read differently so, the
// UTF-8 reading is taken if it names an entry and the ANSI one does not, or
// (for an entry about to be made) if only its folder exists.
std::wstring widePath(const std::string& path) {
    std::wstring ansi;
    decoded(path, CP_ACP, 0, ansi);
    std::wstring utf8;
    if (!decoded(path, CP_UTF8, MB_ERR_INVALID_CHARS, utf8) || utf8 == ansi)
        return longForm(ansi);
    const std::wstring ansiPath = longForm(ansi);
    if (names(ansiPath))
        return ansiPath;
    const std::wstring utf8Path = longForm(utf8);
    if (names(utf8Path) || (!parentExists(ansiPath) && parentExists(utf8Path)))
        return utf8Path;
    return ansiPath;
}

// encoded - wide text in codePage; false when some character has no form
// there (only asked of the ANSI code page) or the text is too long.
bool encoded(const wchar_t* wide, UINT codePage, std::string& bytes) {
    bytes.clear();
    const std::size_t length = std::wcslen(wide);
    if (length == 0)
        return true;
    if (length > static_cast<std::size_t>(INT_MAX))
        return false;
    BOOL usedDefault = FALSE;
    BOOL* const lossy = codePage == CP_UTF8 ? nullptr : &usedDefault;
    const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int size = static_cast<int>(length);
    const int needed = WideCharToMultiByte(codePage, flags, wide, size, nullptr, 0, nullptr, lossy);
    if (needed <= 0 || usedDefault)
        return false;
    bytes.resize(static_cast<std::size_t>(needed));
    return WideCharToMultiByte(codePage, flags, wide, size, bytes.data(), needed, nullptr, lossy) ==
               needed &&
           !usedDefault;
}

// wideMode - an fopen mode (ASCII) as wide characters.
std::wstring wideMode(const char* mode) {
    std::wstring wide;
    for (; *mode != '\0'; ++mode)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*mode)));
    return wide;
}

}  // namespace

MutexHandle createMutex() {
    if (detail::takeCreationRefusal())
        return nullptr;
    return CreateMutexA(nullptr, FALSE, nullptr);
}

void lockMutex(MutexHandle mutex) {
    WaitForSingleObject(mutex, INFINITE);
}

void unlockMutex(MutexHandle mutex) {
    ReleaseMutex(mutex);
}

void closeMutex(MutexHandle mutex) {
    CloseHandle(mutex);
}

EventHandle createEvent() {
    if (detail::takeCreationRefusal())
        return nullptr;
    return CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

void setEvent(EventHandle event) {
    SetEvent(event);
}

void resetEvent(EventHandle event) {
    ResetEvent(event);
}

void waitEvent(EventHandle event) {
    WaitForSingleObject(event, INFINITE);
}

void closeEvent(EventHandle event) {
    CloseHandle(event);
}

bool startThread(ThreadBody body, void* argument, ThreadHandle& handle) {
    if (detail::takeThreadStartRefusal())
        return false;
    // _beginthread (not _beginthreadex): the run-time sets up its per-thread
    // data and closes the handle itself when the thread ends.
    const std::uintptr_t started = _beginthread(body, 0, argument);
    if (started == static_cast<std::uintptr_t>(-1) || started == 0)
        return false;
    handle = started;
    return true;
}

void sleepMilliseconds(std::uint64_t milliseconds) {
    if (milliseconds == 0) {
        Sleep(0);
        return;
    }
    while (milliseconds > 0) {
        const std::uint64_t chunk = milliseconds < kLongestSleepChunkMilliseconds
                                        ? milliseconds
                                        : kLongestSleepChunkMilliseconds;
        Sleep(static_cast<DWORD>(chunk));
        milliseconds -= chunk;
    }
}

void prepareStandardStreams() {
    _setmode(_fileno(stdin), _O_BINARY);
}

long readDescriptor(int descriptor, char* buffer, std::size_t size) {
    const unsigned count = static_cast<unsigned>(size < kLongestRead ? size : kLongestRead);
    return _read(descriptor, buffer, count);
}

bool writeDescriptor(int descriptor, const char* data, std::size_t size) {
    // Anonymous pipes and consoles block when full, so a failed _write means
    // the reader has gone or the descriptor is unusable. In text mode the
    // run-time turns each LF into CR LF and counts the bytes given, not sent.
    while (size > 0) {
        const unsigned chunk = static_cast<unsigned>(size < kLongestRead ? size : kLongestRead);
        const int count = _write(descriptor, data, chunk);
        if (count <= 0)
            return false;
        data += count;
        size -= static_cast<std::size_t>(count);
    }
    return true;
}

bool inputPending(int descriptor) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    if (handle == INVALID_HANDLE_VALUE)
        return true;  // a read will fail at once: nothing to wait for
    switch (GetFileType(handle)) {
        case FILE_TYPE_PIPE: {
            DWORD available = 0;
            if (PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr))
                return available > 0;
            // A broken pipe fails the peek and the next read returns 0 at
            // once. Any other failure (some pipe emulations cannot be peeked
            // at all) says nothing is known to be there: reporting "pending"
            // would make the reader block for the byte after a line end.
            const DWORD error = GetLastError();
            return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
                   error == ERROR_PIPE_NOT_CONNECTED;
        }
        case FILE_TYPE_CHAR:
            return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
        default:
            return true;  // a disk file never makes a read wait
    }
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    if (wide == nullptr) {
        for (int index = 1; index < argc; ++index)
            arguments.emplace_back(argv[index]);
        return arguments;
    }
    for (int index = 1; index < count; ++index) {
        std::string bytes;
        if (!encoded(wide[index], CP_ACP, bytes))
            encoded(wide[index], CP_UTF8, bytes);
        arguments.push_back(std::move(bytes));
    }
    LocalFree(wide);
    return arguments;
}

std::FILE* openSharedFile(const std::string& path, const char* mode) {
    return _wfsopen(widePath(path).c_str(), wideMode(mode).c_str(), _SH_DENYNO);
}

void offerToScanner(const std::string&) {}

int removePath(const std::string& path) {
    if (const int verdict = detail::interceptRemoval(path); verdict != -1)
        return verdict;
    return _wunlink(widePath(path).c_str()) == 0 ? 0 : errno;
}

int replaceFile(const std::string& source, const std::string& target) {
    if (MoveFileExW(widePath(source).c_str(), widePath(target).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    return static_cast<int>(GetLastError());
}

bool isNoSpaceError(int error) {
    // The run-time has no EDQUOT: a used-up quota fails the write with
    // ERROR_DISK_FULL, which it reports as ENOSPC.
    return error == ENOSPC;
}

bool statPath(const std::string& path, PathStatus& status) {
    WIN32_FILE_ATTRIBUTE_DATA entry;
    if (!GetFileAttributesExW(widePath(path).c_str(), GetFileExInfoStandard, &entry))
        return false;
    status.isDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status.isRegularFile =
        (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    status.size = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow);
    status.modified = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(entry.ftLastWriteTime.dwHighDateTime) << 32) |
        entry.ftLastWriteTime.dwLowDateTime);
    return true;
}

bool madeSinceBoot(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA entry;
    if (!GetFileAttributesExW(widePath(path).c_str(), GetFileExInfoStandard, &entry))
        return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    // File times count 100 ns; GetTickCount64 milliseconds since the start.
    const std::uint64_t bootedAt = ticks(now) - GetTickCount64() * 10000;
    return ticks(entry.ftCreationTime) > bootedAt;
}

bool isRegularFile(const std::string& path) {
    // The name first: the status query of a reserved name describes the
    // device, or whatever the run-time makes of it.
    if (detail::namesWindowsDevice(path))
        return false;
    PathStatus status;
    return statPath(path, status) && status.isRegularFile;
}

bool pathExists(const std::string& path) {
    return names(widePath(path));
}

bool makeOneDirectory(const std::string& path) {
    if (CreateDirectoryW(widePath(path).c_str(), nullptr) != 0)
        return true;
    // The C library's code, as the POSIX side leaves it, for the caller's line.
    switch (GetLastError()) {
        case ERROR_PATH_NOT_FOUND:
        case ERROR_FILE_NOT_FOUND:
            errno = ENOENT;
            break;
        case ERROR_ALREADY_EXISTS:
            errno = EEXIST;
            break;
        case ERROR_DISK_FULL:
            errno = ENOSPC;
            break;
        case ERROR_ACCESS_DENIED:
        default:
            errno = EACCES;
            break;
    }
    return false;
}

std::FILE* createPrivateFile(const std::string& path) {
    const int refusal = detail::interceptCreation(path);
    if (refusal != 0) {
        // No stream that fails its writes here: the seam refuses the
        // creation with ENOSPC instead.
        errno = refusal > 0 ? refusal : ENOSPC;
        return nullptr;
    }
    // A device name is no file of ours.
    if (detail::namesWindowsDevice(path)) {
        errno = EEXIST;
        return nullptr;
    }
    // Only a new file (CREATE_NEW): whatever already has the name, a link
    // or junction included, fails with EEXIST. The folder's inherited
    // permissions are the administrator's to set.
    const HANDLE handle =
        CreateFileW(widePath(path).c_str(), GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        errno = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS   ? EEXIST
                : error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? ENOSPC
                : error == ERROR_PATH_NOT_FOUND                               ? ENOENT
                                                                              : EACCES;
        return nullptr;
    }
    const int descriptor =
        _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        errno = EACCES;
        return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, "wb");
    if (file == nullptr)
        _close(descriptor);
    return file;
}

bool listFolder(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    WIN32_FIND_DATAW entry;
    const HANDLE search = FindFirstFileW((widePath(path) + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    do {
        std::string name;
        if (!encoded(entry.cFileName, CP_ACP, name))
            encoded(entry.cFileName, CP_UTF8, name);
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return true;
}

namespace {

// The handler that watchTerminationRequests installed.
TerminationHandler terminationHandler = nullptr;

// onConsoleEvent - runs on a thread the system starts for the event: every
// event that would end the process runs the handler first.
BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            break;
        default:
            return FALSE;
    }
    // One handler run: a second event waits here until the process ends.
    static SRWLOCK once = SRWLOCK_INIT;
    AcquireSRWLockExclusive(&once);
    terminationHandler();
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

bool watchTerminationRequests(TerminationHandler handler) {
    terminationHandler = handler;
    return SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

std::string absolutePath(const std::string& path) {
    const std::wstring wide = widePath(path);
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return path;
    std::wstring full(needed, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed)
        return path;
    full.resize(written);
    std::string bytes;
    if (!encoded(full.c_str(), CP_ACP, bytes) && !encoded(full.c_str(), CP_UTF8, bytes))
        return path;
    return bytes;
}

std::string currentUserName() {
    wchar_t name[kLongestUserName + 1] = {};
    DWORD size = kLongestUserName + 1;
    if (!GetUserNameW(name, &size))
        return "unknown";
    std::string bytes;
    if (!encoded(name, CP_ACP, bytes) && !encoded(name, CP_UTF8, bytes))
        return "unknown";
    return bytes;
}

std::uint64_t currentProcessId() {
    return GetCurrentProcessId();
}

namespace {

// The byte of the lock file each lock takes: lockExclusively's, the users'.
constexpr DWORD kOwnerLockByte = 0;
constexpr DWORD kUsersLockByte = 1;

// openLockFile - the lock file at path, made when missing, never through a
// reparse point.
LockFile openLockFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(widePath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return kNoLockFile;
    const HANDLE file = CreateFileW(widePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return kNoLockFile;
    return reinterpret_cast<LockFile>(file);
}

}  // namespace

LockFile openUsersLock(const std::string&, const std::string& lockPath) {
    return openLockFile(lockPath);
}

FolderLock tryLock(LockFile file, bool exclusive) {
    OVERLAPPED at{};
    at.Offset = kUsersLockByte;
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (LockFileEx(reinterpret_cast<HANDLE>(file), flags, 0, 1, 0, &at))
        return FolderLock::Owned;
    return GetLastError() == ERROR_LOCK_VIOLATION ? FolderLock::HeldByAnother : FolderLock::Failed;
}

void unlockFile(LockFile file) {
    OVERLAPPED at{};
    at.Offset = kUsersLockByte;
    UnlockFileEx(reinterpret_cast<HANDLE>(file), 0, 1, 0, &at);
}

FolderLock lockExclusively(const std::string& path) {
    const LockFile opened = openLockFile(path);
    if (opened == kNoLockFile)
        return FolderLock::Failed;
    const HANDLE file = reinterpret_cast<HANDLE>(opened);
    OVERLAPPED at{};
    at.Offset = kOwnerLockByte;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
        return FolderLock::Owned;  // the handle stays open with the lock
    const DWORD error = GetLastError();
    CloseHandle(file);
    return error == ERROR_LOCK_VIOLATION ? FolderLock::HeldByAnother : FolderLock::Failed;
}

FolderLock lockUntilReleased(const std::string& path, LockHandle& handle) {
    const LockFile opened = openLockFile(path);
    if (opened == kNoLockFile)
        return FolderLock::Failed;
    const HANDLE file = reinterpret_cast<HANDLE>(opened);
    OVERLAPPED at{};
    at.Offset = kOwnerLockByte;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        handle = static_cast<LockHandle>(opened);
        return FolderLock::Owned;  // the handle stays open with the lock
    }
    const DWORD error = GetLastError();
    CloseHandle(file);
    return error == ERROR_LOCK_VIOLATION ? FolderLock::HeldByAnother : FolderLock::Failed;
}

void releaseLock(LockHandle handle) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool entryOwnership(const std::string& path, EntryOwnership& ownership, std::int64_t) {
    const DWORD attributes = GetFileAttributesW(widePath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    ownership.isLink = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    ownership.isDirectory = !ownership.isLink && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    ownership.isRegularFile =
        !ownership.isLink && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    ownership.ownedByExpected = true;
    ownership.ownerName = currentUserName();
    ownership.mode = 0;
    ownership.othersMayWrite = false;
    return true;
}

bool processAlive(std::uint64_t processId) {
    const HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(processId));
    if (process == nullptr)
        return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

std::vector<std::string> regularFilesIn(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    const HANDLE listing = FindFirstFileW(widePath(folder + "/*").c_str(), &entry);
    if (listing == INVALID_HANDLE_VALUE)
        return names;
    do {
        const DWORD excluded =
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
        if ((entry.dwFileAttributes & excluded) != 0)
            continue;
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, entry.cFileName, -1, nullptr, 0, nullptr, nullptr);
        if (size <= 1)
            continue;
        std::string name(static_cast<std::size_t>(size - 1), '\0');
        WideCharToMultiByte(CP_UTF8, 0, entry.cFileName, -1, name.data(), size, nullptr, nullptr);
        names.push_back(std::move(name));
    } while (FindNextFileW(listing, &entry));
    FindClose(listing);
    return names;
}

// shownPath - see platform.h.
std::string shownPath(const std::string& path) {
    std::string shown;
    shown.reserve(path.size());
    for (std::size_t index = 0; index < path.size(); ++index) {
        const char byte = path[index] == '/' ? '\\' : path[index];
        // "C:\" joined with "/name" shows one separator, not two; the
        // leading pair of a UNC path stays.
        if (byte == '\\' && index > 1 && shown.back() == '\\')
            continue;
        shown.push_back(byte);
    }
    return shown;
}

namespace detail {

std::FILE* fullDiskStream() {
    errno = ENOSPC;
    return nullptr;
}

}  // namespace detail

}  // namespace tarnwick::platform
