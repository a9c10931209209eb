// SPDX-License-Identifier: Apache-2.0
// scan_files_test.cpp - every file a request writes into ScanMe is the
// request's own from its creation: no two share a name, no clean-up takes
// one from a request in progress, one the anti-virus changed is a virus, a
// full disk under any of them postpones, and none is written through a link.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "runtime/platform.h"
#include "scanfiles/folder_check.h"
#include "scanfiles/folder_claim.h"
#include "scanfiles/scan_names.h"
#include "tests/scanner/scan_fixture.h"

namespace tarnwick::testing {
namespace {

using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

// base64 - the encoding of data in lines of 76 characters.
std::string base64(const std::string& data) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t at = 0; at < data.size(); at += 3) {
        const std::size_t n = std::min<std::size_t>(3, data.size() - at);
        unsigned v = 0;
        for (std::size_t i = 0; i < 3; ++i)
            v = v << 8 | (i < n ? static_cast<unsigned char>(data[at + i]) : 0);
        for (std::size_t i = 0; i < 4; ++i)
            text += i <= n ? digits[(v >> (18 - 6 * i)) & 63] : '=';
        if ((at / 3 + 1) % 19 == 0)
            text += '\n';
    }
    return text + "\n";
}

// uuencoded - a uuencoded block of data (whole lines of 45 bytes).
std::string uuencoded(const std::string& data) {
    std::string text = "begin 644 x.bin\n";
    for (std::size_t at = 0; at + 45 <= data.size(); at += 45) {
        text += 'M';
        for (std::size_t i = at; i < at + 45; i += 3) {
            const unsigned v = static_cast<unsigned char>(data[i]) << 16 |
                               static_cast<unsigned char>(data[i + 1]) << 8 |
                               static_cast<unsigned char>(data[i + 2]);
            for (int shift = 18; shift >= 0; shift -= 6)
                text +=
                    static_cast<char>(((v >> shift) & 63) == 0 ? '`' : ((v >> shift) & 63) + 32);
        }
        text += '\n';
    }
    return text + "`\nend\n";
}

// cutAtPadding - one named part the first reading cuts at early base64
// padding ("first"); the second reading decodes rest after it.
std::string cutAtPadding(const std::string& name, const std::string& type,
                         const std::string& rest) {
    return "--XYZ\nContent-Type: " + type + "; name=\"" + name +
           "\"\nContent-Transfer-Encoding: base64\n\nZmlyc3Q=\n" + base64(rest);
}

std::string multipart(const std::string& parts) {
    return "From: a@example.org\nMIME-Version: 1.0\n"
           "Content-Type: multipart/mixed; boundary=\"XYZ\"\n\n" +
           parts + "--XYZ--\n";
}

TEST_F(ScanJobTest, TwoExtraFilesWrittenAtOnceGetNamesOfTheirOwn) {
    // A text attachment of 1.2 MB holding a uuencoded block of 1.5 MB: both
    // are still being written when the other's file is opened.
    std::string data(1500 * 1000 - 1500 * 1000 % 45, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 % 251);
    const std::string text = std::string(1200 * 1000, 't') + "\n" + uuencoded(data);
    Lines during;
    onPause([&](std::uint32_t, ScanPause reason) {
        if (reason == ScanPause::SecondWait)
            during = scanMeEntries();
    });
    scan(80, writeMessage("m.eml", multipart(cutAtPadding("a.txt", "text/plain", text))));
    // The third: the text as decoders that skip every "=" read it, out of step.
    EXPECT_EQ(during, (Lines{"msg-80-extra-0.scanme", "msg-80-extra-1.scanme",
                             "msg-80-extra-2.scanme", "msg-80-part-0.scanme"}));
}

