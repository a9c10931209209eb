// SPDX-License-Identifier: Apache-2.0
// unpack_tool_test.cpp - tarnwick-unpack run in-process on real message files:
// the listing matches the part files the unpacker leaves and the extra files
// of the second reading, each with the reading that found it, the message is
// positioned as the scan job's second level positions it, the signs of
// evasion are printed, and bad arguments, unreadable messages and unwritable
// part or extra files give clear errors and non-zero statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/platform.h"
#include "tools/unpack_tool.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// ToolRun - what one run of the tool reported.
struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

class UnpackToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("tarnwick-unpack-tool-" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(root_);
        fs::create_directories(root_);
        folder_ = (root_ / "parts").string();
    }
    void TearDown() override {
        // The tool leaves its files: every test starts with none.
        fs::remove_all(root_);
    }

    ToolRun run(const std::vector<std::string>& arguments) {
        std::ostringstream out;
        std::ostringstream err;
        ToolRun result;
        result.status = runUnpackTool(arguments, out, err);
        result.out = out.str();
        result.err = err.str();
        return result;
    }

    fs::path message(const std::string& name, const std::string& text) {
        fs::path path = root_ / name;
        writeFile(path, text);
        return path;
    }

    fs::path root_;
    std::string folder_;
};

const char kTwoAttachments[] =
    "From: a@example.org\r\n"
    "Content-Type: multipart/mixed; boundary=\"XX\"\r\n"
    "\r\n"
    "--XX\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "aGVsbG8gd29ybGQ=\r\n"
    "--XX\r\n"
    "Content-Type: application/pdf; name=\"b.pdf\"\r\n"
    "\r\n"
    "second\r\n"
    "--XX--\r\n";

TEST_F(UnpackToolTest, ListsEachPartFileWithItsSizeAndReadingAndLeavesItInTheFolder) {
    ToolRun result = run({message("m.eml", kTwoAttachments).string(), folder_});
    EXPECT_EQ(result.status, kUnpackToolOk) << result.err;
    const std::string first = platform::shownPath(folder_ + "/msg-0-part-0.scanme");
    const std::string second = platform::shownPath(folder_ + "/msg-0-part-1.scanme");
    EXPECT_EQ(result.out,
              first + ": 11 bytes, first reading, (no name) (application/octet-stream)\n" + second +
                  ": 6 bytes, first reading, b.pdf (application/pdf)\n"
                  "first reading: 2 attachments\nsecond reading: 0 more attachments\n");
    EXPECT_EQ(readFile(first), "hello world");
    EXPECT_EQ(readFile(second), "second");
    EXPECT_EQ(result.err, "");
}

// A message saved from a mailbox: the separator line hides the header from
// the first reading, and base64 goes on after its padding.
const char kBehindAnMboxLine[] =
    "From a@example.org Mon Jan  1 10:00:00 2024\n"
    "From: a@example.org\n"
    "Content-Type: application/octet-stream; name=\"x.bin\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "aGVsbG8g\n"
    "d29ybGQ=\n";

TEST_F(UnpackToolTest, ExtraFilesOfTheSecondReadingAreListedAfterThePartFiles) {
    ToolRun result = run({message("m.eml", kBehindAnMboxLine).string(), folder_});
    EXPECT_EQ(result.status, kUnpackToolOk) << result.err;
    const std::string extra = platform::shownPath(folder_ + "/msg-0-extra-0.scanme");
    EXPECT_EQ(result.out, extra +
                              ": 11 bytes, second reading, x.bin (application/octet-stream)\n"
                              "first reading: 0 attachments\nsecond reading: 1 more attachments\n");
    EXPECT_EQ(readFile(extra), "hello world");
}

