// protocol_fuzz.cpp - libFuzzer target: any bytes as the mail server's
// commands to the threaded command loop.
//
// Bytes in, FilterBase::run over them with a stand-in filter whose result
// depends on the request number only, then the captured output checked:
// every line whole and of a known form, every accepted FILE (its "Thread
// processing started" line) answered exactly once, never before it started
// and never after its "Thread processing done" line, no two requests of one
// number processed at once, and the loop back within a bounded time. A failed check aborts, which
// libFuzzer reports as a crash; the sanitizers report the rest. Paths that FILE may name are made
// once in a fixed folder (kFixtureFolder), so that the seeds can name them.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "front/filter_base.h"
#include "runtime/console_log.h"

namespace tarnwick {
namespace {

// Where the seeds' paths point: two messages (one with a tab, a quote and a
// backslash in its name), a folder and a FIFO.
constexpr const char* kFixtureFolder = "/tmp/tarnwick-protocol-fuzz";
// Longest wait for the workers of one input to finish: far beyond what a
// stand-in filter that returns at once needs; beyond it the run counts as hung.
constexpr std::chrono::seconds kWorkerDeadline(20);

// fail - reports a broken property with the output, and stops.
[[noreturn]] void fail(const std::string& what, const std::string& output) {
    std::fprintf(stderr, "protocol_fuzz: %s\n--- output ---\n%s--- end ---\n", what.c_str(),
                 output.c_str());
    std::abort();
}

// StandInFilter - the result of a request is a function of its number, with
// header lines that hold every byte the quoting must escape. It never answers
// Ok: the outcome line "* OK" reads the same as the immediate answer to a
// KEY whose token is "*", and the checks could not tell them apart.
// It also checks the one promise the command loop makes about overlapping
// calls: never two at once for the same number.
class StandInFilter : public FilterBase {
  public:
    StandInFilter() : FilterBase(true) {}
    FilterResult processMessage(std::uint32_t requestId, const std::string&) override {
        {
            std::lock_guard<std::mutex> guard(runningLock_);
            if (!running_.insert(requestId).second)
                fail("two requests numbered " + std::to_string(requestId) + " ran at once", "");
        }
        FilterResult result(kindFor(requestId));
        if (requestId % 3 != 0 || result.kind == FilterResult::AddHeader)
            result.lines = {"X-A: \"q\"\t\\e\\", "", "X-B: \r\n" + std::to_string(requestId)};
        std::lock_guard<std::mutex> guard(runningLock_);
        running_.erase(requestId);
        return result;
    }
    // kindFor - Postpone, Reject, Discard or AddHeader, by the number.
    static int kindFor(std::uint32_t requestId) {
        return FilterResult::Postpone + static_cast<int>(requestId % 4);
    }

  private:
    std::mutex runningLock_;
    std::set<std::uint32_t> running_;
};

// makeFixtures - the files and folders the seeds name; kept between runs.
void makeFixtures() {
    namespace fs = std::filesystem;
    const fs::path folder = kFixtureFolder;
    fs::create_directories(folder / "dir");
    std::ofstream(folder / "m.eml") << "Subject: x\n\nbody\n";
    std::ofstream(folder / "odd\t\"name\\e.eml") << "Subject: y\n\nbody\n";
    ::mkfifo((folder / "fifo").c_str(), 0600);
}

// The lines are taken apart by hand, not with regular expressions: a line
// may be as long as the input, and the library's matcher recurses per byte.

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

// checkOutput - every line known and whole; every started request answered
// once, with the kind its number gives, between its start and its end.
void checkOutput(const std::string& output) {
    if (!output.empty() && output.back() != '\n')
        fail("the output does not end with a whole line", output);
    if (output.find('\r') != std::string::npos)
        fail("a carriage return inside a line", output);
    std::map<std::uint32_t, RequestTrace> traces;
    int pendingKind = -1;  // the kind of the outcome line just read
    std::size_t begin = 0;
    while (begin < output.size()) {
        const std::size_t end = output.find('\n', begin);
        const std::string_view line(output.data() + begin, end - begin);
        begin = end + 1;
        std::uint32_t id = 0;
        if (pendingKind >= 0) {
            if (!resultAnswer(line, pendingKind, id) || pendingKind != StandInFilter::kindFor(id))
                fail("no matching result answer after its outcome line: " + std::string(line),
                     output);
            RequestTrace& trace = traces[id];
            if (trace.answered == trace.started)
                fail("an answer that belongs to no started request: " + std::string(line), output);
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
                fail("a request done without its answer: " + std::string(line), output);
        } else if (!isLogLine(line) && !isImmediateAnswer(line)) {
            fail("a line of no known form: " + std::string(line), output);
        }
    }
    if (pendingKind >= 0)
        fail("an outcome line without its answer", output);
    for (const auto& [id, trace] : traces) {
        if (trace.answered != trace.started || trace.done != trace.started)
            fail("request " + std::to_string(id) + " not answered exactly once", output);
    }
}

// requestLines - how many "Thread processing started" and "done" lines the
// output holds so far.
void requestLines(const std::string& output, std::size_t& started, std::size_t& done) {
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

// capturedOutput - what the console log received so far, read under its lock.
std::string capturedOutput(const std::ostringstream& captured) {
    MutexLock guard(consoleLock());
    return captured.str();
}

}  // namespace
}  // namespace tarnwick

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarnwick::makeFixtures();
    return 0;
}

// LLVMFuzzerTestOneInput - runs the loop over one input and checks its output.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnwick;
    // The commands come from a file in memory: the loop reads them as it
    // reads a pipe, and reaches their end without waiting.
    const int input = ::memfd_create("protocol-fuzz-input", MFD_CLOEXEC);
    if (input < 0 || ::write(input, data, size) != static_cast<ssize_t>(size) ||
        ::lseek(input, 0, SEEK_SET) != 0) {
        std::perror("protocol_fuzz: input file");
        std::abort();
    }
    std::ostringstream captured;
    {
        ConsoleRedirect redirect(captured);
        auto* filter = new StandInFilter();
        filter->run(input);
        // The filter must outlive its workers: wait for every request's
        // closing line, which each worker writes last.
        const auto deadline = std::chrono::steady_clock::now() + kWorkerDeadline;
        for (;;) {
            const std::string output = capturedOutput(captured);
            std::size_t started = 0;
            std::size_t done = 0;
            requestLines(output, started, done);
            if (done == started)
                break;
            if (std::chrono::steady_clock::now() > deadline)
                fail("requests still unanswered after the deadline", output);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        delete filter;
    }
    ::close(input);
    checkOutput(captured.str());
    return 0;
}
