// SPDX-License-Identifier: Apache-2.0
// stats_file_test.cpp - the counters file of --stats-file after a short run:
// read back with a small parser of the exposition format (every sample under
// a family declared before it, names and values well formed), then its values.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "session.h"
#include "stand_in_av.h"

namespace tarnwick::e2e {
namespace {

// Exposition - the samples by "name{labels}", or the first fault found.
struct Exposition {
    std::map<std::string, double> samples;
    std::string fault;
};

// parseExposition - the text format: # HELP and # TYPE lines, then samples.
Exposition parseExposition(const std::string& text) {
    static const std::regex sample(
        R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-z_]+="[^"\\]*"(,[a-z_]+="[^"\\]*")*)\})? (\S+))");
    static const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram))");
    Exposition parsed;
    std::set<std::string> families;
    std::istringstream lines(text);
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, match, type)) {
            families.insert(match[1]);
        } else if (line.rfind("# HELP ", 0) != 0) {
            std::size_t end = 0;
            if (!std::regex_match(line, match, sample))
                return {{}, "not a sample: " + line};
            const std::string name = match[1];
            const std::string family =
                std::regex_replace(name, std::regex("_(bucket|sum|count)$"), "");
            if (!families.count(name) && !families.count(family))
                return {{}, "no TYPE before: " + line};
            const std::string value = match[5];
            const double number = value == "+Inf" ? 1e300 : std::stod(value, &end);
            if (value != "+Inf" && end != value.size())
                return {{}, "not a number: " + line};
            parsed.samples[name + (match[2].matched ? std::string(match[2]) : "")] = number;
        }
    }
    return parsed;
}

TEST(StatsFileTest, CountersOfACleanAndAnInfectedMessageAreWrittenAtTheEnd) {
    TarnwickSession session({"1", "--no-second-reading", "--stats-file", "tarnwick.prom"});
    StandInAv av(session.scanMe(), {{R"(msg-6-part-1\.scanme)", "", AvAction::Delete}});
    session.startAndInitialise();
    session.send("6 FILE " + session.copySample("attachments.eml"));
    session.readThrough(jobLine("6", "Thread processing done"));
    session.send("7 FILE " + session.copySample("plain.eml"));
    session.readThrough(jobLine("7", "Thread processing done"));
    session.child().closeInput();
    ASSERT_EQ(session.child().waitExit(), 0);

    const Exposition file = parseExposition(readFile(session.folder() + "/tarnwick.prom"));
    ASSERT_EQ(file.fault, "");
    const std::map<std::string, double> expected = {
        {R"(tarnwick_messages_total{verdict="virus"})", 1},
        {R"(tarnwick_messages_total{verdict="clean"})", 1},
        {R"(tarnwick_messages_total{verdict="postponed"})", 0},
        {R"(tarnwick_viruses_total{found_in="first_reading",reason="removed"})", 1},
        {R"(tarnwick_viruses_total{found_in="copy",reason="removed"})", 0},
        {R"(tarnwick_unpacked_files_total{reading="second"})", 0},
        {R"(tarnwick_antivirus_check_state{state="not_checked"})", 1},
        {"tarnwick_requests_in_flight", 0},
        {R"(tarnwick_request_duration_seconds_bucket{le="+Inf"})", 2},
        {"tarnwick_request_duration_seconds_count", 2},
    };
    for (const auto& [sample, value] : expected)
        EXPECT_EQ(file.samples.count(sample) ? file.samples.at(sample) : -1, value) << sample;
    EXPECT_GE(file.samples.at(R"(tarnwick_unpacked_files_total{reading="first"})"), 2);
    EXPECT_GT(file.samples.at(R"(tarnwick_unpacked_bytes_total{reading="first"})"), 0);
    EXPECT_GT(file.samples.at("tarnwick_request_duration_seconds_sum"), 0);
}

}  // namespace
}  // namespace tarnwick::e2e
