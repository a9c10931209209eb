// SPDX-License-Identifier: Apache-2.0
// platform_posix.cpp - the platform layer over POSIX threads and the C library.
//
// Mutexes are recursive pthread mutexes; an auto-reset event is a flag with
// its own pthread mutex and condition variable. Threads are started detached
// and never joined. This backend serves every test run on Linux; it does not
// emulate Windows' abandoned-mutex rule (a thread that ends while owning a
// mutex leaves it locked), which Tarnwick never relies on.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "runtime/platform.h"

namespace tarnwick::platform {

namespace {

// The state behind an EventHandle.
struct PosixEvent {
    pthread_mutex_t mutex;
    pthread_cond_t signal;
    bool signalled = false;
};

// What a new thread needs to find its body; freed by the thread itself.
struct ThreadStart {
    ThreadBody body;
    void* argument;
};

// Permissions of what Tarnwick creates for the anti-virus to judge: copies
// of mail stay with the user Tarnwick runs as, unless the administrator has
// let a group read the folder they are written to.
constexpr mode_t kPrivateFolderMode = 0700;
constexpr mode_t kPrivateFileMode = 0600;
constexpr mode_t kGroupReadableFileMode = 0640;

// folderOf - the folder a file path is in ("." for a bare name).
std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// groupMayRead - true when the folder exists and grants its group read access.
bool groupMayRead(const std::string& folder) {
    struct stat entry;
    return stat(folder.c_str(), &entry) == 0 && S_ISDIR(entry.st_mode) &&
           (entry.st_mode & S_IRGRP) != 0;
}

// runThread - the pthread entry: unpacks the start record and runs the body.
void* runThread(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.body(start.argument);
    return nullptr;
}

}  // namespace

MutexHandle createMutex() {
    if (detail::takeCreationRefusal())
        return nullptr;
    auto* mutex = new (std::nothrow) pthread_mutex_t;
    if (mutex == nullptr)
        return nullptr;
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        delete mutex;
        return nullptr;
    }
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    const int result = pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (result != 0) {
        delete mutex;
        return nullptr;
    }
    return mutex;
}

void lockMutex(MutexHandle mutex) {
    pthread_mutex_lock(static_cast<pthread_mutex_t*>(mutex));
}

void unlockMutex(MutexHandle mutex) {
    pthread_mutex_unlock(static_cast<pthread_mutex_t*>(mutex));
}

void closeMutex(MutexHandle mutex) {
    auto* posixMutex = static_cast<pthread_mutex_t*>(mutex);
    pthread_mutex_destroy(posixMutex);
    delete posixMutex;
}

EventHandle createEvent() {
    if (detail::takeCreationRefusal())
        return nullptr;
    auto* event = new (std::nothrow) PosixEvent;
    if (event == nullptr)
        return nullptr;
    if (pthread_mutex_init(&event->mutex, nullptr) != 0) {
        delete event;
        return nullptr;
    }
    if (pthread_cond_init(&event->signal, nullptr) != 0) {
        pthread_mutex_destroy(&event->mutex);
        delete event;
        return nullptr;
    }
    return event;
}

void setEvent(EventHandle handle) {
    auto* event = static_cast<PosixEvent*>(handle);
    pthread_mutex_lock(&event->mutex);
    event->signalled = true;
    pthread_cond_signal(&event->signal);
    pthread_mutex_unlock(&event->mutex);
}

void resetEvent(EventHandle handle) {
    auto* event = static_cast<PosixEvent*>(handle);
    pthread_mutex_lock(&event->mutex);
    event->signalled = false;
    pthread_mutex_unlock(&event->mutex);
}

void waitEvent(EventHandle handle) {
    auto* event = static_cast<PosixEvent*>(handle);
    pthread_mutex_lock(&event->mutex);
    // The flag, not the wake-up, is the signal: spurious wake-ups go back to
    // waiting, and consuming the flag is what makes the event auto-reset.
    while (!event->signalled)
        pthread_cond_wait(&event->signal, &event->mutex);
    event->signalled = false;
    pthread_mutex_unlock(&event->mutex);
}

