// SPDX-License-Identifier: Apache-2.0
// verdict_action.cpp - the filter's answers and the policies into milter decisions.
#include "milter/verdict_action.h"

#include <strings.h>

namespace tarnwick::milter {

namespace {

// The longest reply text handed to the mail server.
constexpr std::size_t maxReplyTextBytes = 200;

// sameName - field names compare without regard to case.
bool sameName(const std::string& a, const char* b) {
    return ::strcasecmp(a.c_str(), b) == 0;
}

// tempfail - a 451 4.7.1 decision.
MilterDecision tempfail(const std::string& reply, const std::string& log) {
    MilterDecision decision;
    decision.action = MilterAction::Tempfail;
    decision.replyCode = "451";
    decision.extendedCode = "4.7.1";
    decision.replyText = reply;
    decision.logText = log;
    return decision;
}

// reject - a 550 5.7.1 decision.
MilterDecision reject(const std::string& reply, const std::string& log) {
    MilterDecision decision;
    decision.action = MilterAction::Reject;
    decision.replyCode = "550";
    decision.extendedCode = "5.7.1";
    decision.replyText = reply;
    decision.logText = log;
    return decision;
}

// reportsVirus - true when the fields carry the "Virus Found" verdict.
bool reportsVirus(const std::vector<HeaderField>& fields) {
    for (const HeaderField& field : fields) {
        if (sameName(field.name, verdictFieldName) && field.value == virusFoundValue)
            return true;
    }
    return false;
}

// decideUnscanned - the filter answered a plain OK: it could not scan.
MilterDecision decideUnscanned(const BridgeOptions& options) {
    if (options.onUnscanned == UnscannedPolicy::Tempfail)
        return tempfail("Message could not be scanned, try again later",
                        "not scanned by the filter: tempfailed");
    MilterDecision decision;
    decision.action = MilterAction::Accept;
    decision.removeOldFields = true;
    decision.logText = "not scanned by the filter: accepted without verdict";
    return decision;
}

// decideVerdict - the filter answered ADDHEADER with fields.
MilterDecision decideVerdict(std::vector<HeaderField> fields, const BridgeOptions& options) {
    bool virus = reportsVirus(fields);
    MilterDecision decision;
    if (virus && options.onVirus == VirusPolicy::Reject) {
        decision = reject("Message refused: a virus was found", "virus found: rejected");
    } else if (virus && options.onVirus == VirusPolicy::Discard) {
        decision.action = MilterAction::Discard;
        decision.logText = "virus found: discarded";
    } else {
        decision.action = MilterAction::Accept;
        decision.removeOldFields = true;
        decision.fields = std::move(fields);
        if (virus && options.onVirus == VirusPolicy::Quarantine) {
            decision.quarantineReason = "Tarnwick: virus found";
            decision.logText = "virus found: tagged and quarantined";
        } else {
            decision.logText = virus ? "virus found: tagged" : "no virus reported";
        }
    }
    decision.virusFound = virus;
    return decision;
}

}  // namespace

bool isVerdictField(const std::string& name) {
    // A forged field may carry blanks around its name ("X-Tarnwick :").
    const std::size_t first = name.find_first_not_of(" \t");
    if (first == std::string::npos)
        return false;
    const std::string bare = name.substr(first, name.find_last_not_of(" \t") + 1 - first);
    return sameName(bare, verdictFieldName) || sameName(bare, scannerFieldName);
}

std::string replySafeText(const std::string& text) {
    std::string safe;
    for (char c : text) {
        if (safe.size() == maxReplyTextBytes)
            break;
        if (c >= ' ' && c <= '~' && c != '%')
            safe += c;
        else if (c == '\n' || c == '\t')
            safe += ' ';
    }
    return safe;
}

MilterDecision decideAction(const ScanOutcome& outcome, const BridgeOptions& options) {
    if (outcome.status == ScanOutcome::Status::FilterFailed)
        return tempfail("Virus scanner unavailable, try again later",
                        "the filter failed: tempfailed");
    if (outcome.status == ScanOutcome::Status::Busy)
        return tempfail("Virus scanner busy, try again later",
                        "the filter kept refusing the message (" +
                            replySafeText(outcome.answer.text) + "): tempfailed");
    const FilterAnswer& answer = outcome.answer;
    switch (answer.kind) {
        case AnswerKind::Ok:
            return decideUnscanned(options);
        case AnswerKind::AddHeader: {
            std::vector<HeaderField> fields = splitHeaderFields(answer.text);
            if (fields.empty())
                return decideUnscanned(options);
            return decideVerdict(std::move(fields), options);
        }
        case AnswerKind::Error: {
            std::string text = replySafeText(answer.text);
            return reject(text.empty() ? "Message refused" : text,
                          "the filter rejected the message");
        }
        case AnswerKind::Discard: {
            MilterDecision decision;
            decision.action = MilterAction::Discard;
            decision.logText = "the filter discarded the message";
            return decision;
        }
        case AnswerKind::Rejected:
            return tempfail("Virus scanner busy, try again later",
                            "the filter postponed the message: tempfailed");
        case AnswerKind::Failure:
        case AnswerKind::Intf:
        case AnswerKind::Unknown:
            break;
    }
    return tempfail("Virus scanner unavailable, try again later",
                    "unexpected answer from the filter: tempfailed");
}

}  // namespace tarnwick::milter
