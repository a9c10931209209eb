// SPDX-License-Identifier: Apache-2.0
// offer_to_scanner_test.cpp - every file handed to the anti-virus is opened
// for reading once after it has been written and closed.
//
// On-access scanners on Linux examine a file when it is opened, not when its
// writer closes it; without the extra open a scanner can miss a freshly
// written copy. The test watches ScanMe with inotify and checks that each
// file's write-close is followed by a read-only close.
#include <gtest/gtest.h>

#ifdef __linux__
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/scanner/scan_fixture.h"

namespace tarnwick::testing {
namespace {

// closeEventsByName - the close events inotify reported for each file name,
// in order: 'W' for a close after writing, 'R' for a read-only close.
std::map<std::string, std::string> closeEventsByName(int watch) {
    std::map<std::string, std::string> events;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(watch, buffer, sizeof buffer);
        if (count <= 0)
            break;
        for (ssize_t offset = 0; offset < count;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            if (event->len > 0) {
                if (event->mask & IN_CLOSE_WRITE)
                    events[event->name] += 'W';
                if (event->mask & IN_CLOSE_NOWRITE)
                    events[event->name] += 'R';
            }
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return events;
}

TEST_F(ScanJobTest, CopyAndPartFilesAreOpenedForReadingAfterTheyAreWritten) {
    std::filesystem::create_directory("ScanMe");
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, "ScanMe", IN_CLOSE_WRITE | IN_CLOSE_NOWRITE), 0);

    const FilterResult result = scan(21, writeMessage("m.eml", twoAttachmentMessage()));
    EXPECT_EQ(result.lines, verdict(false));

    const std::map<std::string, std::string> events = closeEventsByName(watch);
    ::close(watch);
    for (const char* name :
         {"mail-21-msg.scanme", "msg-21-part-0.scanme", "msg-21-part-1.scanme"}) {
        const auto found = events.find(name);
        ASSERT_NE(found, events.end()) << name;
        // Written and closed first, then opened for reading before anything
        // else looks at it (the size check and removal do not open it).
        EXPECT_EQ(found->second.substr(0, 2), "WR") << name;
    }
}

}  // namespace
}  // namespace tarnwick::testing
#endif
