// platform_win32.cpp - the platform layer over Windows kernel objects and the
// C run-time.
//
// Mutexes and auto-reset events are unnamed kernel objects, waited for
// without time-out; threads are started through the C run-time, which
// closes their handles itself when they end. Standard output stays in text
// mode (LF leaves as CR LF); standard input is switched to binary because
// the protocol reader folds line ends itself. Built only for Windows targets.
#include <windows.h>

#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <climits>

#include "runtime/platform.h"

namespace tarnwick::platform {

namespace {

// Sleep takes a 32-bit count and treats 0xFFFFFFFF as "forever": longer
// sleeps are made of chunks of at most a day each.
constexpr std::uint64_t kLongestSleepChunkMilliseconds = 24ull * 60 * 60 * 1000;

// Reads and writes through _read take an unsigned count; larger requests
// are served in part, as a short read.
constexpr std::size_t kLongestRead = INT_MAX;

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

std::FILE* openSharedFile(const std::string& path, const char* mode) {
    return _fsopen(path.c_str(), mode, _SH_DENYNO);
}

void offerToScanner(const std::string&) {}

int removePath(const std::string& path) {
    if (const int verdict = detail::interceptRemoval(path); verdict != -1)
        return verdict;
    return _unlink(path.c_str()) == 0 ? 0 : errno;
}

bool statPath(const std::string& path, PathStatus& status) {
    struct _stat64 entry;
    if (_stat64(path.c_str(), &entry) != 0)
        return false;
    status.isDirectory = (entry.st_mode & _S_IFMT) == _S_IFDIR;
    status.isRegularFile = (entry.st_mode & _S_IFMT) == _S_IFREG;
    status.size = static_cast<std::int64_t>(entry.st_size);
    return true;
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
    return _access(path.c_str(), 0) == 0;
}

bool makeOneDirectory(const std::string& path) {
    return _mkdir(path.c_str()) == 0;
}

std::FILE* createScanFile(const std::string& path) {
    // The folder's inherited permissions are the administrator's to set.
    return openSharedFile(path, "wb");
}

}  // namespace tarnwick::platform
