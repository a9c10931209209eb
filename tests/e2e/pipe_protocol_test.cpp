// SPDX-License-Identifier: Apache-2.0
// pipe_protocol_test.cpp - the helper protocol through a real pipe.
//
// How the mail server's bytes are split across writes must not change the
// answers; answers come without waiting for more input; the end of standard
// input ends the process at once; request numbers above 2^31 stay unsigned.
#include <gtest/gtest.h>

#include <thread>

#include "session.h"
#include "stand_in_av.h"

namespace tarnwick::e2e {
namespace {

using Lines = std::vector<std::string>;

TEST(PipeProtocolTest, LineEndPairsSplitAcrossTwoWritesEndOneLineAndAreAnsweredAtOnce) {
    TarnwickSession session({"0"});
    ASSERT_EQ(session.readLines(4), bannerLines("0"));

    // CR now, its LF later: the line is answered before the LF is sent.
    ASSERT_TRUE(session.child().write("1 INTF\r"));
    EXPECT_EQ(session.readLines(2, Millis(3000)),
              (Lines{"1 INTF 1", "* Filter is initialized and waiting for commands."}));
    ASSERT_TRUE(session.child().write("\n2 KEY x\r\n"));
    // LF now, its CR later.
    ASSERT_TRUE(session.child().write("3 KEY\n"));
    EXPECT_EQ(session.readLines(2, Millis(3000)), (Lines{"2 OK", "3 OK"}));
    std::this_thread::sleep_for(Millis(50));
    ASSERT_TRUE(session.child().write("\r4 KEY\n\r"));
    ASSERT_TRUE(session.child().write("5 KEY\n"));
    // The late halves made no empty lines: no "(null) FAILURE" in between.
    EXPECT_EQ(session.readLines(2, Millis(3000)), (Lines{"4 OK", "5 OK"}));

    session.child().closeInput();
    EXPECT_EQ(session.child().readLine(Millis(3000)), std::nullopt);
    EXPECT_TRUE(session.child().outputEnded());
    EXPECT_EQ(session.child().waitExit(), 0);
}

TEST(PipeProtocolTest, CommandsAreAnsweredWithTheirExactTexts) {
    TarnwickSession session({"0"});
    std::string folder = session.folder();
    ASSERT_EQ(session.readLines(4), bannerLines("0"));
    session.send("7 FILE " + folder + "/none.eml");
    session.send("8 KEY abc");
    session.send("  9   InTf  2  ");
    session.send("");
    session.send("10 NOOP");
    session.send("11 FILE " + folder + "/none.eml");
    session.send("12 FILE " + folder);
    session.send("13 FILE");
    session.send("14 QUIT");
    session.send("15 INTF");
    session.send("16");
    session.send("");
    Lines expected = {
        "7 REJECTED \"Please send INTF command first\"",
        "8 OK",
        "9 INTF 3",
        "* Filter is initialized and waiting for commands.",
        "(null) FAILURE",
        "10 FAILURE",
        "* File Not Found " + folder + "/none.eml",
        "11 OK",
        "* File Not Found " + folder,
        "12 OK",
        "13 FAILURE",
        "* Filter is shutting down...",
        "14 OK",
        "* Filter is shut down and waiting for standard output to be closed.",
        "15 REJECTED \"QUIT command received, filter is shut down. Please restart the filter.\"",
        "16 REJECTED \"QUIT command received, filter is shut down. Please restart the filter.\"",
        "(null) FAILURE",
    };
    EXPECT_EQ(session.readLines(expected.size()), expected);
    session.child().closeInput();
    EXPECT_EQ(session.child().waitExit(), 0);
}

TEST(PipeProtocolTest, EndOfInputWhileRequestsWaitEndsTheProcessAtOnceWithStatusZero) {
    TarnwickSession session({"30"});
    std::string path = session.copySample("plain.eml");
    session.startAndInitialise();
    session.send("2 FILE " + path);
    session.send("3 FILE " + path);
    int waiting = 0;
    while (waiting < 2) {
        auto line = session.child().readLine();
        ASSERT_TRUE(line.has_value());
        if (*line == jobLine("2", "Waiting 30 seconds") ||
            *line == jobLine("3", "Waiting 30 seconds")) {
            ++waiting;
        }
    }
    session.child().closeInput();
    EXPECT_EQ(session.child().waitExit(Millis(3000)), 0);
    // Nothing more was written: neither answer came.
    EXPECT_EQ(session.child().readLine(Millis(500)), std::nullopt);
    EXPECT_TRUE(session.child().outputEnded());
}

TEST(PipeProtocolTest, RequestNumberAbove2To31IsUnsignedInEveryLineAndTheCopyName) {
    TarnwickSession session({"1"});
    StandInAv av(session.scanMe(), {});
    std::string path = session.copySample("attachments.eml");
    session.startAndInitialise();
    session.send("3000000000 FILE " + path);
    const std::string id = "3000000000";
    Lines expected = {
        jobLine(id, "Thread processing started"),
        jobLine(id, "Copying file to be scanned"),
        jobLine(id, "Copy done (1 kbytes)"),
        jobLine(id, "Waiting 1 seconds"),
        jobLine(id, "First-Level verification"),
        jobLine(id, "First-Level verification passed"),
        jobLine(id, "Unpacking attachments, if any"),
        jobLine(id, "Unpacked 2 attachments"),
        jobLine(id, "Second reading found 1 more attachments"),
        jobLine(id, "Waiting 1 seconds again"),
        jobLine(id, "Second-Level verification"),
        "* Adding Header(s) to message",
        verdictAnswer(id, false),
        jobLine(id, "Thread processing done"),
    };
    EXPECT_EQ(session.readThrough(jobLine(id, "Thread processing done")), expected);
    EXPECT_EQ(av.seen().count("mail-3000000000-msg.scanme"), 1u);
    // Part and extra files carry the number signed, as the unpacker names them.
    EXPECT_EQ(av.seen().count("msg--1294967296-part-0.scanme"), 1u);
    EXPECT_EQ(av.seen().count("msg--1294967296-extra-0.scanme"), 1u);
    EXPECT_EQ(session.scanMeFiles(), Lines{});
}

}  // namespace
}  // namespace tarnwick::e2e