void closeEvent(EventHandle handle) {
    auto* event = static_cast<PosixEvent*>(handle);
    pthread_cond_destroy(&event->signal);
    pthread_mutex_destroy(&event->mutex);
    delete event;
}

bool startThread(ThreadBody body, void* argument, ThreadHandle& handle) {
    if (detail::takeThreadStartRefusal())
        return false;
    auto* start = new (std::nothrow) ThreadStart{body, argument};
    if (start == nullptr)
        return false;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        delete start;
        return false;
    }
    // Detached: workers are never joined, and their resources go back to the
    // system when they end (as the Windows run-time closes its handle).
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int result = pthread_create(&thread, &attributes, runThread, start);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        delete start;
        return false;
    }
    handle = static_cast<ThreadHandle>(thread);
    return true;
}

void sleepMilliseconds(std::uint64_t milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec remaining;
    remaining.tv_sec = static_cast<time_t>(milliseconds / 1000);
    remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    // A signal handler may cut the sleep short; sleep the rest.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void prepareStandardStreams() {
    // A mail server that closes its end of our standard output must not kill
    // us: the write fails with EPIPE instead and the console log goes on.
    signal(SIGPIPE, SIG_IGN);
}

long readDescriptor(int descriptor, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t count = read(descriptor, buffer, size);
        if (count >= 0)
            return static_cast<long>(count);
        if (errno != EINTR)
            return -1;
    }
}

bool writeDescriptor(int descriptor, const char* data, std::size_t size) {
    std::size_t written = 0;
    while (written < size) {
        const ssize_t count = write(descriptor, data + written, size - written);
        if (count > 0) {
            written += static_cast<std::size_t>(count);
            continue;
        }
        if (count == 0)
            return false;  // nothing taken and no error: no progress to wait for
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;  // EPIPE: the reader has gone
        // Full, and non-blocking: wait for room. A reader that goes away
        // meanwhile wakes the wait too, and the next write reports it.
        pollfd entry{};
        entry.fd = descriptor;
        entry.events = POLLOUT;
        while (poll(&entry, 1, -1) < 0) {
            if (errno != EINTR)
                return false;
        }
    }
    return true;
}

bool inputPending(int descriptor) {
    pollfd entry{};
    entry.fd = descriptor;
    entry.events = POLLIN;
    if (poll(&entry, 1, 0) <= 0)
        return false;
    // A hang-up means a read returns 0 at once: that counts as pending too.
    return (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int index = 1; index < argc; ++index)
        arguments.emplace_back(argv[index]);
    return arguments;
}

std::FILE* openSharedFile(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

void offerToScanner(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (descriptor >= 0)
        ::close(descriptor);
}

int removePath(const std::string& path) {
    if (const int verdict = detail::interceptRemoval(path); verdict != -1)
        return verdict;
    return unlink(path.c_str()) == 0 ? 0 : errno;
}

int replaceFile(const std::string& source, const std::string& target) {
    return ::rename(source.c_str(), target.c_str()) == 0 ? 0 : errno;
}

bool isNoSpaceError(int error) {
    return error == ENOSPC || error == EDQUOT;
}

bool statPath(const std::string& path, PathStatus& status) {
    struct stat entry;
    if (stat(path.c_str(), &entry) != 0)
        return false;
    status.isDirectory = S_ISDIR(entry.st_mode);
    status.isRegularFile = S_ISREG(entry.st_mode);
    status.size = static_cast<std::int64_t>(entry.st_size);
    status.modified = static_cast<std::int64_t>(entry.st_mtim.tv_sec) * 1000000000 +
                      static_cast<std::int64_t>(entry.st_mtim.tv_nsec);
    return true;
}

bool isRegularFile(const std::string& path) {
    PathStatus status;
    return statPath(path, status) && status.isRegularFile;
}

bool madeSinceBoot(const std::string& path) {
#ifdef STATX_BTIME
    struct statx entry {};
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME, &entry) != 0 ||
        (entry.stx_mask & STATX_BTIME) == 0)
        return false;
    timespec now{};
    timespec sinceBoot{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0 || clock_gettime(CLOCK_BOOTTIME, &sinceBoot) != 0)
        return false;
    return entry.stx_btime.tv_sec > now.tv_sec - sinceBoot.tv_sec;