TEST_F(ScanJobTest, CleanUpDuringTheSecondReadingLeavesItsFilesAlone) {
    LockedFiles::lock("msg-7-extra-0", EACCES);
    const std::string message = multipart(cutAtPadding("a.bin", "application/x-a", " and more") +
                                          cutAtPadding("b.bin", "application/x-b", " or less"));
    scan(7, writeMessage("m.eml", message));
    ASSERT_EQ(deferredRequests(), std::set<int>{7});
    LockedFiles::unlock("msg-7-extra-0");
    // Request 7 again: another request's clean-up runs while its second
    // reading writes its second extra file.
    FullDisk::onCreate([&](const std::string& path) {
        if (path.find("msg-7-extra-1") != std::string::npos)
            filter->retryLeftovers();
    });
    EXPECT_EQ(scan(7, writeMessage("m.eml", message)).lines, verdict(false));
}

TEST_F(ScanJobTest, FileTheAntiVirusChangedIsAVirus) {
    struct Case {
        const char* name;
        const char* file;
        ScanPause when;
        bool sameSize;
    };
    const Case cases[] = {
        {"part truncated", "msg-81-part-0", ScanPause::SecondWait, false},
        {"part rewritten", "msg-82-part-1", ScanPause::SecondWait, true},
        {"copy truncated while locked", "mail-83-msg", ScanPause::LockedRound, false},
    };
    std::uint32_t requestId = 81;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = std::string("ScanMe/") + c.file + ".scanme";
        if (c.when == ScanPause::LockedRound)
            LockedFiles::lock(c.file, EACCES);
        onPause([&](std::uint32_t, ScanPause reason) {
            if (reason != c.when || !fs::exists(path))
                return;
            LockedFiles::unlock(c.file);
            if (c.sameSize) {
                // Other bytes of the same size; a new time alone is no change.
                std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
                const char first = static_cast<char>(file.get());
                file.seekp(0);
                file.put(static_cast<char>(first ^ 1));
                file.close();
                fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(2));
            } else
                fs::resize_file(path, 1);
        });
        EXPECT_EQ(scan(requestId++, writeMessage("m.eml", twoAttachmentMessage())).lines,
                  verdict(true));
    }
}

#ifndef _WIN32
// A base64-encoded multipart that hides a zip attachment: the second
// reading decodes it into a spill file first.
const char* kEncodedMultipart =
    "Content-Type: multipart/mixed; boundary=\"XYZ\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "LS1YWVoKQ29udGVudC1UeXBlOiBhcHBsaWNhdGlvbi96aXAKClBLLWRhdGEKLS1YWVotLQo=\n";

TEST_F(ScanJobTest, SpillFileOnAFullDiskPostponesTheMessage) {
    FullDisk::fill("msg-84-reading-0");
    const FilterResult result = scan(84, writeMessage("m.eml", kEncodedMultipart));
    EXPECT_EQ(result.kind, FilterResult::Postpone);
    EXPECT_EQ(takeLines().back(),
              "* (84) No space left in ScanMe, the message will be tried again later");
}