TEST_F(UnpackToolTest, SignsOfEvasionArePrintedCommaSeparated) {
    const std::string text =
        "Content-Type: multipart/mixed; boundary=\"A\"; boundary=\"B\"\n"
        "Content-Type: multipart/mixed; boundary=\"B\"\n"
        "\n"
        "--B\n"
        "Content-Type: application/zip\n"
        "\n"
        "PK-data\n"
        "--B--\n";
    ToolRun result = run({message("m.eml", text).string(), folder_});
    EXPECT_EQ(result.status, kUnpackToolOk) << result.err;
    const std::string out = result.out;
    const std::size_t signs = out.find("unusual MIME structure: ");
    ASSERT_NE(signs, std::string::npos) << out;
    EXPECT_NE(out.find("duplicate field", signs), std::string::npos) << out;
    EXPECT_NE(out.find(", ", signs), std::string::npos) << out;
    EXPECT_EQ(out.back(), '\n');
}

TEST_F(UnpackToolTest, NoSecondReadingOptionGivesTheFirstReadingsListingAlone) {
    for (const std::vector<std::string>& order :
         {std::vector<std::string>{"--no-second-reading", "M", "D"},
          std::vector<std::string>{"M", "D", "--no-second-reading"}}) {
        std::vector<std::string> arguments;
        for (const std::string& word : order)
            arguments.push_back(word == "M"   ? message("m.eml", kBehindAnMboxLine).string()
                                : word == "D" ? folder_
                                              : word);
        ToolRun result = run(arguments);
        EXPECT_EQ(result.status, kUnpackToolOk);
        EXPECT_EQ(result.out, "first reading: 0 attachments\n");
        EXPECT_FALSE(fs::exists(folder_ + "/msg-0-extra-0.scanme"));
    }
}

TEST_F(UnpackToolTest, GoldenMessagesReadFromFilesGiveTheExpectedPartFiles) {
    std::vector<fs::path> messages;
    for (const auto& entry : fs::directory_iterator(TARNWICK_MIME_CASES))
        if (entry.path().extension() == ".eml")
            messages.push_back(entry.path());
    std::sort(messages.begin(), messages.end());
    ASSERT_FALSE(messages.empty());
    for (const fs::path& eml : messages) {
        SCOPED_TRACE(eml.filename().string());
        fs::path expected = eml;
        expected.replace_extension(".expected");
        const std::string expectedResult = readFile(expected / "result");
        std::string expectedListing;
        std::vector<std::string> expectedFiles;
        for (int part = 0; fs::exists(expected / ("part-" + std::to_string(part))); ++part) {
            expectedFiles.push_back(readFile(expected / ("part-" + std::to_string(part))));
            expectedListing +=
                platform::shownPath(folder_ + "/msg-0-part-" + std::to_string(part) + ".scanme") +
                ": " + std::to_string(expectedFiles.back().size()) + " bytes, first reading, \n";
        }
        // Each line up to the attachment's own name, then the count.
        const auto withoutNames = [](const std::string& listing) {
            std::string shortened;
            for (std::size_t start = 0; start < listing.size();) {
                const std::size_t end = listing.find('\n', start);
                const std::size_t cut = listing.find(" reading, ", start);
                shortened += cut < end ? listing.substr(start, cut + 10 - start) + "\n"
                                       : listing.substr(start, end + 1 - start);
                start = end + 1;
            }
            return shortened;
        };

        ToolRun result = run({eml.string(), folder_ + "/", "--no-second-reading"});
        EXPECT_EQ(result.status, kUnpackToolOk) << result.err;
        EXPECT_EQ(withoutNames(result.out),
                  expectedListing + "first reading: " + std::to_string(expectedFiles.size()) +
                      " attachments\n");
        EXPECT_EQ(expectedResult.substr(0, expectedResult.find('\n')),
                  std::to_string(expectedFiles.size()));
        for (std::size_t part = 0; part < expectedFiles.size(); ++part)
            EXPECT_EQ(readFile(folder_ + "/msg-0-part-" + std::to_string(part) + ".scanme"),
                      expectedFiles[part]);
        fs::remove_all(folder_);

        // With both readings the first reading's lines stay as they were.
        ToolRun both = run({eml.string(), folder_});
        EXPECT_EQ(both.status, kUnpackToolOk) << both.err;
        EXPECT_EQ(both.out.substr(0, result.out.rfind("first reading: ")),
                  result.out.substr(0, result.out.rfind("first reading: ")));
        fs::remove_all(folder_);
    }
}

