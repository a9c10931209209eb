// SPDX-License-Identifier: Apache-2.0
// protocol_output_check.cpp - the checks of protocol_fuzz on what the
// command loop and its workers wrote.
//
// The lines are taken apart by hand, not with regular expressions: a line
// may be as long as the input, and the library's matcher recurses per byte.
#include "tests/fuzz/protocol_output_check.h"

#include <climits>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "front/filter_result.h"

namespace tarnwick {

namespace {

// startsWith, endsWith - prefix and suffix tests.
bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}
bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// takeNumber - a decimal number without leading zeros at the front of text,
// removed from it; false when there is none.
bool takeNumber(std::string_view& text, std::uint32_t& number) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    if (digits == 0 || digits > 10 || (digits > 1 && text[0] == '0'))
        return false;
    const std::uint64_t value = std::stoull(std::string(text.substr(0, digits)));
    if (value > UINT32_MAX)
        return false;
    number = static_cast<std::uint32_t>(value);
    text.remove_prefix(digits);
    return true;
}

// isNumberIn - text is prefix, a number, suffix.
bool isNumberIn(std::string_view text, std::string_view prefix, std::string_view suffix) {
    std::uint32_t number = 0;
    if (!startsWith(text, prefix))
        return false;
    text.remove_prefix(prefix.size());
    return takeNumber(text, number) && text == suffix;
}

// RequestLine - "* (n) Thread processing started" or "... done".
enum class RequestLine { None, Started, Done };

// requestLine - which of the two a line is, and its number.
RequestLine requestLine(std::string_view line, std::uint32_t& id) {
    if (!startsWith(line, "* ("))
        return RequestLine::None;
    line.remove_prefix(3);
    if (!takeNumber(line, id))
        return RequestLine::None;
    if (line == ") Thread processing started")
        return RequestLine::Started;
    if (line == ") Thread processing done")
        return RequestLine::Done;
    return RequestLine::None;
}

// isLogLine - one of the command loop's own log lines.
bool isLogLine(std::string_view line) {
    return line == "* Filter is waiting for initialization command (INTF)." ||
           line == "* Filter is initialized and waiting for commands." ||
           line == "* Filter is shutting down..." ||
           line == "* Filter is shut down and waiting for standard output to be closed." ||
           startsWith(line, "* File Not Found ") ||
           (startsWith(line, "* Error: unable to open file ") &&
            endsWith(line, " (did you mess with access rights?)"));
}

// isImmediateAnswer - the token as received, then an answer or a refusal.
bool isImmediateAnswer(std::string_view line) {
    if (line == "(null) FAILURE")
        return true;
    const std::size_t space = line.find(' ');
    if (space == 0 || space == std::string_view::npos)
        return false;
    const std::string_view rest = line.substr(space);
    return rest == " OK" || rest == " FAILURE" || isNumberIn(rest, " INTF ", "") ||
           rest == " REJECTED \"Please send INTF command first\"" ||
           rest ==
               " REJECTED \"QUIT command received, filter is shut down. Please restart the "
               "filter.\"" ||
           rest ==
               " REJECTED \"Unable to start a processing thread, try again in a few "
               "seconds.\"" ||
           isNumberIn(rest, " REJECTED \"Too much files in queue (",
                      "), try again in a few seconds.\"") ||
           isNumberIn(rest, " REJECTED \"This request ID is already in use (",
                      "), try again in a few seconds.\"");
}

// outcomeKind - the kind whose outcome line this is; -1 for any other line.
int outcomeKind(std::string_view line) {
    if (line == "* Postponing message")
        return FilterResult::Postpone;
    if (line == "* Rejecting message")
        return FilterResult::Reject;
    if (line == "* Discarding message")
        return FilterResult::Discard;
    if (line == "* Adding Header(s) to message")
        return FilterResult::AddHeader;
    return -1;
}

// isQuoted - a double quote, an escaped text without a raw tab and without a
// double quote that lacks its backslash, and a closing double quote.
bool isQuoted(std::string_view text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"')
        return false;
    text = text.substr(1, text.size() - 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\t' || text[i] == '"')
            return false;
        if (text[i] == '\\' && (++i == text.size() || text[i] == '\t'))
            return false;
    }
    return true;
}

// resultAnswer - the number of a result answer of the given kind; false when
// the line is none.
bool resultAnswer(std::string_view line, int kind, std::uint32_t& id) {
    if (!takeNumber(line, id))
        return false;
    switch (kind) {
        case FilterResult::Postpone:
            return startsWith(line, " REJECTED ") && isQuoted(line.substr(10));
        case FilterResult::Reject:
            return startsWith(line, " ERROR ") && isQuoted(line.substr(7));
        case FilterResult::Discard:
            return line == " DISCARD";
        case FilterResult::AddHeader:
            return startsWith(line, " ADDHEADER ") && isQuoted(line.substr(11));
        default:
            return false;
    }
}

// RequestTrace - how often each line of one request number was seen.
struct RequestTrace {
    int started = 0;
    int answered = 0;
    int done = 0;
};

}  // namespace

std::string checkProtocolOutput(const std::string& output, int (*kindOf)(std::uint32_t)) {
    if (!output.empty() && output.back() != '\n')
        return "the output does not end with a whole line";
    if (output.find('\r') != std::string::npos)
        return "a carriage return inside a line";
    std::map<std::uint32_t, RequestTrace> traces;
    int pendingKind = -1;  // the kind of the outcome line just read
    std::size_t begin = 0;
    while (begin < output.size()) {
        const std::size_t end = output.find('\n', begin);
        const std::string_view line(output.data() + begin, end - begin);
        begin = end + 1;
        std::uint32_t id = 0;
        if (pendingKind >= 0) {
            if (!resultAnswer(line, pendingKind, id) || pendingKind != kindOf(id))
                return "no matching result answer after its outcome line: " + std::string(line);
            RequestTrace& trace = traces[id];
            if (trace.answered == trace.started)
                return "an answer that belongs to no started request: " + std::string(line);
            ++trace.answered;
            pendingKind = -1;
        } else if ((pendingKind = outcomeKind(line)) >= 0) {
            continue;
        } else if (const RequestLine which = requestLine(line, id); which != RequestLine::None) {
            // The number is free once the answer is due, so a mail server
            // that sends it again at once may see the new start before the
            // old answer and its closing line.
            RequestTrace& trace = traces[id];
            if (which == RequestLine::Started)
                ++trace.started;
            if (which == RequestLine::Done && ++trace.done > trace.answered)
                return "a request done without its answer: " + std::string(line);
        } else if (!isLogLine(line) && !isImmediateAnswer(line)) {
            return "a line of no known form: " + std::string(line);
        }
    }
    if (pendingKind >= 0)
        return "an outcome line without its answer";
    for (const auto& [id, trace] : traces) {
        if (trace.answered != trace.started || trace.done != trace.started)
            return "request " + std::to_string(id) + " not answered exactly once";
    }
    return "";
}

void countRequestLines(const std::string& output, std::size_t& started, std::size_t& done) {
    started = done = 0;
    std::size_t begin = 0;
    while (begin < output.size()) {
        std::size_t end = output.find('\n', begin);
        if (end == std::string::npos)
            end = output.size();
        std::uint32_t id = 0;
        const RequestLine which =
            requestLine(std::string_view(output.data() + begin, end - begin), id);
        started += which == RequestLine::Started;
        done += which == RequestLine::Done;
        begin = end + 1;
    }
}

}  // namespace tarnwick
