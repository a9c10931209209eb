// SPDX-License-Identifier: Apache-2.0
// console_stress_test.cpp - many threads write single lines and groups of
// lines through the console log while a reader checks every flushed chunk:
// no line is ever split, interleaved with another, or separated from the
// rest of its group.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "runtime/console_log.h"

namespace tarnwick {
namespace {

constexpr int kWriters = 8;
constexpr int kLinesPerWriter = 120;  // every fourth one opens a group
constexpr int kGroupSize = 3;

// ChunkChannel - flushed chunks handed from the writers to the reader.
struct ChunkChannel {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::string> chunks;
    bool closed = false;
};

// FlushingBuffer - collects what is written until a flush, then hands the
// collected text over as one chunk. It has no lock of its own: only the
// console lock keeps writers from colliding in it (ThreadSanitizer watches).
class FlushingBuffer : public std::streambuf {
  public:
    explicit FlushingBuffer(ChunkChannel& channel) : channel_(channel) {}

  protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            pending_.push_back(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        pending_.append(s, static_cast<std::size_t>(n));
        return n;
    }
    int sync() override {
        std::lock_guard<std::mutex> hold(channel_.mutex);
        channel_.chunks.push_back(std::move(pending_));
        pending_.clear();
        channel_.arrived.notify_one();
        return 0;
    }

  private:
    ChunkChannel& channel_;
    std::string pending_;
};

// writeLines - one writer: single lines built from several insertions, and
// groups whose lines must stay adjacent.
void writeLines(int writer) {
    for (int n = 0; n < kLinesPerWriter; ++n) {
        std::ostream& out = consoleStream();
        if (n % 4 == 0) {
            out << beginLine;
            for (int part = 1; part < kGroupSize; ++part)
                out << "G " << writer << ' ' << n << ' ' << part << '\n' << std::flush;
            out << "G " << writer << ' ' << n << ' ' << kGroupSize << endLine;
        } else {
            out << beginLine << "L " << writer << ' ' << n << ' ' << "payload-" << writer << '-'
                << n << endLine;
        }
    }
}

// Reader - checks each chunk as it arrives and counts what it saw.
struct Reader {
    int lines = 0;
    std::vector<std::string> faults;
    // The group being read, if any: writer, number, next part expected.
    int groupWriter = -1, groupNumber = -1, groupNext = 0;

    void check(const std::string& chunk) {
        if (chunk.empty() || chunk.back() != '\n') {
            faults.push_back("chunk does not end a line: " + chunk);
            return;
        }
        std::istringstream text(chunk);
        std::string line;
        while (std::getline(text, line))
            checkLine(line);
    }
    void checkLine(const std::string& line) {
        ++lines;
        std::istringstream fields(line);
        std::string kind, extra;
        int writer = -1, n = -1;
        fields >> kind >> writer >> n;
        if (kind == "L") {
            std::string payload;
            fields >> payload;
            const std::string expected =
                "payload-" + std::to_string(writer) + '-' + std::to_string(n);
            if (groupNext != 0 || payload != expected || (fields >> extra))
                faults.push_back("bad line: " + line);
            return;
        }
        int part = 0;
        fields >> part;
        if (kind != "G" || (fields >> extra)) {
            faults.push_back("bad line: " + line);
            return;
        }
        if (part == 1 && groupNext == 0) {
            groupWriter = writer;
            groupNumber = n;
            groupNext = 2;
        } else if (groupNext == part && writer == groupWriter && n == groupNumber) {
            groupNext = part == kGroupSize ? 0 : part + 1;
        } else {
            faults.push_back("group broken at: " + line);
            groupNext = 0;
        }
    }
};

TEST(ConsoleStressTest, ConcurrentWritersNeverSplitOrInterleaveLinesOrGroups) {
    ChunkChannel channel;
    FlushingBuffer buffer(channel);
    std::ostream target(&buffer);
    ConsoleRedirect redirect(target);

    Reader reader;
    std::thread readerThread([&] {
        std::unique_lock<std::mutex> hold(channel.mutex);
        for (;;) {
            channel.arrived.wait(hold, [&] { return channel.closed || !channel.chunks.empty(); });
            if (channel.chunks.empty())
                return;
            std::string chunk = std::move(channel.chunks.front());
            channel.chunks.pop_front();
            hold.unlock();
            reader.check(chunk);
            hold.lock();
        }
    });

    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back(writeLines, w);
    for (auto& w : writers)
        w.join();
    {
        std::lock_guard<std::mutex> hold(channel.mutex);
        channel.closed = true;
        channel.arrived.notify_one();
    }
    readerThread.join();

    EXPECT_TRUE(reader.faults.empty()) << reader.faults.front();
    const int groups = kLinesPerWriter / 4;
    EXPECT_EQ(reader.lines, kWriters * (kLinesPerWriter - groups + groups * kGroupSize));
}

}  // namespace
}  // namespace tarnwick