#else
    (void)path;
    return false;
#endif
}

bool pathExists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

bool makeOneDirectory(const std::string& path) {
    return mkdir(path.c_str(), kPrivateFolderMode) == 0;
}

std::FILE* createPrivateFile(const std::string& path) {
    const int refusal = detail::interceptCreation(path);
    if (refusal > 0) {
        errno = refusal;
        return nullptr;
    }
    const mode_t mode = groupMayRead(folderOf(path)) ? kGroupReadableFileMode : kPrivateFileMode;
    // Only a new file: whatever already has the name (a file, a link, a
    // FIFO, a device) fails with EEXIST and is neither opened nor touched.
    const int descriptor =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (descriptor < 0)
        return nullptr;
    struct stat entry;
    if (fstat(descriptor, &entry) != 0) {
        const int error = errno;
        ::close(descriptor);
        errno = error;
        return nullptr;
    }
    // The mode given to open passes through the umask.
    const bool modeRight = (entry.st_mode & 07777) == mode;
    if (!modeRight && fchmod(descriptor, mode) != 0) {
        const int error = errno;
        ::close(descriptor);
        errno = error;
        return nullptr;
    }
    if (refusal < 0) {
        ::close(descriptor);
        return detail::fullDiskStream();
    }
    std::FILE* file = fdopen(descriptor, "wb");
    if (file == nullptr) {
        const int error = errno;
        ::close(descriptor);
        errno = error;
    }
    return file;
}

bool listFolder(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr)
        return false;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(folder);
    return true;
}

namespace {

// The requests to end the process that watchTerminationRequests handles.
constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP};

// terminationSignals - the set of them.
sigset_t terminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int number : kTerminationSignals)
        sigaddset(&set, number);
    return set;
}

// watchSignals - the watching thread: waits for the first request, runs the
// handler, then lets the signal end the process as it would have.
void* watchSignals(void* raw) {
    const TerminationHandler handler = reinterpret_cast<TerminationHandler>(raw);
    const sigset_t set = terminationSignals();
    int received = 0;
    while (sigwait(&set, &received) != 0) {
    }
    handler();
    ::signal(received, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, received);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(received);
    _exit(128 + received);  // only if the default action did not end it
}

}  // namespace

bool watchTerminationRequests(TerminationHandler handler) {
    // Blocked in this thread and so in every thread started later: only the
    // watching thread's sigwait takes them; later requests stay pending.
    const sigset_t set = terminationSignals();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, watchSignals, reinterpret_cast<void*>(handler)) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return false;
    }
    pthread_detach(thread);
    return true;
}

std::string absolutePath(const std::string& path) {
    if (!path.empty() && path.front() == '/')
        return path;
    std::vector<char> here(PATH_MAX + 1, '\0');
    if (getcwd(here.data(), here.size()) == nullptr)
        return path;
    std::string relative = path;
    while (relative.rfind("./", 0) == 0)
        relative.erase(0, 2);
    std::string folder(here.data());
    if (relative.empty() || relative == ".")
        return folder;
    return folder == "/" ? folder + relative : folder + "/" + relative;
}

namespace {

// userName - the name of a user id, its number when it has none (getpwuid_r
// with a buffer of the size the system suggests, or a page).
std::string userName(uid_t user) {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr)
        return found->pw_name;
    return std::to_string(user);
}

}  // namespace

