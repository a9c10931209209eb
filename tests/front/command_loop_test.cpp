// SPDX-License-Identifier: Apache-2.0
// command_loop_test.cpp - the command loop in unthreaded mode, driven through
// a real pipe in-process: phases, immediate answers, refusals, FILE checks.
#include "front_harness.h"

#include <cerrno>
#include <cstdio>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#endif

namespace tarnwick {
namespace {

using test::runScript;
using test::ScratchFolder;
using test::TestFilter;

const std::string waiting = "* Filter is waiting for initialization command (INTF).\n";
const std::string ready = "* Filter is initialized and waiting for commands.\n";
const std::string quitLines =
    "* Filter is shutting down...\n7 OK\n"
    "* Filter is shut down and waiting for standard output to be closed.\n";
const std::string quitRefusal =
    " REJECTED \"QUIT command received, filter is shut down. Please restart the filter.\"\n";

TEST(CommandLoop, EveryPhaseAnswersEachLineAsTheProtocolSays) {
    const struct {
        std::string input;
        std::string output;
    } cases[] = {
        {"1 intf\n", "1 INTF 1\n" + ready},
        {"1 INTF 2\r\n2 intf 99\r\n", "1 INTF 3\n" + ready + "2 INTF 3\n" + ready},
        {"3 key\n", "3 OK\n"},
        {"4 file /no/such\n", "4 REJECTED \"Please send INTF command first\"\n"},
        {"5\n\n   \n6 intfx\n6 FILE2\n",
         "5 FAILURE\n(null) FAILURE\n(null) FAILURE\n6 FAILURE\n6 FAILURE\n"},
        {"  7   QuIt  \n2 intf\n3 key\n4\n\n5 quit\n", quitLines + "2" + quitRefusal + "3" +
                                                           quitRefusal + "4" + quitRefusal +
                                                           "(null) FAILURE\n5" + quitRefusal},
        {"1 intf\n2 file\n3 file /no/such \n",
         "1 INTF 1\n" + ready + "2 FAILURE\n* File Not Found /no/such \n3 OK\n"},
        {"1 key", "1 OK\n"},
        {std::string("\xff\0 key\n", 7), std::string("\xff\0 OK\n", 6)},
    };
    for (const auto& c : cases) {
        TestFilter filter(false);
        EXPECT_EQ(runScript(filter, c.input), waiting + c.output) << c.input;
        // shutdown runs once, on the first QUIT only.
        EXPECT_EQ(filter.shutdownCalls, int(test::countOf(c.output, "shutting down")));
    }
}

TEST(CommandLoop, AFolderIsNotAFile) {
    ScratchFolder scratch;
    TestFilter filter(false);
    const std::string folder = scratch.root.string();
    EXPECT_EQ(runScript(filter, "1 intf\n2 file " + folder + "\n"),
              waiting + "1 INTF 1\n" + ready + "* File Not Found " + folder + "\n2 OK\n");
}

TEST(CommandLoop, UnthreadedRequestsAnswerBeforeTheNextLineAndKeepNoTable) {
    ScratchFolder scratch;
    const std::string path = scratch.file("a b  ");
    TestFilter filter(false);
    filter.plan(7, {FilterResult("X-A: 1"), false, false});
    const std::string output =
        runScript(filter, "1 intf\n007 file " + path + "\nabc FILE " + path + "\n8 key\n");
    EXPECT_EQ(output,
              waiting + "1 INTF 1\n" + ready +
                  "* Adding Header(s) to message\n7 ADDHEADER \"X-A: 1\"\n* OK\n0 OK\n8 OK\n");
    EXPECT_EQ(filter.paths[7], path);
    EXPECT_EQ(filter.inProgress(), 0u);
}

TEST(CommandLoop, AMegabyteLineWithoutLineEndGetsItsAnswer) {
    TestFilter filter(false);
    const std::string token(1 << 20, 't');
    EXPECT_EQ(runScript(filter, token), waiting + token + " FAILURE\n");
}

#ifndef _WIN32
TEST(CommandLoop, NoOrdinaryFileIsAnsweredAsMissingAndAnUnreadableOneAsUnopened) {
    ScratchFolder scratch;
    // A socket exists and is no folder, yet nobody opens it as a file.
    const std::string socketPath = (scratch.root / "socket").string();
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    // A file without read permission; a privileged test process reads even
    // that, so it then takes a kernel file that refuses reading to everyone.
    std::string unreadable = scratch.file("unreadable");
    chmod(unreadable.c_str(), 0);
    if (std::FILE* probe = std::fopen(unreadable.c_str(), "rb")) {
        std::fclose(probe);
        unreadable = "/proc/sys/vm/compact_memory";
        probe = std::fopen(unreadable.c_str(), "rb");
        if (probe != nullptr || errno != EACCES) {
            if (probe != nullptr)
                std::fclose(probe);
            close(fd);
            GTEST_SKIP() << "no file here that this process cannot open";
        }
    }
    TestFilter filter(false);
    EXPECT_EQ(runScript(filter, "1 intf\n2 file " + socketPath + "\n3 file " + unreadable + "\n"),
              waiting + "1 INTF 1\n" + ready + "* File Not Found " + socketPath + "\n2 OK\n" +
                  "* Error: unable to open file " + unreadable +
                  " (did you mess with access rights?)\n3 OK\n");
    close(fd);
}
#endif

}  // namespace
}  // namespace tarnwick
