// SPDX-License-Identifier: Apache-2.0
// console_log_test.cpp - line framing of the console log and its behaviour
// when writes fail.
#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "runtime/console_log.h"
#include "runtime/platform.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace tarnwick {
namespace {

// RecordingBuffer - keeps what was written and where each flush happened;
// fails every write while `failing` is set, as a closed pipe would.
class RecordingBuffer : public std::streambuf {
  public:
    std::string text;
    std::vector<std::size_t> flushedAt;
    bool failing = false;

  protected:
    int_type overflow(int_type c) override {
        if (failing || traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::eof();
        text.push_back(traits_type::to_char_type(c));
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (failing)
            return 0;
        text.append(s, static_cast<std::size_t>(n));
        return n;
    }
    int sync() override {
        if (failing)
            return -1;
        flushedAt.push_back(text.size());
        return 0;
    }
};

TEST(ConsoleLogTest, EachLineEndsWithALineFeedAndIsFlushedThere) {
    RecordingBuffer buffer;
    std::ostream target(&buffer);
    ConsoleRedirect redirect(target);
    consoleStream() << beginLine << "* (" << 12 << ") Copy done" << endLine;
    writeLogLine("* OK");
    EXPECT_EQ(buffer.text, "* (12) Copy done\n* OK\n");
    EXPECT_EQ(buffer.flushedAt, (std::vector<std::size_t>{17, 22}));
}

TEST(ConsoleLogTest, GroupOfLinesIsWrittenAsWrittenAndFlushedAfterEachLine) {
    RecordingBuffer buffer;
    std::ostream target(&buffer);
    ConsoleRedirect redirect(target);
    consoleStream() << beginLine << "* OK" << '\n' << std::flush << "12 OK" << endLine;
    EXPECT_EQ(buffer.text, "* OK\n12 OK\n");
    EXPECT_EQ(buffer.flushedAt, (std::vector<std::size_t>{5, 11}));
}

TEST(ConsoleLogTest, FailedLineReleasesTheLockAndLaterLinesAreStillWritten) {
    RecordingBuffer buffer;
    std::ostream target(&buffer);
    ConsoleRedirect redirect(target);
    buffer.failing = true;
    writeLogLine("lost");
    EXPECT_TRUE(target.bad());
    // Another thread gets the lock: the failed line did not keep it.
    std::thread other([] { writeLogLine("also lost"); });
    other.join();
    buffer.failing = false;
    writeLogLine("kept");
    EXPECT_EQ(buffer.text, "kept\n");
    EXPECT_TRUE(target.good());
}

#ifndef _WIN32
TEST(ConsoleLogTest, ClosedStandardOutputMakesWritesFailQuietlyWithoutKillingTheProcess) {
    platform::prepareStandardStreams();
    std::cout.flush();
    std::fflush(stdout);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);  // the reader has gone away
    const int saved = dup(1);
    ASSERT_GE(saved, 0);
    ASSERT_GE(dup2(ends[1], 1), 0);
    close(ends[1]);
    writeLogLine("* nobody reads this");
    const bool failed = consoleStream().bad();
    std::thread other([] { writeLogLine("* nor this"); });
    other.join();
    dup2(saved, 1);
    close(saved);
    std::clearerr(stdout);
    EXPECT_TRUE(failed);
    // The next line starts from a clean stream again.
    consoleStream() << beginLine;
    EXPECT_TRUE(consoleStream().good());
    consoleStream() << endLine;
}
#endif

}  // namespace
}  // namespace tarnwick
