// SPDX-License-Identifier: Apache-2.0
// message_summary.h - the one line the bridge logs for every message.
//
// Mail administrators search a filter's log by queue id and expect one line
// per message that says who sent what to whom, what the verdict was, what
// was done with the message and, when it was not scanned, why. summaryLine
// only formats; the milter callbacks gather the fields.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "milter/verdict_action.h"

namespace tarnwick::milter {

struct MessageSummary {
    std::string queueId;         // the mail server's, or "NOQUEUE"
    std::string sender;          // as given by the mail server, brackets or not
    std::string firstRecipient;  // empty when there was none
    std::size_t recipientCount = 0;
    std::string messageId;   // the Message-ID field's value; empty when missing
    std::uint64_t size = 0;  // bytes as received
    std::string verdict;     // the filter's verdict, or "not scanned"
    // What the verdict rests on, e.g. the file the anti-virus acted on;
    // written as detail="..." after the verdict when not empty.
    std::string verdictDetail;
    // Why the message was not scanned: the stage that failed and the filter's
    // own line; empty when it was scanned.
    std::string reason;
    std::string action;                    // what the mail server was told, see actionText
    std::chrono::milliseconds elapsed{0};  // from the end of the message to the decision
    // For a virus: the file in ScanMe that showed it ("mail-3-msg.scanme",
    // "msg-3-part-1.scanme") to match with the anti-virus's own log, and
    // what wrote it (VirusSign::foundIn); written as file="..." and
    // found_in=... when known.
    std::string scanFile = {};
    std::string foundIn = {};
    // How long ago the filter last saw the anti-virus react ("12s", "never");
    // written as av_seen=... at the end when not empty.
    std::string antivirusSeen = {};
};

// actionText - a decision in the summary's words: "tag" (accepted with the
// verdict fields), "tag, hold" (and put on hold), "accept without verdict",
// "reject 550 5.7.1", "tempfail 451 4.7.1" or "discard".
std::string actionText(const MilterDecision& decision);

// actedOnDetail - for the filter's line saying what the anti-virus did to
// a file ("* (N) The anti-virus removed attachment 2: invoice.exe (...)"),
// the words for the summary: "invoice.exe removed by the anti-virus", "the
// copy of the message changed by the anti-virus", "report.doc kept locked by
// the anti-virus". For the lines of the other causes of a virus verdict
// ("Could not write ...; treated as a virus", "The message hides more than
// Tarnwick may unpack (...); ..."): "invoice.exe could not be written",
// "unpacking limit: nesting depth". Empty for any other line.
std::string actedOnDetail(const std::string& logLine);

// VirusSign - what one of those lines says in words a counter can use:
// foundIn "copy", "first_reading" or "second_reading"; reason "removed",
// "changed", "locked", "could_not_write" or "limit"; the scan file when the
// line names it ("mail-N-msg.scanme" for the copy of request N). Empty
// fields for any other line.
struct VirusSign {
    std::string foundIn = {};
    std::string reason;
    std::string scanFile = {};
};
VirusSign virusSignOf(const std::string& logLine);

// reasonText - for a message not scanned, the stage and the filter's own line
// about it ("the filter did not scan it: * File Not Found ..."); empty for a
// scanned one.
std::string reasonText(const MilterDecision& decision, const std::string& filterLine);

// summaryLine - "QUEUEID: from=<...>, to=<...>, nrcpt=N, msgid=<...>,
// size=N, verdict="...", [detail="...", ][file="...", ][found_in=..., ]
// [reason="...", ]action=..., elapsed=S.SS s[, av_seen=12s]".
std::string summaryLine(const MessageSummary& summary);

}  // namespace tarnwick::milter
