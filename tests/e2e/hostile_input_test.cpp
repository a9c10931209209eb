// SPDX-License-Identifier: Apache-2.0
// hostile_input_test.cpp - inputs a mail server (or a local user) can throw at
// the filter that once froze it, lost answers or exposed mail.
//
// Paths that name no regular file, an output pipe that is non-blocking and
// whose reader pauses, a mail server reusing each number the moment its
// answer arrives, and the permissions of what lands in ScanMe.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

#include "session.h"
#include "stand_in_av.h"

namespace tarnwick::e2e {
namespace {

using Lines = std::vector<std::string>;

const std::regex anyAnswer(R"((\d+) ADDHEADER "X-Tarnwick: No Virus Reported\\eX-ExtScanner: )"
                           R"(Quillmark's Tarnwick")");

TEST(HostileInputTest, PathsThatAreNoRegularFileAreAnsweredAtOnceAsMissing) {
    TarnwickSession session({"0"});
    const std::string fifo = session.folder() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string socketPath = session.folder() + "/socket";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    session.startAndInitialise();

    // A FIFO first: opening it would wait for a writer that never comes.
    session.send("2 FILE " + fifo);
    session.send("3 FILE /dev/zero");
    session.send("4 FILE " + socketPath);
    session.send("5 KEY");
    EXPECT_EQ(session.readLines(7),
              (Lines{"* File Not Found " + fifo, "2 OK", "* File Not Found /dev/zero", "3 OK",
                     "* File Not Found " + socketPath, "4 OK", "5 OK"}));
    EXPECT_EQ(session.scanMeFiles(), Lines{});
    // Nothing is left running on them: the end of input ends the process.
    session.child().closeInput();
    EXPECT_EQ(session.child().waitExit(Millis(3000)), 0);
    ::close(listener);
}

TEST(HostileInputTest, NoAnswerIsLostOnANonBlockingOutputWhoseReaderPauses) {
    constexpr int batches = 6;
    constexpr int batchSize = 40;
    ChildLimits options;
    options.nonBlockingOutput = true;
    TarnwickSession session({"0"}, options);
    const std::string path = session.copySample("attachments.eml");
    session.startAndInitialise();

    std::map<int, int> answers;
    int lines = 0;
    for (int batch = 0; batch < batches; ++batch) {
        for (int i = 1; i <= batchSize; ++i)
            session.send(std::to_string(batch * batchSize + i) + " FILE " + path);
        // The reader pauses: the one-page pipe fills up long before the
        // batch's forty answers and their progress lines are written.
        std::this_thread::sleep_for(Millis(300));
        int answered = 0;
        while (answered < batchSize) {
            const auto line = session.child().readLine(Millis(5000));
            ASSERT_TRUE(line.has_value())
                << "answers stopped after " << answered << " of batch " << batch;
            ++lines;
            std::smatch match;
            if (std::regex_match(*line, match, anyAnswer)) {
                ++answers[std::stoi(match[1])];
                ++answered;
            } else {
                ASSERT_EQ(line->rfind("* ", 0), 0u) << "not a whole line: " << *line;
            }
        }
    }
    EXPECT_EQ(answers.size(), std::size_t(batches * batchSize));
    for (const auto& [id, count] : answers)
        EXPECT_EQ(count, 1) << "request " << id;
}

TEST(HostileInputTest, ANumberIsFreeAsSoonAsItsAnswerHasBeenRead) {
    constexpr int rounds = 500;
    // On one processor the worker that wrote an answer is often preempted by
    // the command loop reading the next command.
    ChildLimits options;
    options.oneProcessor = true;
    TarnwickSession session({"0"}, options);
    const std::string path = session.copySample("plain.eml");
    session.startAndInitialise();
    const std::string answer = verdictAnswer("7", false);
    const std::string inUse =
        "7 REJECTED \"This request ID is already in use (7), try again in a "
        "few seconds.\"";
    int refused = 0;
    for (int round = 0; round < rounds; ++round) {
        session.send("7 FILE " + path);
        for (;;) {
            const auto line = session.child().readLine(Millis(5000));
            ASSERT_TRUE(line.has_value()) << "no answer in round " << round;
            if (*line == inUse) {
                // Sent again at once, as a mail server retrying would.
                ++refused;
                session.send("7 FILE " + path);
            }
            if (*line == answer)
                break;
        }
    }
    EXPECT_EQ(refused, 0) << "of " << rounds << " immediate reuses";
}

// permissionsSeen - the permission bits of each ".scanme" file the stand-in
// anti-virus saw while one message with two attachments was scanned.
std::map<std::string, unsigned> permissionsSeen(TarnwickSession& session) {
    StandInAv av(session.scanMe(), {});
    const std::string path = session.copySample("attachments.eml");
    session.startAndInitialise();
    session.send("2 FILE " + path);
    session.readThrough(jobLine("2", "Thread processing done"));
    return av.modes();
}

TEST(HostileInputTest, ScanMeAndEverythingInItArePrivateUnlessTheFolderSharesWithItsGroup) {
    const std::map<std::string, unsigned> privateFiles = {
        {"mail-2-msg.scanme", 0600},
        {"msg-2-part-0.scanme", 0600},
        {"msg-2-part-1.scanme", 0600},
        {"msg-2-extra-0.scanme", 0600}};  // the second reading's file of this sample
    {
        TarnwickSession session({"1"});
        EXPECT_EQ(permissionsSeen(session), privateFiles);
        struct stat folder {};
        ASSERT_EQ(::stat(session.scanMe().c_str(), &folder), 0);
        EXPECT_EQ(folder.st_mode & 07777, 0700u);
    }
    {
        // An administrator let the scanner's group read the folder.
        TarnwickSession session({"1"}, {}, [](const std::string& folder) {
            const std::string scanMe = folder + "/ScanMe";
            ::mkdir(scanMe.c_str(), 0700);
            ::chmod(scanMe.c_str(), 02750);
        });
        std::map<std::string, unsigned> shared = privateFiles;
        for (auto& [name, mode] : shared)
            mode = 0640;
        EXPECT_EQ(permissionsSeen(session), shared);
    }
    {
        // A copy left by an earlier run with looser permissions is not reused as it was.
        TarnwickSession session({"1"}, {}, [](const std::string& folder) {
            const std::string scanMe = folder + "/ScanMe";
            ::mkdir(scanMe.c_str(), 0700);
            const std::string old = scanMe + "/mail-2-msg.scanme";
            std::ofstream(old) << "left over";
            ::chmod(old.c_str(), 0644);
        });
        const std::string path = session.copySample("plain.eml");
        session.startAndInitialise();
        session.send("2 FILE " + path);
        // The copy's mode while the filter waits, after it was written anew.
        ASSERT_FALSE(session.readThrough(jobLine("2", "Waiting 1 seconds")).empty());
        struct stat copy {};
        ASSERT_EQ(::stat((session.scanMe() + "/mail-2-msg.scanme").c_str(), &copy), 0);
        const unsigned modeDuringWait = copy.st_mode & 0777;
        EXPECT_EQ(modeDuringWait, 0600u);
    }
}

}  // namespace
}  // namespace tarnwick::e2e
