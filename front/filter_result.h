// SPDX-License-Identifier: Apache-2.0
// filter_result.h - the outcome of one message, as a filter reports it.
//
// A plain value, copied freely. It says what the mail server should do with
// the message and carries the lines that go with that decision; turning it
// into the protocol's answer (quoting, the log line) is runRequest's job.
#pragma once

#include <string>
#include <vector>

namespace tarnwick {

struct FilterResult {
    // Kind - what the mail server is asked to do with the message.
    enum Kind : int {
        Ok = 0,         // accept it unchanged
        Postpone = 1,   // try again later; lines are the reason
        Reject = 2,     // refuse it; lines are the reason
        Discard = 3,    // drop it silently
        AddHeader = 4,  // accept it with lines added as header lines
    };

    // FilterResult - a result of the given kind without lines.
    explicit FilterResult(int resultKind) : kind(resultKind) {}
    // FilterResult - an AddHeader result with one complete header line
    // (field name, colon, value; no line end). Add more with lines.push_back.
    explicit FilterResult(std::string headerLine) : kind(AddHeader), lines{std::move(headerLine)} {}

    int kind;
    // For AddHeader the header lines; for Postpone and Reject the text to
    // send, one element per line; ignored for Ok and Discard.
    std::vector<std::string> lines;
};

// okResult - accepts a message unchanged; processMessage returns a copy of it
// when it has nothing to say (or could not process the message).
extern const FilterResult okResult;

}  // namespace tarnwick