TEST_F(ScanJobTest, ScanFileIsNeverWrittenThroughALink) {
    writeMessage("target", "keep");
    ::chmod("target", 0644);
    fs::create_directories("ScanMe");
    fs::create_symlink(fs::absolute("target"), "ScanMe/mail-85-msg.scanme");
    EXPECT_EQ(scan(85, writeMessage("m.eml", plainMessage())).kind, FilterResult::Ok);
    struct stat status {};
    ASSERT_EQ(::stat("target", &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    EXPECT_EQ(fs::file_size("target"), 4u);
}
#endif

#ifndef _WIN32
TEST_F(ScanJobTest, StartUpRemovesTheScanFilesOfEarlierRunsOnlyWhenItOwnsTheFolder) {
    fs::create_directories("ScanMe");
    // 4194305 is past any process id Linux hands out: that process is gone.
    const Lines ours = {"mail-3-msg.scanme",
                        "msg--1-extra-2.scanme",
                        "msg-3-part-0.scanme",
                        "msg-4-part-0.scanme",
                        "msg-5-reading-0.tmp",
                        "probe-4194305.scanme",
                        "filter-4194305-msg-3-part-0.scanme"};
    const Lines others = {"mail-3-msg.scanme.bak", "notes.txt", "scan-1-mail-3-msg.scanme",
                          "probe-1.scanme", "xmsg-3-part-0.scanme"};
    for (const Lines& names : {ours, others})
        for (const std::string& name : names)
            writeMessage("ScanMe/" + name, "old");
    writeMessage("elsewhere", "keep");
    fs::create_symlink(fs::absolute("elsewhere"), "ScanMe/msg-9-part-0.scanme");
    LockedFiles::lock("msg-4-part-0", EACCES);
    claimScanFolder(filter->scanFolder, filter->scanFiles());
    EXPECT_EQ(takeLines(), Lines{"* Removed 6 files left in ./ScanMe by an earlier run; 1 still "
                                 "locked, will try again later"});
    EXPECT_EQ(deferredRequests(), std::set<int>{4});
    // A second filter on the same folder touches nothing.
    writeMessage("ScanMe/mail-6-msg.scanme", "in use");
    AvFilter second;
    claimScanFolder(second.scanFolder, second.scanFiles());
    EXPECT_EQ(takeLines(), Lines{"* Another Tarnwick is using ./ScanMe, files left there by "
                                 "earlier runs are not touched"});
    EXPECT_EQ(scanMeEntries(),
              (Lines{"mail-3-msg.scanme.bak", "mail-6-msg.scanme", "msg-4-part-0.scanme",
                     "msg-9-part-0.scanme", "notes.txt", "probe-1.scanme",
                     "scan-1-mail-3-msg.scanme", "tarnwick.lock", "xmsg-3-part-0.scanme"}));
}
#endif

#ifndef _WIN32
// FolderCase - a scan folder prepared one way, and what its check says.
struct FolderCase {
    const char* name;
    std::function<void()> prepare;  // makes ./ScanMe
    bool needsRoot;
    std::string lineEnd;  // the end of the check's line; empty when usable
};

TEST_F(ScanJobTest, FolderChecksRefuseEveryFolderThatIsNotOursAlone) {
    const std::string check = checkFileName("ScanMe", platform::currentProcessId());
    const auto folder = [](unsigned mode) {
        return [mode] {
            fs::create_directories("ScanMe");
            ::chmod("ScanMe", mode);
        };
    };
    const std::vector<FolderCase> cases = {
        {"private", folder(0700), false, ""},
        {"group may read", folder(02750), false, ""},
        {"group may write", folder(0770), false,
         "has mode 0770 (writable by others than its owner)"},
        {"everybody's, sticky", folder(01777), false,
         "has mode 1777 (writable by others than its owner)"},
        {"another user's",
         [&] {
             folder(0700)();
             ::chown("ScanMe", 65534, 65534);
         },
         true, "and has mode 0700; Tarnwick uses only"},
        {"a link to a good folder",
         [] {
             fs::create_directories("real");
             fs::create_directory_symlink("real", "ScanMe");
         },
         false, "is a symbolic link"},
        {"check file name taken by a link",
         [&] {
             folder(0700)();
             fs::create_symlink("/etc/passwd", check);
         },
         false,
         "cannot be written by user " + platform::currentUserName() + ": " + std::strerror(EEXIST)},
    };
    for (const FolderCase& each : cases) {
        SCOPED_TRACE(each.name);
        fs::remove_all("ScanMe");
        fs::remove_all("real");
        if (each.needsRoot && ::geteuid() != 0)
            continue;
        each.prepare();
        const FolderCheck result = checkScanFolder("ScanMe");
        EXPECT_EQ(result.usable, each.lineEnd.empty());
        if (result.usable)
            continue;
        const std::string line = folderCheckLine(result);
        EXPECT_EQ(line.rfind("* Error: ScanMe (" + platform::absolutePath("ScanMe") + ") ", 0), 0u);
        EXPECT_NE(line.find(each.lineEnd), std::string::npos) << line;
        // A refused folder gets no message copy either.
        if (!result.untrusted)
            continue;
        EXPECT_EQ(scan(40, writeMessage("m.eml", plainMessage())).kind, FilterResult::Ok);
        EXPECT_FALSE(fs::exists("ScanMe/mail-40-msg.scanme"));
    }
}
#endif

}  // namespace
}  // namespace tarnwick::testing
