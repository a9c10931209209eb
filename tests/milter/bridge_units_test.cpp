// SPDX-License-Identifier: Apache-2.0
// bridge_units_test.cpp - the bridge's own protocol reading, spool writing
// and decisions, where a fault would not show in a short end-to-end run:
// escapes next to each other, numbers at the edge, a CR LF split between two
// body chunks, envelope blocks the filter must recognise, and the one filter
// process under many callers at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "mailfile/envelope.h"
#include "milter/bridge_options.h"
#include "milter/filter_answer.h"
#include "milter/filter_process.h"
#include "milter/message_summary.h"
#include "milter/spool_file.h"
#include "milter/verdict_action.h"
#include "tests/common/temp_folder.h"

namespace tarnwick::milter {
namespace {

// ScratchFolder - a fresh folder, removed with everything in it at the end.
class ScratchFolder {
  public:
    ScratchFolder() : path_(test_support::makeTempFolder("milter-units").string()) {}
    ~ScratchFolder() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

TEST(FilterAnswer, AnswerLinesAreReadByNumberAndKind) {
    auto answer = parseAnswer("7 ADDHEADER \"X-A: 1\\eX-B: 2\"");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->requestId, 7u);
    EXPECT_EQ(answer->kind, AnswerKind::AddHeader);
    EXPECT_EQ(answer->text, "X-A: 1\nX-B: 2");

    EXPECT_EQ(parseAnswer("4294967295 OK")->requestId, 4294967295u);
    EXPECT_EQ(parseAnswer("0 INTF 3")->kind, AnswerKind::Intf);
    EXPECT_EQ(parseAnswer("3 SOMETHING")->kind, AnswerKind::Unknown);
}

TEST(FilterAnswer, LinesThatAreNoAnswersAreRefused) {
    for (const char* line : {"4294967296 OK", "12OK", "(null) FAILURE", "", "7", "-1 OK"})
        EXPECT_FALSE(parseAnswer(line)) << line;
    EXPECT_TRUE(isLogLine("* (3) Copy done (1 kbytes)"));
    EXPECT_FALSE(isLogLine("*3"));
}

TEST(FilterAnswer, EscapedBackslashBeforeALetterEIsNoLineBreak) {
    EXPECT_EQ(unescapeText("a\\\\eb"), "a\\eb");
    EXPECT_EQ(unescapeText("\\\"q\\\"\\tx\\e"), "\"q\"\tx\n");
    EXPECT_EQ(unescapeText("keep \\x and a last \\"), "keep \\x and a last \\");
}

TEST(FilterAnswer, HeaderFieldsKeepContinuationsAndSkipLinesWithoutName) {
    auto fields = splitHeaderFields("X-A: one\n\ttwo\nno colon here\n: no name\n cont\nX-B:three");
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].name, "X-A");
    EXPECT_EQ(fields[0].value, "one\n\ttwo");
    EXPECT_EQ(fields[1].name, "X-B");
    EXPECT_EQ(fields[1].value, "three");
}

TEST(BridgeOptions, WordsAreReadAsTheFiltersProgramsReadThem) {
    const struct {
        std::vector<std::string> words;
        std::string waitOrError;  // the wait read, or the error text
    } cases[] = {
        {{"-w=3", "-f"}, "3"},
        {{"--wait", "0", "--timeout=9"}, "0"},
        {{"-T", "0"}, "--timeout needs 1 to 86400 seconds, not '0'"},
        {{"-w"}, "option -w needs a value"},
        {{"-f=yes"}, "option -f takes no value"},
        {{"stray"}, "unexpected argument 'stray'"},
    };
    for (const auto& c : cases) {
        const ParsedCommandLine parsed = parseOptions(c.words);
        EXPECT_EQ(parsed.error.empty() ? parsed.options.waitSeconds : parsed.error, c.waitOrError);
    }
}

TEST(SpoolFile, EveryEnvelopeBlockOpensAsTheFilterExpects) {
    for (const char* sender : {"<user@example.org>", "<>", "", "<1digit@example.org>",
                               "<\"quoted\"@example.org>", "<+tag@example.org>"}) {
        std::string block = envelopeBlock(sender, {"<rcpt@example.org>"});
        std::string firstLine = block.substr(0, block.find('\n'));
        EXPECT_TRUE(beginsEnvelopeBlock(firstLine)) << sender << " gives " << firstLine;
        EXPECT_EQ(block.substr(block.size() - 2), "\n\n");
    }
    EXPECT_EQ(envelopeBlock("<a@b>", {"<c@d>", "e@f"}), "F a@b\nR c@d\nR e@f\n\n");
}

