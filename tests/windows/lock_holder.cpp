// SPDX-License-Identifier: Apache-2.0
// lock_holder: a Windows test helper that plays the resident anti-virus holding a file.
//
// It runs in the same Wine prefix (or on the same Windows machine) as Tarnwick, because a file is
// locked for a Windows program only by another Windows process: a Linux process holding it does
// not count. Five modes, one file each:
//   lock_holder hold PATH SECONDS          open PATH (once it exists) without delete sharing and
//                                          keep it open: removing it fails while held
//   lock_holder hold-delete PATH SECONDS   the same, and the file is deleted when released, as an
//                                          anti-virus does with a file it has quarantined
//   lock_holder block PATH SECONDS         create PATH with share mode 0, so nobody can create or
//                                          open it meanwhile; it vanishes when released
//   lock_holder refuse PATH SECONDS        open PATH (once nobody else has it open) with share
//                                          mode 0, so nobody can open it meanwhile; it stays
//   lock_holder refuse-delete PATH SECONDS the same, and the file is deleted when released
// PATH may end in a name with '*' wildcards: the first file that matches it is taken (a file
// whose name carries a process id, for instance).
// An optional fourth argument AFTER makes the helper start taking PATH only once AFTER exists:
// a message file, for instance, once Tarnwick's copy of it shows that Tarnwick has read it.
// It prints "waiting PATH" when it starts looking, "holding PATH" once it holds the file and
// "released PATH" after closing it, each line flushed, so a test driver can follow it.
// Exit codes: 0 done, 2 bad command line, 3 the file (or AFTER) did not come in time.
// It is a test program, not product code: it uses windows.h directly and is built only for WIN32.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// How long hold modes keep trying to open a file that does not exist yet or is still held by
// its writer; after this the helper gives up with exit code 3.
constexpr DWORD kTakeTimeoutMs = 60000;
// Pause between two attempts to take the file.
constexpr DWORD kRetryPauseMs = 10;

enum class Mode { Hold, HoldDelete, Block, Refuse, RefuseDelete };

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
        case Mode::Refuse:
            return CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        case Mode::RefuseDelete:
            return CreateFileA(path, GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    }
    return INVALID_HANDLE_VALUE;
}

// resolve - path itself, or, when its name holds a '*', the first existing file that matches
// it, in path's folder; empty while none matches.
std::string resolve(const char* path) {
    const std::string pattern = path;
    if (pattern.find('*') == std::string::npos)
        return pattern;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return std::string();
    FindClose(search);
    const std::size_t separator = pattern.find_last_of("\\/");
    return (separator == std::string::npos ? std::string() : pattern.substr(0, separator + 1)) +
           found.cFileName;
}

// parseMode - the mode named on the command line; false for an unknown word.
bool parseMode(const char* word, Mode& mode) {
    if (std::strcmp(word, "hold") == 0) {
        mode = Mode::Hold;
    } else if (std::strcmp(word, "hold-delete") == 0) {
        mode = Mode::HoldDelete;
    } else if (std::strcmp(word, "block") == 0) {
        mode = Mode::Block;
    } else if (std::strcmp(word, "refuse") == 0) {
        mode = Mode::Refuse;
    } else if (std::strcmp(word, "refuse-delete") == 0) {
        mode = Mode::RefuseDelete;
    } else {
        return false;
    }
    return true;
}

}  // namespace

// main - takes the file, holds it for the given seconds, releases it.
int main(int argc, char** argv) {
    Mode mode{};
    if ((argc != 4 && argc != 5) || !parseMode(argv[1], mode)) {
        std::fprintf(stderr,
                     "usage: lock_holder hold|hold-delete|block|refuse|refuse-delete PATH SECONDS "
                     "[AFTER]\n");
        return 2;
    }
    const char* path = argv[2];
    const DWORD holdMs = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)) * 1000;
    const char* after = argc == 5 ? argv[4] : nullptr;

    say("waiting", path);
    const ULONGLONG deadline = GetTickCount64() + kTakeTimeoutMs;
    while (after != nullptr && GetFileAttributesA(after) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount64() >= deadline) {
            std::fprintf(stderr, "lock_holder: %s never appeared\n", after);
            return 3;
        }
        Sleep(kRetryPauseMs);
    }
    // The file may not exist yet, or another program may still have it open in a way that
    // conflicts with the mode.
    std::string taken = resolve(path);
    HANDLE file = taken.empty() ? INVALID_HANDLE_VALUE : openFor(mode, taken.c_str());
    while (file == INVALID_HANDLE_VALUE && GetTickCount64() < deadline) {
        Sleep(kRetryPauseMs);
        taken = resolve(path);
        file = taken.empty() ? INVALID_HANDLE_VALUE : openFor(mode, taken.c_str());
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
