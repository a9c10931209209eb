// SPDX-License-Identifier: Apache-2.0
// verdict_action.h - what the mail server is told for one message.
//
// decideAction turns the outcome of a message's scan (the filter's answer,
// or the reason there is none) and the bridge's policies into one milter
// decision: continue with fields added, reject, tempfail, discard or
// quarantine. It is pure; the milter callbacks carry the decision out.
#pragma once

#include <string>
#include <vector>

#include "milter/bridge_options.h"
#include "milter/filter_answer.h"

namespace tarnwick::milter {

// The verdict fields. Any field of these names a message already carries is
// removed before the filter's fields are added, whatever the verdict.
inline constexpr const char* verdictFieldName = "X-Tarnwick";
inline constexpr const char* scannerFieldName = "X-ExtScanner";
inline constexpr const char* virusFoundValue = "Virus Found";
inline constexpr const char* notScannedVerdict = "not scanned";

// ScanOutcome - how the scan of one message ended.
struct ScanOutcome {
    enum class Status {
        Answered,      // answer holds the filter's result answer
        FilterFailed,  // the filter died, hung, or could not be started
        Busy,          // the filter kept refusing (REJECTED) through every retry
    } status = Status::FilterFailed;
    FilterAnswer answer;
    // The filter's last log line about the message ("* File Not Found ..."),
    // or empty.
    std::string filterLine;
};

// MilterAction - the answer the milter callback returns.
enum class MilterAction { Accept, Reject, Tempfail, Discard };

struct MilterDecision {
    MilterAction action = MilterAction::Tempfail;
    bool removeOldFields = false;     // remove X-Tarnwick and X-ExtScanner fields first
    std::vector<HeaderField> fields;  // then add these
    std::string quarantineReason;     // non-empty: put the message on hold with this reason
    std::string replyCode;            // for Reject and Tempfail: "550" or "451"
    std::string extendedCode;         // "5.7.1" or "4.7.1"
    std::string replyText;            // printable ASCII only, no '%'
    // For the summary line: the filter's verdict ("Virus Found", "No Virus
    // Reported") or what became of the message instead ("not scanned"), and
    // for a message not scanned the stage where that happened; the filter's
    // own line about it is added by the caller.
    std::string verdict;
    std::string unscannedStage;
    bool virusFound = false;
};

// decideAction - the decision for one message.
MilterDecision decideAction(const ScanOutcome& outcome, const BridgeOptions& options);

// isVerdictField - true for the field names decideAction removes (any case,
// blanks before or after the name ignored).
bool isVerdictField(const std::string& name);

// replySafeText - text made fit for an SMTP reply: printable ASCII except
// '%', at most 200 bytes; empty when nothing is left.
std::string replySafeText(const std::string& text);

}  // namespace tarnwick::milter
