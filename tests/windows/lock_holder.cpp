// lock_holder: a Windows test helper that plays the resident anti-virus holding a file.
//
// It runs in the same Wine prefix (or on the same Windows machine) as Tarnwick, because a file is
// locked for a Windows program only by another Windows process: a Linux process holding it does
// not count. Three modes, one file each:
//   lock_holder hold PATH SECONDS          open PATH (once it exists) without delete sharing and
//                                          keep it open: removing it fails while held
//   lock_holder hold-delete PATH SECONDS   the same, and the file is deleted when released, as an
//                                          anti-virus does with a file it has quarantined
//   lock_holder block PATH SECONDS         create PATH with share mode 0, so nobody can create or
//                                          open it meanwhile; it vanishes when released
// It prints "waiting PATH" when it starts looking, "holding PATH" once it holds the file and
// "released PATH" after closing it, each line flushed, so a test driver can follow it.
// Exit codes: 0 done, 2 bad command line, 3 the file could not be taken in time.
// It is a test program, not product code: it uses windows.h directly and is built only for WIN32.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// How long hold modes keep trying to open a file that does not exist yet or is still held by
// its writer; after this the helper gives up with exit code 3.
constexpr DWORD kTakeTimeoutMs = 60000;
// Pause between two attempts to take the file.
constexpr DWORD kRetryPauseMs = 10;

enum class Mode { Hold, HoldDelete, Block };

// say - prints one progress line and flushes it at once.
void say(const char* what, const char* path) {
    std::printf("%s %s\n", what, path);
    std::fflush(stdout);
}

// openFor - one attempt to take the file in the given mode.
HANDLE openFor(Mode mode, const char* path) {
    constexpr DWORD kShareNoDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;
    switch (mode) {
        case Mode::Hold:
            return CreateFileA(path, GENERIC_READ, kShareNoDelete, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        case Mode::HoldDelete:
            return CreateFileA(path, GENERIC_READ | DELETE, kShareNoDelete, nullptr, OPEN_EXISTING,
                               FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        case Mode::Block:
            return CreateFileA(path, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                               FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    }
    return INVALID_HANDLE_VALUE;
}

// parseMode - the mode named on the command line; false for an unknown word.
bool parseMode(const char* word, Mode& mode) {
    if (std::strcmp(word, "hold") == 0) {
        mode = Mode::Hold;
    } else if (std::strcmp(word, "hold-delete") == 0) {
        mode = Mode::HoldDelete;
    } else if (std::strcmp(word, "block") == 0) {
        mode = Mode::Block;
    } else {
        return false;
    }
    return true;
}

}  // namespace

// main - takes the file, holds it for the given seconds, releases it.
int main(int argc, char** argv) {
    Mode mode{};
    if (argc != 4 || !parseMode(argv[1], mode)) {
        std::fprintf(stderr, "usage: lock_holder hold|hold-delete|block PATH SECONDS\n");
        return 2;
    }
    const char* path = argv[2];
    const DWORD holdMs = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)) * 1000;

    say("waiting", path);
    // The file may not exist yet, or its writer may still have it open without delete sharing.
    const ULONGLONG deadline = GetTickCount64() + kTakeTimeoutMs;
    HANDLE file = openFor(mode, path);
    while (file == INVALID_HANDLE_VALUE && GetTickCount64() < deadline) {
        Sleep(kRetryPauseMs);
        file = openFor(mode, path);
    }
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "lock_holder: cannot take %s (error %lu)\n", path, GetLastError());
        return 3;
    }
    say("holding", path);
    Sleep(holdMs);
    CloseHandle(file);
    say("released", path);
    return 0;
}
