// SPDX-License-Identifier: Apache-2.0
// message_summary.cpp - the summary line's fields into words.
#include "milter/message_summary.h"

#include <cstdio>

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
    if (!summary.reason.empty())
        line += ", reason=\"" + summary.reason + "\"";
    return line + ", action=" + summary.action + ", elapsed=" + seconds(summary.elapsed);
}

}  // namespace tarnwick::milter
