// SPDX-License-Identifier: Apache-2.0
// message_summary.cpp - the summary line's fields into words.
#include "milter/message_summary.h"

#include <cstdio>
#include <cstring>

namespace tarnwick::milter {

namespace {

// bracketed - an address or Message-ID between angle brackets, whether it
// came with them or not.
std::string bracketed(const std::string& text) {
    if (text.size() >= 2 && text.front() == '<' && text.back() == '>')
        return text;
    return "<" + text + ">";
}

// seconds - milliseconds as seconds with two decimals.
std::string seconds(std::chrono::milliseconds elapsed) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%02lld s",
                  static_cast<long long>(elapsed.count() / 1000),
                  static_cast<long long>(elapsed.count() % 1000 / 10));
    return text;
}

// withoutAccountWords - "attachment K: NAME (TYPE, ...)" and "attachment K
// locked: NAME (...)" as NAME; any other account as it stands.
std::string withoutAccountWords(std::string account) {
    if (account.rfind("attachment ", 0) != 0)
        return account;
    const std::size_t colon = account.find(": ");
    if (colon == std::string::npos)
        return account;
    account.erase(0, colon + 2);
    const std::size_t words = account.rfind(" (");
    if (words != std::string::npos && account.back() == ')')
        account.erase(words);
    return account;
}

// failureDetail - for "* (N) Could not write ACCOUNT: ERROR; treated as a
// virus" and "* (N) The message hides more than Tarnwick may unpack
// (LIMITS); treated as a virus", the words for the summary; else empty.
std::string failureDetail(const std::string& logLine) {
    static const std::string kTreated = "; treated as a virus";
    static const std::string kWrite = ") Could not write ";
    static const std::string kRead = ") Could not read the message: ";
    static const std::string kHides = ") The message hides more than Tarnwick may unpack (";
    const std::size_t end = logLine.rfind(kTreated);
    if (end == std::string::npos || end + kTreated.size() != logLine.size())
        return std::string();
    if (const std::size_t at = logLine.find(kHides);
        at != std::string::npos && end > 0 && logLine[end - 1] == ')') {
        const std::size_t from = at + kHides.size();
        return "unpacking limit: " + logLine.substr(from, end - 1 - from);
    }
    if (logLine.find(kRead) != std::string::npos)
        return "the message could not be read";
    const std::size_t at = logLine.find(kWrite);
    const std::size_t error = logLine.rfind(": ", end);
    if (at == std::string::npos || error == std::string::npos || error < at + kWrite.size())
        return std::string();
    const std::size_t from = at + kWrite.size();
    return withoutAccountWords(logLine.substr(from, error - from)) + " could not be written";
}

}  // namespace

std::string actionText(const MilterDecision& decision) {
    switch (decision.action) {
        case MilterAction::Accept:
            if (decision.fields.empty())
                return "accept without verdict";
            return decision.quarantineReason.empty() ? "tag" : "tag, hold";
        case MilterAction::Reject:
        case MilterAction::Tempfail:
            return std::string(decision.action == MilterAction::Reject ? "reject " : "tempfail ") +
                   decision.replyCode + " " + decision.extendedCode;
        case MilterAction::Discard:
            break;
    }
    return "discard";
}

// actedOnDetail - see the header.
std::string actedOnDetail(const std::string& logLine) {
    static const std::string kSays = ") The anti-virus ";
    if (logLine.rfind("* (", 0) != 0)
        return std::string();
    const std::size_t says = logLine.find(kSays);
    if (says == std::string::npos)
        return failureDetail(logLine);
    std::string rest = logLine.substr(says + kSays.size());
    std::string action;
    for (const char* verb : {"removed ", "changed ", "kept "}) {
        if (rest.rfind(verb, 0) == 0) {
            action = std::string(verb, std::strlen(verb) - 1);
            rest.erase(0, action.size() + 1);
        }
    }
    if (action.empty())
        return std::string();
    std::string name;
    if (rest.rfind("the copy of the message", 0) == 0) {
        name = "the copy of the message";
    } else {
        // "attachment K: NAME (TYPE, N bytes, READING)", "attachment K locked: ..."
        if (rest.find(": ") == std::string::npos)
            return std::string();
        name = withoutAccountWords(rest);
    }
    return name + ' ' + (action == "kept" ? "kept locked" : action) + " by the anti-virus";
}

// virusSignOf - see the header.
VirusSign virusSignOf(const std::string& logLine) {
    VirusSign sign;
    const std::string detail = actedOnDetail(logLine);
    if (detail.empty())
        return sign;
    auto endsWith = [&detail](const std::string& tail) {
        return detail.size() >= tail.size() &&
               detail.compare(detail.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (detail.rfind("unpacking limit: ", 0) == 0)
        sign.reason = "limit";
    else if (endsWith(" could not be written") || detail == "the message could not be read")
        sign.reason = "could_not_write";
    else if (endsWith(" kept locked by the anti-virus"))
        sign.reason = "locked";
    else if (endsWith(" changed by the anti-virus"))
        sign.reason = "changed";
    else
        sign.reason = "removed";
    // The account's last words in parentheses say which reading wrote it.
    if (sign.reason == "limit" || logLine.find(", second reading") != std::string::npos)
        sign.foundIn = "second_reading";
    else if (logLine.find(", first reading") != std::string::npos ||
             logLine.find(") Could not write attachment ") != std::string::npos)
        sign.foundIn = "first_reading";
    else
        sign.foundIn = "copy";
    // The file's own name when the line gives it ("..., msg-3-part-1.scanme)");
    // the copy's name follows from the request number.
    const std::size_t scanme = logLine.rfind(".scanme");
    const std::size_t start = logLine.find_last_of(" (", scanme);
    if (scanme != std::string::npos && start != std::string::npos && start < scanme)
        sign.scanFile = logLine.substr(start + 1, scanme + 7 - start - 1);
    else if (sign.foundIn == "copy" && logLine.rfind("* (", 0) == 0)
        sign.scanFile = "mail-" + logLine.substr(3, logLine.find(')') - 3) + "-msg.scanme";
    return sign;
}

std::string reasonText(const MilterDecision& decision, const std::string& filterLine) {
    if (decision.unscannedStage.empty() || filterLine.empty())
        return decision.unscannedStage;
    return decision.unscannedStage + ": " + filterLine;
}

std::string summaryLine(const MessageSummary& summary) {
    std::string line = summary.queueId + ": from=" + bracketed(summary.sender) +
                       ", to=" + bracketed(summary.firstRecipient) +
                       ", nrcpt=" + std::to_string(summary.recipientCount) +
                       ", msgid=" + bracketed(summary.messageId) +
                       ", size=" + std::to_string(summary.size) + ", verdict=\"" + summary.verdict +
                       "\"";
    if (!summary.verdictDetail.empty())
        line += ", detail=\"" + summary.verdictDetail + "\"";
    if (!summary.scanFile.empty())
        line += ", file=\"" + summary.scanFile + "\"";
    if (!summary.foundIn.empty())
        line += ", found_in=" + summary.foundIn;
    if (!summary.reason.empty())
        line += ", reason=\"" + summary.reason + "\"";
    line += ", action=" + summary.action + ", elapsed=" + seconds(summary.elapsed);
    if (!summary.antivirusSeen.empty())
        line += ", av_seen=" + summary.antivirusSeen;
    return line;
}

}  // namespace tarnwick::milter
