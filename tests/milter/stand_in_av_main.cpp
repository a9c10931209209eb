// SPDX-License-Identifier: Apache-2.0
// stand_in_av_main.cpp - the end-to-end tests' stand-in anti-virus as a
// program, for suites where the filter runs under a real mail server.
//
// Usage: milter_stand_in_av FOLDER NAME_PATTERN MARKER
// Deletes every ".scanme" file in FOLDER whose name matches NAME_PATTERN (an
// ECMAScript regex over the whole name) and whose content holds MARKER, and
// every anti-virus test file the filter's probe writes, until SIGTERM or
// SIGINT. Prints "ready" once it watches, and on exit how many files it
// removed.
#include <signal.h>

#include <cstdio>
#include <string>

#include "stand_in_av.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FOLDER NAME_PATTERN MARKER\n", argv[0]);
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    // Blocked before the watching thread starts, so only sigwait sees them.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    using tarnwick::e2e::AvAction;
    // A part of the standard test file's text, which no message here holds.
    const std::string testFileMark = std::string("STANDARD-") + "ANTIVIRUS-";
    tarnwick::e2e::StandInAv av(argv[1],
                                {{argv[2], argv[3], AvAction::Delete, 0, 0},
                                 {"probe-[0-9]+\\.scanme", testFileMark, AvAction::Delete, 0, 0}});
    std::printf("ready\n");
    std::fflush(stdout);
    int received = 0;
    sigwait(&stop, &received);
    std::printf("removed %zu file(s)\n", av.acted().size());
    return 0;
}
