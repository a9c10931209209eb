// SPDX-License-Identifier: Apache-2.0
// run_request_test.cpp - how one result becomes its log line and answer.
#include <sstream>

#include "front_harness.h"

namespace tarnwick {
namespace {

using test::TestFilter;

std::string answerFor(std::uint32_t id, const TestFilter::Plan& plan) {
    TestFilter filter(false);
    filter.plan(id, plan);
    std::ostringstream out;
    ConsoleRedirect redirect(out);
    ScanRequest request{id, filter, "message.eml"};
    runRequest(&request);
    return out.str();
}

FilterResult withLines(int kind, std::vector<std::string> lines) {
    FilterResult result(kind);
    result.lines = std::move(lines);
    return result;
}

TEST(RunRequest, EachKindWritesItsLogLineDirectlyBeforeItsAnswer) {
    FilterResult twoHeaders("X-A: 1");
    twoHeaders.lines.push_back("X-B: 2");
    const struct {
        std::uint32_t id;
        FilterResult result;
        std::string written;
    } cases[] = {
        {12, twoHeaders, "* Adding Header(s) to message\n12 ADDHEADER \"X-A: 1\\eX-B: 2\"\n"},
        {12, FilterResult(FilterResult::AddHeader), "* OK\n12 OK\n"},
        {12, withLines(FilterResult::AddHeader, {""}), "* OK\n12 OK\n"},
        {12, okResult, "* OK\n12 OK\n"},
        {3, withLines(FilterResult::Postpone, {"busy", "later"}),
         "* Postponing message\n3 REJECTED \"busy\\elater\"\n"},
        {4, FilterResult(FilterResult::Reject), "* Rejecting message\n4 ERROR \"\"\n"},
        {5, withLines(FilterResult::Discard, {"ignored"}), "* Discarding message\n5 DISCARD\n"},
        {4294967295u, okResult, "* OK\n4294967295 OK\n"},
        {6, FilterResult(7), ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(answerFor(c.id, {c.result, false, false}), c.written);
}

TEST(RunRequest, AThrowingFilterIsLoggedAndTheMessageAccepted) {
    EXPECT_EQ(answerFor(9, {okResult, false, true}),
              "* (9) Unexpected error while processing the message\n* OK\n9 OK\n");
}

}  // namespace
}  // namespace tarnwick