std::string currentUserName() {
    return userName(geteuid());
}

std::uint64_t currentProcessId() {
    return static_cast<std::uint64_t>(getpid());
}

namespace {

// openLockFile - the lock file at path, made when missing, never through a
// link; kNoLockFile unless it is an ordinary file of ours.
int openLockFile(const std::string& path) {
    const int descriptor =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kPrivateFileMode);
    if (descriptor < 0)
        return -1;
    // Only a file of ours: one another user made could be held by them.
    struct stat status;
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid()) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

}  // namespace

LockFile openUsersLock(const std::string& folder, const std::string&) {
    const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    return descriptor < 0 ? kNoLockFile : descriptor;
}

FolderLock tryLock(LockFile file, bool exclusive) {
    if (flock(static_cast<int>(file), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0)
        return FolderLock::Owned;
    return errno == EWOULDBLOCK ? FolderLock::HeldByAnother : FolderLock::Failed;
}

void unlockFile(LockFile file) {
    flock(static_cast<int>(file), LOCK_UN);
}

FolderLock lockExclusively(const std::string& path) {
    const int descriptor = openLockFile(path);
    if (descriptor < 0)
        return FolderLock::Failed;
    if (flock(descriptor, LOCK_EX | LOCK_NB) == 0)
        return FolderLock::Owned;  // the descriptor stays open with the lock
    const int error = errno;
    ::close(descriptor);
    return error == EWOULDBLOCK ? FolderLock::HeldByAnother : FolderLock::Failed;
}

FolderLock lockUntilReleased(const std::string& path, LockHandle& handle) {
    const int descriptor = openLockFile(path);
    if (descriptor < 0)
        return FolderLock::Failed;
    if (flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
        handle = descriptor;
        return FolderLock::Owned;  // the descriptor stays open with the lock
    }
    const int error = errno;
    ::close(descriptor);
    return error == EWOULDBLOCK ? FolderLock::HeldByAnother : FolderLock::Failed;
}

void releaseLock(LockHandle handle) {
    ::close(static_cast<int>(handle));
}

bool entryOwnership(const std::string& path, EntryOwnership& ownership, std::int64_t expectedUser) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0)
        return false;
    const uid_t expected = expectedUser < 0 ? geteuid() : static_cast<uid_t>(expectedUser);
    ownership.isLink = S_ISLNK(status.st_mode);
    ownership.isDirectory = S_ISDIR(status.st_mode);
    ownership.isRegularFile = S_ISREG(status.st_mode);
    ownership.ownedByExpected = status.st_uid == expected;
    ownership.ownerName = userName(status.st_uid);
    ownership.mode = static_cast<unsigned>(status.st_mode & 07777);
    ownership.othersMayWrite = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return true;
}

bool processAlive(std::uint64_t processId) {
    if (processId == 0 || processId > static_cast<std::uint64_t>(INT_MAX))
        return false;
    return kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM;
}

std::vector<std::string> regularFilesIn(const std::string& folder) {
    std::vector<std::string> names;
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr)
        return names;
    while (const dirent* entry = readdir(listing)) {
        struct stat status;
        const std::string path = folder + "/" + entry->d_name;
        if (lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode))
            names.emplace_back(entry->d_name);
    }
    closedir(listing);
    return names;
}

// shownPath - see platform.h.
std::string shownPath(const std::string& path) {
    return path;
}

namespace detail {

namespace {

// refuseWrite - the write of a stream on a full disk.
ssize_t refuseWrite(void*, const char*, size_t) {
    errno = ENOSPC;
    return -1;
}

}  // namespace

std::FILE* fullDiskStream() {
    cookie_io_functions_t functions{};
    functions.write = refuseWrite;
    return fopencookie(nullptr, "wb", functions);
}

}  // namespace detail

}  // namespace tarnwick::platform