TEST(SpoolFile, IsClosedOnExec) {
    ScratchFolder folder;
    std::string error;
    auto spool = SpoolFile::create(folder.path(), error);
    ASSERT_TRUE(spool) << error;
    int flags = -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) == spool->path())
            flags = ::fcntl(std::stoi(entry.path().filename().string()), F_GETFD);
    }
    EXPECT_EQ(flags, FD_CLOEXEC);
}

TEST(SpoolFile, CarriageReturnLineFeedSplitBetweenChunksBecomesOneLineFeed) {
    ScratchFolder folder;
    std::string error;
    auto spool = SpoolFile::create(folder.path(), error);
    ASSERT_TRUE(spool) << error;
    std::string path = spool->path();
    ASSERT_TRUE(spool->writeBody("a\r"));
    ASSERT_TRUE(spool->writeBody("\nb\r"));
    ASSERT_TRUE(spool->writeBody("c\r\r\n"));
    ASSERT_TRUE(spool->writeBody("end\r"));
    ASSERT_TRUE(spool->finish());
    std::ifstream in(path, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "a\nb\rc\r\nend\r");
    spool.reset();
    EXPECT_NE(::access(path.c_str(), F_OK), 0) << "the spool file outlived its object";
}

TEST(SpoolFile, LeftoversAreOnlyTheBridgesOwnFiles) {
    ScratchFolder folder;
    for (const char* name : {"msg-abcdef.eml", "msg-abc.eml", "notes.eml", "msg-abcdef.txt"})
        std::ofstream(folder.path() + "/" + name) << "x";
    EXPECT_EQ(removeLeftovers(folder.path()), 1);
}

TEST(VerdictAction, AnswersTheBridgeCannotUseAreTemporaryFailures) {
    BridgeOptions options;
    for (AnswerKind kind : {AnswerKind::Failure, AnswerKind::Unknown, AnswerKind::Intf}) {
        ScanOutcome outcome{ScanOutcome::Status::Answered, FilterAnswer{1, kind, ""}, ""};
        MilterDecision decision = decideAction(outcome, options);
        EXPECT_EQ(decision.action, MilterAction::Tempfail);
        EXPECT_EQ(decision.replyCode, "451");
    }
    ScanOutcome headerless{ScanOutcome::Status::Answered,
                           FilterAnswer{1, AnswerKind::AddHeader, "\n"}, ""};
    EXPECT_EQ(decideAction(headerless, options).action, MilterAction::Tempfail);
    options.onUnscanned = UnscannedPolicy::Accept;
    EXPECT_TRUE(decideAction(headerless, options).fields.empty());
    EXPECT_TRUE(decideAction(headerless, options).removeOldFields);
}

TEST(VerdictAction, ReplyTextsCarryNoPercentSignOrControlByte) {
    EXPECT_EQ(replySafeText("100% bad\r\n\x01text"), "100 bad text");
    EXPECT_EQ(replySafeText(std::string(300, 'x')).size(), 200u);
}

TEST(MessageSummary, OneLineSaysWhatBecameOfTheMessageAndWhy) {
    BridgeOptions tempfailing;
    tempfailing.onUnscanned = UnscannedPolicy::Tempfail;
    FilterAnswer clean{7, AnswerKind::AddHeader,
                       "X-Tarnwick: No Virus Reported\nX-ExtScanner: Quillmark's Tarnwick"};
    FilterAnswer plainOk{8, AnswerKind::Ok, ""};
    FilterAnswer noAnswer{0, AnswerKind::Unknown, ""};
    std::string notFound = "* File Not Found /var/spool/tarnwick/m.eml";
    struct Row {
        ScanOutcome outcome;
        BridgeOptions options;
        std::string expected;  // the line after "ID: from=..., size=1234, "
    } rows[] = {
        {{ScanOutcome::Status::Answered, clean, ""},
         {},
         "verdict=\"No Virus Reported\", action=tag"},
        {{ScanOutcome::Status::Answered, plainOk, notFound},
         tempfailing,
         "verdict=\"not scanned\", reason=\"the filter did not scan it: * File Not Found "
         "/var/spool/tarnwick/m.eml\", action=tempfail 451 4.7.1"},
        {{ScanOutcome::Status::FilterFailed, noAnswer, ""},
         {},
         "verdict=\"not scanned\", reason=\"the filter failed or did not answer\", "
         "action=tempfail 451 4.7.1"},
    };
    for (const Row& row : rows) {
        MilterDecision decision = decideAction(row.outcome, row.options);
        MessageSummary summary{"4AbC",
                               "<a@example.org>",
                               "b@example.org",
                               2,
                               "<m@x>",
                               1234,
                               decision.verdict,
                               "",
                               reasonText(decision, row.outcome.filterLine),
                               actionText(decision),
                               std::chrono::milliseconds(5021),
                               "",
                               "",
                               "12s"};
        EXPECT_EQ(summaryLine(summary),
                  "4AbC: from=<a@example.org>, to=<b@example.org>, nrcpt=2, msgid=<m@x>, "
                  "size=1234, " +
                      row.expected + ", elapsed=5.02 s, av_seen=12s");
    }
    EXPECT_EQ(logLineRequest("* (42) Copying file to be scanned"), 42u);
    EXPECT_FALSE(logLineRequest("* File Not Found (1) x").has_value());
}