TEST_F(UnpackToolTest, MessageIsPositionedAfterAnEnvelopeBlockOrAtItsOwnHeader) {
    const std::string body = "Content-Type: application/zip\n\nPK-data\n";
    const char* kZipListing =
        ": 8 bytes, first reading, (no name) (application/zip)\n"
        "first reading: 1 attachments\n";
    struct Case {
        const char* name;
        std::string text;
        const char* listing;
    };
    const Case cases[] = {
        {"envelope block skipped", "H sender@example.org\nR rcpt@example.org\n\n" + body,
         kZipListing},
        {"own header kept", body, kZipListing},
        {"unknown preamble skipped to the empty line", "<<spool 17>>\n\n" + body, kZipListing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ToolRun result = run({message("m.eml", c.text).string(), folder_, "--no-second-reading"});
        EXPECT_EQ(result.status, kUnpackToolOk);
        EXPECT_EQ(result.out, platform::shownPath(folder_ + "/msg-0-part-0.scanme") + c.listing);
        EXPECT_EQ(readFile(folder_ + "/msg-0-part-0.scanme"), "PK-data\n");
        fs::remove_all(folder_);
    }
}

TEST_F(UnpackToolTest, MessageWithoutAttachmentsListsNothingAndSucceeds) {
    ToolRun result = run({message("m.eml", "Subject: hi\n\njust text\n").string(), folder_});
    EXPECT_EQ(result.status, kUnpackToolOk);
    EXPECT_EQ(result.out, "first reading: 0 attachments\nsecond reading: 0 more attachments\n");
    EXPECT_TRUE(fs::is_empty(folder_));
}

TEST_F(UnpackToolTest, WrongArgumentCountsPrintTheUsageAndFail) {
    const std::vector<std::vector<std::string>> usages = {
        {}, {"only-one"}, {"a", "b", "c"}, {"", folder_}, {"--no-second-reading", folder_}};
    for (const std::vector<std::string>& arguments : usages) {
        ToolRun result = run(arguments);
        EXPECT_EQ(result.status, kUnpackToolBadUsage);
        EXPECT_NE(result.err.find("usage: tarnwick-unpack [--no-second-reading] MESSAGE DIR"),
                  std::string::npos);
        EXPECT_EQ(result.out, "");
    }
    EXPECT_FALSE(fs::exists(folder_));
}

TEST_F(UnpackToolTest, MissingOrFolderMessageIsReportedAndNothingIsUnpacked) {
    for (const fs::path& path : {root_ / "no-such.eml", root_}) {
        ToolRun result = run({path.string(), folder_});
        EXPECT_EQ(result.status, kUnpackToolBadMessage);
        EXPECT_NE(result.err.find(path.string()), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_FALSE(fs::exists(folder_));
    }
}

TEST_F(UnpackToolTest, MissingFolderIsMadeButNotAMissingParent) {
    ToolRun made = run({message("m.eml", kTwoAttachments).string(), folder_});
    EXPECT_EQ(made.status, kUnpackToolOk);
    EXPECT_TRUE(fs::is_directory(folder_));

    const std::string deep = (root_ / "absent" / "parts").string();
    ToolRun refused = run({message("m.eml", kTwoAttachments).string(), deep});
    EXPECT_EQ(refused.status, kUnpackToolBadFolder);
    EXPECT_NE(refused.err.find(deep), std::string::npos);
    EXPECT_EQ(refused.out, "");
}

TEST_F(UnpackToolTest, PartFileThatCannotBeWrittenGivesAFailureStatus) {
    // A folder in the way of the first part file: it cannot be created.
    fs::create_directories(fs::path(folder_) / "msg-0-part-0.scanme");
    ToolRun result = run({message("m.eml", kTwoAttachments).string(), folder_});
    EXPECT_EQ(result.status, kUnpackToolWriteFailed);
    // The attachment whose part file could not be created is not among the
    // files written, so the second reading still shows it.
    EXPECT_EQ(result.out, platform::shownPath(folder_ + "/msg-0-part-1.scanme") +
                              ": 6 bytes, first reading, b.pdf "
                              "(application/pdf)\n" +
                              platform::shownPath(folder_ + "/msg-0-extra-0.scanme") +
                              ": 11 bytes, second reading, (no name) "
                              "(application/octet-stream)\n"
                              "first reading: 1 attachments\nsecond reading: 1 more attachments\n");
    EXPECT_EQ(readFile(folder_ + "/msg-0-extra-0.scanme"), "hello world");
    EXPECT_NE(result.err.find("a part file could not be created or written"), std::string::npos);
}

TEST_F(UnpackToolTest, ExtraFileThatCannotBeWrittenGivesAFailureStatus) {
    fs::create_directories(fs::path(folder_) / "msg-0-extra-0.scanme");
    ToolRun result = run({message("m.eml", kBehindAnMboxLine).string(), folder_});
    EXPECT_EQ(result.status, kUnpackToolWriteFailed);
    EXPECT_NE(result.err.find("an extra file could not be created or written"), std::string::npos)
        << result.err;
}

#ifdef _WIN32
TEST_F(UnpackToolTest, DriveRootIsAcceptedAsTheFolder) {
    // "C:\" without its separator would be the drive's current folder.
    const std::string drive = fs::absolute(root_).string().substr(0, 2);
    ToolRun result = run({message("m.eml", kTwoAttachments).string(), drive + "\\"});
    EXPECT_EQ(result.status, kUnpackToolOk) << result.err;
    // Every path shown with backslashes.
    EXPECT_EQ(result.out.rfind(drive + "\\", 0), 0u) << result.out;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_EQ(line.substr(0, line.find(": ")).find('/'), std::string::npos) << line;
    EXPECT_EQ(readFile(drive + "\\msg-0-part-0.scanme"), "hello world");
    EXPECT_TRUE(fs::remove(drive + "\\msg-0-part-0.scanme"));
    EXPECT_TRUE(fs::remove(drive + "\\msg-0-part-1.scanme"));
}

TEST_F(UnpackToolTest, MessageWithALongUtf8PathIsUnpackedIntoAUtf8Folder) {
    // A Cyrillic message name more than 260 characters down, and a Cyrillic
    // folder for the part files.
    const std::u8string name = u8"вложения";
    const std::string utf8(reinterpret_cast<const char*>(name.data()), name.size());
    // Long paths only in their "\\?\" form here: the standard library does
    // not convert them.
    const std::wstring longRoot = L"\\\\?\\" + fs::absolute(root_).wstring();
    std::vector<std::wstring> levels = {longRoot};
    for (char letter : {'a', 'b', 'c', 'd', 'e'})
        levels.push_back(levels.back() + L"\\" + std::wstring(50, letter));
    for (std::size_t level = 1; level < levels.size(); ++level)
        fs::create_directory(levels[level]);
    const fs::path wideMessage = fs::path(levels.back()) / (name + u8".eml");
    std::ofstream(wideMessage, std::ios::binary) << kTwoAttachments;
    fs::create_directory(root_ / name);
    std::string messagePath = fs::absolute(root_).string();
    for (char letter : {'a', 'b', 'c', 'd', 'e'})
        messagePath += "\\" + std::string(50, letter);
    messagePath += "\\" + utf8 + ".eml";
    ASSERT_GT(messagePath.size(), 260u);

    ToolRun result = run({messagePath, root_.string() + "\\" + utf8});
    EXPECT_EQ(result.status, kUnpackToolOk) << result.err;
    EXPECT_NE(result.out.find("first reading: 2 attachments"), std::string::npos) << result.out;
    EXPECT_TRUE(fs::exists(root_ / name / "msg-0-part-1.scanme"));

    fs::remove(wideMessage);
    while (levels.size() > 1) {
        fs::remove(levels.back());
        levels.pop_back();
    }
}
#endif

}  // namespace
}  // namespace tarnwick
