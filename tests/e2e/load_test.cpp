// SPDX-License-Identifier: Apache-2.0
// load_test.cpp - thousands of messages through one process with wait 0.
//
// Up to loadWindow requests are kept in flight (below the filter's limit of
// 50, so none is refused); a new one is sent for every answer. Every output
// line must be one of the known forms, every request must be answered exactly
// once (after its start notice and before its closing notice), every outcome
// log line must sit right before its answer, and ScanMe must be empty at the
// end. The figures are printed and recorded as test properties.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <map>
#include <regex>

#include "session.h"

namespace tarnwick::e2e {
namespace {

// Messages sent through one process.
constexpr int loadMessages = 5000;
// Requests kept in flight at once; the filter refuses the 51st.
constexpr int loadWindow = 40;
// Longest silence tolerated before the run counts as hung.
constexpr Millis loadSilence(15000);

// Progress lines of a request: the number and what follows it.
const std::regex progressLine(
    R"(\* \((\d+)\) (Thread processing started|Copying file to be scanned|)"
    R"(Copy done \(\d+ kbytes\)|Waiting 0 seconds|First-Level verification|)"
    R"(First-Level verification passed|Unpacking attachments, if any|)"
    R"(Nothing unpacked, skipping second-level verification|Unpacked (\d+) attachments|)"
    R"(Second reading found (\d+) more attachments|)"
    R"(Waiting 0 seconds again|Second-Level verification|Thread processing done))");
const std::regex answerLine(
    R"((\d+) ADDHEADER "X-Tarnwick: No Virus Reported\\eX-ExtScanner: Quillmark's Tarnwick")");

struct RequestTrace {
    int started = 0;
    int answers = 0;
    int done = 0;
    int attachments = -1;
    int extraFiles = 0;
};

TEST(LoadTest, ThousandsOfMessagesAreEachAnsweredOnceWithWellFormedLines) {
    TarnwickSession session({"0"});
    // One in four messages carries two attachments (and the second reading
    // finds one more in it), one in four a uuencoded file.
    const std::vector<std::string> samples = {
        session.copySample("attachments.eml"), session.copySample("plain.eml"),
        session.copySample("uuencoded.eml"), session.copySample("envelope.eml")};
    const std::vector<int> expectedAttachments = {2, 0, 1, 1};
    const std::vector<int> expectedExtraFiles = {1, 0, 0, 0};
    session.startAndInitialise();

    auto start = std::chrono::steady_clock::now();
    std::map<int, RequestTrace> traces;
    int sent = 0;
    int answered = 0;
    int finished = 0;
    int malformed = 0;
    bool outcomeLinePending = false;
    auto sendNext = [&] {
        ++sent;
        session.send(std::to_string(sent) + " FILE " + samples[sent % samples.size()]);
    };
    while (sent < loadWindow) {
        sendNext();
    }
    while (finished < loadMessages) {
        auto line = session.child().readLine(loadSilence);
        ASSERT_TRUE(line.has_value())
            << "no line for " << loadSilence.count() << " ms after " << answered << " answers";
        std::smatch match;
        if (outcomeLinePending) {
            outcomeLinePending = false;
            if (std::regex_match(*line, match, answerLine)) {
                RequestTrace& trace = traces[std::stoi(match[1])];
                ++trace.answers;
                EXPECT_EQ(trace.started, 1) << *line;
                ++answered;
                if (sent < loadMessages) {
                    sendNext();
                }
                continue;
            }
            ADD_FAILURE() << "outcome line not followed by its answer: " << *line;
        }
        if (*line == "* Adding Header(s) to message") {
            outcomeLinePending = true;
        } else if (std::regex_match(*line, match, progressLine)) {
            RequestTrace& trace = traces[std::stoi(match[1])];
            std::string what = match[2];
            if (what == "Thread processing started") {
                ++trace.started;
            } else if (what == "Thread processing done") {
                ++trace.done;
                ++finished;
                EXPECT_EQ(trace.answers, 1) << *line;
            } else if (match[3].matched) {
                trace.attachments = std::stoi(match[3]);
            } else if (match[4].matched) {
                trace.extraFiles = std::stoi(match[4]);
            } else if (what.rfind("Nothing unpacked", 0) == 0) {
                trace.attachments = 0;
            }
        } else {
            ++malformed;
            ADD_FAILURE() << "unexpected line: " << *line;
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_EQ(malformed, 0);
    EXPECT_EQ(answered, loadMessages);
    ASSERT_EQ(traces.size(), static_cast<std::size_t>(loadMessages));
    int totalAttachments = 0;
    for (const auto& [id, trace] : traces) {
        EXPECT_EQ(trace.started, 1) << id;
        EXPECT_EQ(trace.answers, 1) << id;
        EXPECT_EQ(trace.done, 1) << id;
        EXPECT_EQ(trace.attachments, expectedAttachments[id % samples.size()]) << id;
        EXPECT_EQ(trace.extraFiles, expectedExtraFiles[id % samples.size()]) << id;
        totalAttachments += trace.attachments;
    }
    EXPECT_EQ(session.scanMeFiles(), std::vector<std::string>{});
    session.child().closeInput();
    EXPECT_EQ(session.child().waitExit(), 0);

    std::cout << "load: " << loadMessages << " messages, " << totalAttachments
              << " attachments unpacked, wait 0, " << loadWindow << " in flight, " << seconds
              << " s, " << static_cast<int>(loadMessages / seconds) << " messages/s\n";
    RecordProperty("messages", loadMessages);
    RecordProperty("attachments", totalAttachments);
    RecordProperty("milliseconds", static_cast<int>(seconds * 1000));
}

}  // namespace
}  // namespace tarnwick::e2e