TEST(MessageSummary, TheFilesLineGivesTheDetailOfAVirusVerdict) {
    const struct {
        std::string line;
        std::string detail;
        std::string sign;  // found in, reason, scan file
    } rows[] = {
        {"* (3) The anti-virus removed attachment 2: invoice.exe (application/octet-stream, 68 "
         "bytes, first reading, msg-3-part-1.scanme)",
         "invoice.exe removed by the anti-virus", "first_reading removed msg-3-part-1.scanme"},
        {"* (3) The anti-virus kept attachment 3 locked: a (b).doc (x/y, 1 bytes, second reading)",
         "a (b).doc kept locked by the anti-virus", "second_reading locked "},
        {"* (3) The anti-virus changed the copy of the message",
         "the copy of the message changed by the anti-virus", "copy changed mail-3-msg.scanme"},
        {"* (3) Could not write attachment 1: a.exe (x/y, first reading): Permission denied; "
         "treated as a virus",
         "a.exe could not be written", "first_reading could_not_write "},
        {"* (3) The message hides more than Tarnwick may unpack (nesting depth); treated as a "
         "virus",
         "unpacking limit: nesting depth", "second_reading limit "},
        {"* (3) First-Level verification failed, virus found, skipping second-level verification",
         "", "  "},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(actedOnDetail(row.line), row.detail) << row.line;
        const VirusSign sign = virusSignOf(row.line);
        EXPECT_EQ(sign.foundIn + " " + sign.reason + " " + sign.scanFile, row.sign) << row.line;
    }
    MessageSummary summary;
    summary.verdict = "Virus Found";
    summary.verdictDetail = actedOnDetail(rows[0].line);
    summary.scanFile = "msg-3-part-1.scanme";
    summary.foundIn = "first_reading";
    EXPECT_NE(summaryLine(summary).find(
                  "verdict=\"Virus Found\", detail=\"invoice.exe removed by the anti-virus\", "
                  "file=\"msg-3-part-1.scanme\", found_in=first_reading"),
              std::string::npos)
        << summaryLine(summary);
}

// Seventy callers at once against the stand-in filter, which answers none of
// its "held" requests before fifty are in flight, without the milter library
// in between: all seventy are answered, and the most it ever held is exactly
// the bridge's limit.
TEST(FilterProcess, FillsEveryOneOfTheFiftySlotsAndNeverMore) {
    ScratchFolder folder;
    ::setenv("STAND_IN_RECORD", folder.path().c_str(), 1);
    const std::string message = folder.path() + "/held.eml";
    std::ofstream(message) << "Subject: test\r\nX-Script: held\r\n\r\nHello.\r\n";
    BridgeLog log(true);
    FilterProcess filter(FilterCommand{TARNWICK_STAND_IN_FILTER, {}, folder.path()}, log,
                         std::chrono::seconds(120));
    filter.start();
    std::atomic<int> answered{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 70; ++i)
        callers.emplace_back([&] {
            std::string filterLine;
            answered += filter.scan(message, filterLine).has_value() ? 1 : 0;
        });
    for (std::thread& caller : callers)
        caller.join();
    filter.stop();
    ::unsetenv("STAND_IN_RECORD");
    EXPECT_EQ(answered.load(), 70);
    int most = 0;
    std::ifstream(folder.path() + "/most-in-flight") >> most;
    EXPECT_EQ(most, static_cast<int>(maxRequestsInFlight));
}

}  // namespace
}  // namespace tarnwick::milter
