// SPDX-License-Identifier: Apache-2.0
// scan_fixture.cpp - the in-process harness of the scan job tests.
#include "tests/scanner/scan_fixture.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <random>

#include "runtime/platform.h"
#include "tests/common/temp_folder.h"
#include "unpacker/unpacker.h"

namespace tarnwick::testing {

namespace {

std::mutex& lockedGuard() {
    static std::mutex guard;
    return guard;
}

std::map<std::string, int>& lockedTexts() {
    static std::map<std::string, int> texts;
    return texts;
}

std::vector<std::string>& attemptedPaths() {
    static std::vector<std::string> paths;
    return paths;
}

// interceptRemoval - the removal seam: fails removals of locked paths.
int interceptRemoval(const std::string& path) {
    std::lock_guard<std::mutex> held(lockedGuard());
    attemptedPaths().push_back(path);
    for (const auto& [text, error] : lockedTexts())
        if (path.find(text) != std::string::npos)
            return error;
    return -1;
}

std::vector<std::string>& fullTexts() {
    static std::vector<std::string> texts;
    return texts;
}

std::function<void(const std::string&)>& createAction() {
    static std::function<void(const std::string&)> action;
    return action;
}

// interceptCreation - the creation seam: a full disk for the chosen paths.
int interceptCreation(const std::string& path) {
    std::function<void(const std::string&)> action;
    {
        std::lock_guard<std::mutex> held(lockedGuard());
        action = createAction();
    }
    if (action)
        action(path);
    std::lock_guard<std::mutex> held(lockedGuard());
    for (const std::string& text : fullTexts())
        if (path.find(text) != std::string::npos)
            return -1;
    return 0;
}

}  // namespace

void FullDisk::fill(const std::string& text) {
    std::lock_guard<std::mutex> held(lockedGuard());
    fullTexts().push_back(text);
}

void FullDisk::onCreate(std::function<void(const std::string&)> action) {
    std::lock_guard<std::mutex> held(lockedGuard());
    createAction() = std::move(action);
}

void FullDisk::clear() {
    std::lock_guard<std::mutex> held(lockedGuard());
    fullTexts().clear();
    createAction() = nullptr;
}

void LockedFiles::lock(const std::string& text, int error) {
    std::lock_guard<std::mutex> held(lockedGuard());
    lockedTexts()[text] = error;
}

void LockedFiles::unlock(const std::string& text) {
    std::lock_guard<std::mutex> held(lockedGuard());
    lockedTexts().erase(text);
}

void LockedFiles::clear() {
    std::lock_guard<std::mutex> held(lockedGuard());
    lockedTexts().clear();
}

std::vector<std::string> LockedFiles::attempts() {
    std::lock_guard<std::mutex> held(lockedGuard());
    return attemptedPaths();
}

void LockedFiles::clearAttempts() {
    std::lock_guard<std::mutex> held(lockedGuard());
    attemptedPaths().clear();
}

std::string twoAttachmentMessage() {
    return "From: a@example.org\n"
           "To: b@example.org\n"
           "Subject: two files\n"
           "MIME-Version: 1.0\n"
           "Content-Type: multipart/mixed; boundary=\"XYZ\"\n"
           "\n"
           "preamble\n"
           "--XYZ\n"
           "Content-Type: text/plain\n"
           "\n"
           "Hello.\n"
           "--XYZ\n"
           "Content-Type: application/octet-stream; name=\"a.bin\"\n"
           "Content-Transfer-Encoding: base64\n"
           "\n"
           "Zmlyc3QgYXR0YWNobWVudAo=\n"
           "--XYZ\n"
           "Content-Type: application/octet-stream; name=\"b.bin\"\n"
           "Content-Transfer-Encoding: base64\n"
           "\n"
           "c2Vjb25kIGF0dGFjaG1lbnQK\n"
           "--XYZ--\n";
}

std::string plainMessage() {
    return "From: a@example.org\nTo: b@example.org\nSubject: hi\n\nJust text.\n";
}

std::vector<std::string> verdict(bool virus) {
    return {virus ? "X-Tarnwick: Virus Found" : "X-Tarnwick: No Virus Reported",
            "X-ExtScanner: Quillmark's Tarnwick"};
}

void ScanJobTest::SetUp() {
    previous_ = std::filesystem::current_path();
    folder_ = test_support::makeTempFolder("tarnwick-scan");
    std::filesystem::current_path(folder_);
    redirect_ = std::make_unique<ConsoleRedirect>(captured_);
    ScanTiming timing;
    timing.maxLockedRounds = kRounds;
    timing.pause = [this](std::uint32_t requestId, ScanPause reason, std::int64_t) {
        {
            std::lock_guard<std::mutex> held(pausesGuard_);
            pauses_.push_back(reason);
        }
        if (action_)
            action_(requestId, reason);
    };
    filter = std::make_unique<AvFilter>(timing);
    filter->waitSeconds = 0;
    platform::setRemovalInterceptor(interceptRemoval);
    platform::setCreationInterceptor(interceptCreation);
}

void ScanJobTest::TearDown() {
    LockedFiles::clear();
    FullDisk::clear();
    filter->retryLeftovers();
    platform::setCreationInterceptor(nullptr);
    platform::setRemovalInterceptor(nullptr);
    filter.reset();
    redirect_.reset();
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

std::string ScanJobTest::writeMessage(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
    return name;
}

FilterResult ScanJobTest::scan(std::uint32_t requestId, const std::string& path) {
    scanned_.push_back(requestId);
    return filter->processMessage(requestId, path);
}

std::vector<std::string> ScanJobTest::takeLines() {
    std::vector<std::string> lines;
    std::istringstream in(captured_.str());
    for (std::string line; std::getline(in, line);) {
        // The system's error text differs between platforms: "...: ERROR;
        // treated as a virus" stands for it.
        const std::size_t end = line.rfind("; treated as a virus");
        const std::size_t start = line.rfind(": ", end);
        if (line.find("Could not ") != std::string::npos && end != std::string::npos &&
            start != std::string::npos)
            line.replace(start + 2, end - start - 2, "ERROR");
        lines.push_back(line);
    }
    captured_.str("");
    return lines;
}

std::set<int> ScanJobTest::deferredRequests() const {
    std::set<int> numbers;
    for (const std::string& path : filter->scanFiles().deferredPaths()) {
        const std::string name = std::filesystem::path(path).filename().string();
        numbers.insert(std::stoi(name.substr(name.find('-') + 1)));
    }
    return numbers;
}

std::vector<std::string> ScanJobTest::scanMeEntries() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("ScanMe", ignored))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace tarnwick::testing
