// SPDX-License-Identifier: Apache-2.0
// part_reader_test.cpp - the part reader: boundary lines (prefix, case,
// length limit, outermost first), end of input, line pieces, push back,
// every case fed in reads of every awkward size, a differential run against
// a plain model of the rules, and 100,000 active boundaries.
#include "unpacker/part_reader.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace tarnwick::unpacker {
namespace {

// Read sizes: one byte per read, sizes that split a boundary line at every
// place, and whole buffer fills.
constexpr std::size_t kReadSizes[] = {1, 2, 3, 7, 72, 73, 1000, 1024, static_cast<std::size_t>(-1)};

// run - executes a script against a reader and returns the transcript.
// Ops (space separated): b:TEXT pushBoundary (TEXT may hold \x escapes as
// "%"), nl pushBackNewline, part (rest of part via nextChar) -> [..],
// run (rest via takeRun) -> {..}, drain, fin -> T/F, depth -> dN,
// line:N readLine of size N -> <..> or <>.
std::string run(const std::string& input, const std::string& script, std::size_t readSize) {
    PartReader reader(std::make_unique<MemorySource>(input, readSize));
    std::istringstream ops(script);
    std::string out;
    for (std::string op; ops >> op;) {
        if (op.rfind("b:", 0) == 0) {
            reader.pushBoundary(op.substr(2));
        } else if (op == "b0") {
            reader.pushBoundary("");
        } else if (op == "nl") {
            reader.pushBackNewline();
        } else if (op == "part") {
            out += '[';
            for (int c; (c = reader.nextChar()) != PartReader::kEndOfPart;)
                out += static_cast<char>(c);
            out += ']';
        } else if (op == "run") {
            out += '{';
            for (std::string_view r; !(r = reader.takeRun()).empty();)
                out += r;
            out += '}';
        } else if (op == "drain") {
            reader.drainPart();
        } else if (op == "fin") {
            out += reader.finishBoundaryLine() ? 'T' : 'F';
        } else if (op == "depth") {
            out += 'd';
            out += std::to_string(reader.depth());
        } else if (op.rfind("line:", 0) == 0) {
            std::vector<char> buffer(std::stoul(op.substr(5)) + 1, '#');
            const std::size_t size = buffer.size() - 1;
            const bool stored = reader.readLine(buffer.data(), size);
            out += '<';
            if (stored)
                out += buffer.data();
            out += '>';
        }
    }
    return out;
}

struct ReaderCase {
    const char* name;
    std::string input;
    std::string script;
    std::string expected;
};

void PrintTo(const ReaderCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string k80(80, 'q');

std::vector<ReaderCase> readerCases() {
    return {
        {"BoundaryLineEndsThePartAndTheNextPartFollows", "x\n--abc\ny", "b:abc part fin part",
         "[x]F[y]"},
        {"ClosingBoundaryFinishesTheMultipart", "x\n--abc--\ny", "b:abc part fin depth part",
         "[x]Td0[y]"},
        {"BoundaryIsCaseSensitive", "x\n--ABC\ny", "b:abc part", "[x\n--ABC\ny]"},
        {"BoundaryIsComparedAsAPrefix", "x\n--abcdef\ny", "b:abc part fin part", "[x]F[y]"},
        {"TextAfterTheClosingHyphensIsIgnored", "x\n--abc-- trailing\ny", "b:abc part fin part",
         "[x]T[y]"},
        {"OneHyphenAfterTheBoundaryIsNoClosing", "x\n--abc-\ny", "b:abc part fin part", "[x]F[y]"},
        {"LongBoundaryIsStoredAsItsFirst70Bytes", "x\n--" + k80.substr(0, 70) + "zz\ny",
         "b:" + k80 + " part fin part", "[x]F[y]"},
        {"LineShorterThanTheBoundaryIsNoBoundaryLine", "x\n--ab", "b:abc part", "[x\n--ab]"},
        {"EmptyBoundaryMatchesEveryLineStartingWithTwoHyphens", "a\n--\nb\n-x\n----\n",
         "b0 part fin part fin", "[a]F[b\n-x]T"},
        {"BoundaryOnTheFirstLineNeedsTheNewlinePushedBack", "--abc\nbody",
         "b:abc nl drain fin part", "F[body]"},
        {"WithoutPushedBackNewlineTheFirstLineIsBody", "--abc\nbody", "b:abc part",
         "[--abc\nbody]"},
        {"OuterBoundaryEndsTheInnerPartAndStaysForTheOuter", "a\n--o\nb\n--o--\n",
         "b:o b:i part fin depth fin part fin depth", "[a]Td1F[b]Td0"},
        {"OutermostOfTwoEqualBoundariesWins", "a\n--s\nb", "b:s b:s part fin depth fin part",
         "[a]Td1F[b]"},
        {"ShorterOuterBoundaryThatIsAPrefixWins", "a\n--abc\nb", "b:ab b:abc part fin depth",
         "[a]Td1"},
        {"EndOfInputFinishesThreeLevelsOneAfterTheOther", "a\nb",
         "b:x b:y b:z part fin depth fin depth fin depth", "[a\nb]Td2Td1Td0"},
        {"EndOfInputRightAfterTheBoundaryIsNoClosing", "a\n--abc", "b:abc part fin part fin",
         "[a]F[]T"},
        {"EmptyPartBetweenTwoBoundaryLines", "--abc\n--abc\nz", "b:abc nl drain fin part fin part",
         "F[]F[z]"},
        {"NewlineInFrontOfTheBoundaryBelongsToTheBoundary", "x\n\n--abc\n", "b:abc part", "[x\n]"},
        {"TakeRunDeliversWhatNextCharWould", "one\ntwo\n\n--abc\nthree", "b:abc run fin run",
         "{one\ntwo\n}F{three}"},
        {"TakeRunGoesOverLinesThatCannotBeBoundaries", "a\n-x\n--ab\n-\nb\n--abc\nc",
         "b:abc run fin run", "{a\n-x\n--ab\n-\nb}F{c}"},
        {"TakeRunWithoutBoundariesTakesEveryLine", "a\n--abc\nb", "run", "{a\n--abc\nb}"},
        {"ReadLineDeliversLongLinesInPieces", "abcdefg\nh", "line:5 line:5 line:5 line:5",
         "<abcd><efg\n><h><>"},
        {"ReadLineOfSizeOneReadsNothing", "abc", "line:1 line:0 part", "<><>[abc]"},
        {"ReadLineStopsAtTheEndOfPart", "ab\n--abc\ncd", "b:abc line:10 line:10 fin line:10",
         "<ab><>F<cd>"},
        {"EveryByteValueIsOrdinaryData", std::string("\0\xff\r\x1a\n\x80", 6), "b:abc part",
         std::string("[\0\xff\r\x1a\n\x80]", 8)},
        {"DepthZeroHasNoBoundaryLines", "a\n--\nb", "part", "[a\n--\nb]"},
    };
}

class ReaderCases : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReaderCases, GiveTheSameTranscriptWhateverTheReadSize) {
    const ReaderCase& c = GetParam();
    for (std::size_t readSize : kReadSizes)
        EXPECT_EQ(run(c.input, c.script, readSize), c.expected) << "read size " << readSize;
}

INSTANTIATE_TEST_SUITE_P(PartReader, ReaderCases, ::testing::ValuesIn(readerCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PartReader, BoundaryLineSplitAcrossTwoBufferFillsEndsThePart) {
    // The newline is the last byte of the first 1024-byte fill.
    for (std::size_t at : {1020u, 1021u, 1022u, 1023u, 1024u, 1025u}) {
        const std::string body(at, 'x');
        const std::string input = body + "\n--boundary\ntail";
        EXPECT_EQ(run(input, "b:boundary part fin part", static_cast<std::size_t>(-1)),
                  "[" + body + "]F[tail]")
            << at;
    }
}

TEST(PartReader, PushBackLargerThanTheBufferIsReadBeforeTheUnreadInput) {
    PartReader reader(std::make_unique<MemorySource>("first\nrest"));
    char line[16];
    ASSERT_TRUE(reader.readLine(line, sizeof line));
    EXPECT_STREQ(line, "first\n");
    std::string text(2000, 'p');
    for (std::size_t i = 0; i < text.size(); i += 97)
        text[i] = '\n';
    reader.pushBack(text);
    reader.pushBack("front");
    std::string got;
    for (std::string_view r; !(r = reader.takeRun()).empty();)
        got += r;
    EXPECT_EQ(got, "front" + text + "rest");
}

TEST(PartReader, PushBackNewlineForgetsTheBoundarySeen) {
    PartReader reader(std::make_unique<MemorySource>("a\n--b\nc"));
    reader.pushBoundary("b");
    EXPECT_EQ(reader.nextChar(), 'a');
    EXPECT_EQ(reader.nextChar(), PartReader::kEndOfPart);
    reader.pushBackNewline();
    // The pushed newline itself is checked: it is followed by "\n--b".
    EXPECT_EQ(reader.nextChar(), '\n');
    EXPECT_EQ(reader.nextChar(), PartReader::kEndOfPart);
    EXPECT_FALSE(reader.finishBoundaryLine());
    EXPECT_EQ(reader.nextChar(), 'c');
}

// Model - the reader's rules over a plain string, without buffering or an
// index: the reference for the differential test.
struct Model {
    std::string text;
    std::size_t pos = 0;
    std::vector<std::string> boundaries;
    int seen = 0;
    int depth() const { return static_cast<int>(boundaries.size()); }
    int next() {
        if (pos < text.size() && text[pos] != '\n')
            return static_cast<unsigned char>(text[pos++]);
        if (seen < depth())
            return -1;
        if (pos == text.size()) {
            seen = 0;
            return -1;
        }
        if (text.compare(pos, 3, "\n--") == 0)
            for (int i = 0; i < depth(); ++i)
                if (text.compare(pos + 3, boundaries[i].size(), boundaries[i]) == 0) {
                    seen = i;
                    return -1;
                }
        return text[pos++];
    }
    void push(const std::string& b) {
        const bool none = seen >= depth();
        boundaries.push_back(b.substr(0, 70));
        if (none)
            seen = depth();
    }
    bool finish() {
        if (depth() == 0)
            return true;
        if (seen < depth() - 1 || pos == text.size() || seen >= depth()) {
            boundaries.pop_back();
            seen = std::min(seen, depth());
            return true;
        }
        pos = std::min(text.size(), pos + 3 + boundaries[seen].size());
        seen = depth();
        int c = next();
        bool finished = false;
        if (c == '-' && (c = next()) == '-') {
            boundaries.pop_back();
            seen = depth();
            finished = true;
        }
        while (c != '\n' && c != -1)
            c = next();
        return finished;
    }
};

TEST(PartReader, RandomWalksAgreeWithAPlainModelOfTheRules) {
    std::mt19937 random(20240601);
    const char alphabet[] = {'\n', '\n', '-', '-', '-', 'a', 'b', 'x'};
    const std::vector<std::string> names = {"", "a", "ab", "a-", "b", "ab-x"};
    for (int round = 0; round < 3000; ++round) {
        std::string input;
        const int length = random() % 120;
        for (int i = 0; i < length; ++i)
            input += alphabet[random() % sizeof alphabet];
        const std::size_t readSize = 1 + random() % 9;
        PartReader reader(std::make_unique<MemorySource>(input, readSize));
        Model model;
        model.text = input;
        std::string got, want;
        for (int step = 0; step < 40; ++step) {
            switch (random() % 6) {
                case 0: {
                    const std::string& b = names[random() % names.size()];
                    reader.pushBoundary(b);
                    model.push(b);
                    break;
                }
                case 1:
                    reader.pushBackNewline();
                    model.text.insert(model.pos, 1, '\n');
                    model.seen = model.depth();
                    break;
                case 2:
                case 3:
                    got += reader.finishBoundaryLine() ? 'T' : 'F';
                    want += model.finish() ? 'T' : 'F';
                    break;
                default:
                    got += '[';
                    for (int c; (c = reader.nextChar()) != -1;)
                        got += static_cast<char>(c);
                    want += '[';
                    for (int c; (c = model.next()) != -1;)
                        want += static_cast<char>(c);
                    break;
            }
            got += std::to_string(reader.depth());
            want += std::to_string(model.depth());
        }
        ASSERT_EQ(got, want) << "input " << ::testing::PrintToString(input) << " read size "
                             << readSize;
    }
}

TEST(PartReader, HundredThousandActiveBoundariesKeepOutermostFirstPrefixRules) {
    constexpr int kCount = 100000;
    // Many lines that begin with two hyphens but open no boundary, then
    // lines whose text has several active boundaries as prefixes.
    std::string input = "start";
    for (int i = 0; i < kCount; ++i)
        input += "\n--z" + std::to_string(i);
    input += "\n--k99999\nA\n--k5x\nB\n--k0--\n";
    PartReader reader(std::make_unique<MemorySource>(input));
    for (int i = 0; i < kCount; ++i)
        reader.pushBoundary(std::string("k").append(std::to_string(i)));
    std::string body;
    for (int c; (c = reader.nextChar()) != PartReader::kEndOfPart;)
        body += static_cast<char>(c);
    EXPECT_EQ(body.size(), input.find("\n--k99999"));
    // "k99999" has the prefixes k9, k99, ... of which k9 (index 9) is the
    // outermost: every level inside it ends.
    int finished = 0;
    while (reader.finishBoundaryLine())
        ++finished;
    EXPECT_EQ(finished, kCount - 10);
    EXPECT_EQ(reader.depth(), 10);
    EXPECT_EQ(reader.nextChar(), 'A');
    EXPECT_EQ(reader.nextChar(), PartReader::kEndOfPart);
    finished = 0;
    while (reader.finishBoundaryLine())
        ++finished;
    EXPECT_EQ(finished, 4);  // "k5" is index 5
    EXPECT_EQ(reader.nextChar(), 'B');
    EXPECT_EQ(reader.nextChar(), PartReader::kEndOfPart);
    finished = 0;
    while (reader.depth() > 0 && reader.finishBoundaryLine())
        ++finished;
    EXPECT_EQ(finished, 6);  // five inner levels, then the closing "k0--"
    EXPECT_EQ(reader.depth(), 0);
}

TEST(PartReader, ReleaseEndsTheInput) {
    PartReader reader(std::make_unique<MemorySource>("abc"));
    reader.release();
    EXPECT_EQ(reader.nextChar(), PartReader::kEndOfPart);
    EXPECT_TRUE(reader.takeRun().empty());
}

}  // namespace
}  // namespace tarnwick::unpacker
