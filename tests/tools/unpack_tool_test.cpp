// unpack_tool_test.cpp - tarnwick-unpack run in-process on real message files:
// the listing matches the part files the unpacker leaves, the message is
// positioned as the scan job's second level positions it, and bad arguments,
// unreadable messages and unwritable part files give clear errors and
// non-zero statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mime/unpacker.h"
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
        // The registry is process-wide: every test starts with nothing under 0.
        mime::removePartFiles(0);
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

TEST_F(UnpackToolTest, ListsEachPartFileWithItsSizeAndLeavesItInTheFolder) {
    ToolRun result = run({message("m.eml", kTwoAttachments).string(), folder_});
    EXPECT_EQ(result.status, kUnpackToolOk) << result.err;
    const std::string first = folder_ + "/msg-0-part-0.scanme";
    const std::string second = folder_ + "/msg-0-part-1.scanme";
    EXPECT_EQ(result.out, first + " 11\n" + second + " 6\nunpackMessage: 2\n");
    EXPECT_EQ(readFile(first), "hello world");
    EXPECT_EQ(readFile(second), "second");
    EXPECT_EQ(result.err, "");
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
            expectedListing += folder_ + "/msg-0-part-" + std::to_string(part) + ".scanme " +
                               std::to_string(expectedFiles.back().size()) + "\n";
        }

        ToolRun result = run({eml.string(), folder_ + "/"});
        EXPECT_EQ(result.status, kUnpackToolOk) << result.err;
        EXPECT_EQ(result.out, expectedListing + "unpackMessage: " +
                                  expectedResult.substr(0, expectedResult.find('\n')) + "\n");
        for (std::size_t part = 0; part < expectedFiles.size(); ++part)
            EXPECT_EQ(readFile(folder_ + "/msg-0-part-" + std::to_string(part) + ".scanme"),
                      expectedFiles[part]);
        mime::removePartFiles(0);
    }
}

TEST_F(UnpackToolTest, MessageIsPositionedAfterAnEnvelopeBlockOrAtItsOwnHeader) {
    const std::string body = "Content-Type: application/zip\n\nPK-data\n";
    struct Case {
        const char* name;
        std::string text;
        const char* listing;
    };
    const Case cases[] = {
        {"envelope block skipped", "H sender@example.org\nR rcpt@example.org\n\n" + body,
         " 8\nunpackMessage: 1\n"},
        {"own header kept", body, " 8\nunpackMessage: 1\n"},
        {"unknown preamble skipped to the empty line", "<<spool 17>>\n\n" + body,
         " 8\nunpackMessage: 1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ToolRun result = run({message("m.eml", c.text).string(), folder_});
        EXPECT_EQ(result.status, kUnpackToolOk);
        EXPECT_EQ(result.out, folder_ + "/msg-0-part-0.scanme" + c.listing);
        EXPECT_EQ(readFile(folder_ + "/msg-0-part-0.scanme"), "PK-data\n");
        mime::removePartFiles(0);
    }
}

TEST_F(UnpackToolTest, MessageWithoutAttachmentsListsNothingAndSucceeds) {
    ToolRun result = run({message("m.eml", "Subject: hi\n\njust text\n").string(), folder_});
    EXPECT_EQ(result.status, kUnpackToolOk);
    EXPECT_EQ(result.out, "unpackMessage: 0\n");
    EXPECT_TRUE(fs::is_empty(folder_));
}

TEST_F(UnpackToolTest, WrongArgumentCountsPrintTheUsageAndFail) {
    const std::vector<std::vector<std::string>> usages = {
        {}, {"only-one"}, {"a", "b", "c"}, {"", folder_}};
    for (const std::vector<std::string>& arguments : usages) {
        ToolRun result = run(arguments);
        EXPECT_EQ(result.status, kUnpackToolBadUsage);
        EXPECT_NE(result.err.find("usage: tarnwick-unpack MESSAGE DIR"), std::string::npos);
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
        EXPECT_TRUE(mime::registeredPartFiles(0).empty());
    }
}

TEST_F(UnpackToolTest, MissingFolderIsMadeButNotAMissingParent) {
    ToolRun made = run({message("m.eml", kTwoAttachments).string(), folder_});
    EXPECT_EQ(made.status, kUnpackToolOk);
    EXPECT_TRUE(fs::is_directory(folder_));
    mime::removePartFiles(0);

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
    EXPECT_EQ(result.out, folder_ + "/msg-0-part-1.scanme 6\nunpackMessage: -1\n");
    EXPECT_NE(result.err.find("could not be created or written"), std::string::npos);
}

#ifdef _WIN32
TEST_F(UnpackToolTest, DriveRootIsAcceptedAsTheFolder) {
    // "C:\" without its separator would be the drive's current folder.
    const std::string drive = fs::absolute(root_).string().substr(0, 2);
    ToolRun result = run({message("m.eml", kTwoAttachments).string(), drive + "\\"});
    EXPECT_EQ(result.status, kUnpackToolOk) << result.err;
    const std::vector<std::string> parts = mime::registeredPartFiles(0);
    ASSERT_EQ(parts.size(), 2u) << result.out;
    EXPECT_EQ(readFile(drive + "\\msg-0-part-0.scanme"), "hello world");
    EXPECT_EQ(mime::removePartFiles(0), 0);
    EXPECT_FALSE(fs::exists(drive + "\\msg-0-part-1.scanme"));
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
    EXPECT_EQ(mime::registeredPartFiles(0).size(), 2u) << result.out;
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
