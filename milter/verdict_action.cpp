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

// tempfail - a 451 4.7.1 decision for a message not scanned at stage.
MilterDecision tempfail(const std::string& reply, const std::string& stage) {
    MilterDecision decision;
    decision.action = MilterAction::Tempfail;
    decision.replyCode = "451";
    decision.extendedCode = "4.7.1";
    decision.replyText = reply;
    decision.verdict = notScannedVerdict;
    decision.unscannedStage = stage;
    return decision;
}

// reject - a 550 5.7.1 decision.
MilterDecision reject(const std::string& reply, const std::string& verdict) {
    MilterDecision decision;
    decision.action = MilterAction::Reject;
    decision.replyCode = "550";
    decision.extendedCode = "5.7.1";
    decision.replyText = reply;
    decision.verdict = verdict;
    return decision;
}

// verdictOf - the value of the X-Tarnwick field among fields, or empty.
std::string verdictOf(const std::vector<HeaderField>& fields) {
    for (const HeaderField& field : fields) {
        if (sameName(field.name, verdictFieldName))
            return field.value;
    }
    return "";
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
    constexpr const char* stage = "the filter did not scan it";
    if (options.onUnscanned == UnscannedPolicy::Tempfail)
        return tempfail("Message could not be scanned, try again later", stage);
    MilterDecision decision;
    decision.action = MilterAction::Accept;
    decision.removeOldFields = true;
    decision.verdict = notScannedVerdict;
    decision.unscannedStage = stage;
    return decision;
}

// decideVerdict - the filter answered ADDHEADER with fields.
MilterDecision decideVerdict(std::vector<HeaderField> fields, const BridgeOptions& options) {
    bool virus = reportsVirus(fields);
    MilterDecision decision;
    std::string verdict = verdictOf(fields);
    if (virus && options.onVirus == VirusPolicy::Reject) {
        decision = reject("Message refused: a virus was found", verdict);
    } else if (virus && options.onVirus == VirusPolicy::Discard) {
        decision.action = MilterAction::Discard;
    } else {
        decision.action = MilterAction::Accept;
        decision.removeOldFields = true;
        decision.fields = std::move(fields);
        if (virus && options.onVirus == VirusPolicy::Quarantine)
            decision.quarantineReason = "Tarnwick: virus found";
    }
    // Fields without a verdict among them still count as the filter's word.
    decision.verdict = verdict.empty() ? "fields added by the filter" : verdict;
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
                        "the filter failed or did not answer");
    if (outcome.status == ScanOutcome::Status::Busy)
        return tempfail("Virus scanner busy, try again later",
                        "the filter kept refusing it (" + replySafeText(outcome.answer.text) + ")");
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
            return reject(text.empty() ? "Message refused" : text, "refused by the filter");
        }
        case AnswerKind::Discard: {
            MilterDecision decision;
            decision.action = MilterAction::Discard;
            decision.verdict = "discarded by the filter";
            return decision;
        }
        case AnswerKind::Rejected:
            return tempfail("Virus scanner busy, try again later",
                            "the filter postponed it (" + replySafeText(answer.text) + ")");
        case AnswerKind::Failure:
        case AnswerKind::Intf:
        case AnswerKind::Unknown:
            break;
    }
    return tempfail("Virus scanner unavailable, try again later",
                    "unexpected answer from the filter: tempfailed");
}

}  // namespace tarnwick::milter
