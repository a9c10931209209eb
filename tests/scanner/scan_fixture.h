// SPDX-License-Identifier: Apache-2.0
// scan_fixture.h - drives the scan job in-process for the scanner tests.
//
// Each test runs in a fresh temporary working directory (the scan job works
// relative to it), with the console log captured, an AvFilter whose pauses
// cost no time and can act as the resident anti-virus would, and the
// removal seam of the platform layer ready to make chosen removals fail.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/console_log.h"
#include "scanner/av_filter.h"

namespace tarnwick::testing {

// Removals of paths containing one of these texts fail with the error code.
struct LockedFiles {
    // lock - removals of paths containing text fail with error (EACCES unless
    // told) until unlock.
    static void lock(const std::string& text, int error);
    static void unlock(const std::string& text);
    static void clear();
    // attempts - every path the removal seam was asked about since
    // clearAttempts, in order.
    static std::vector<std::string> attempts();
    static void clearAttempts();
};

// FullDisk - scan files whose path contains one of these texts are created
// on a full disk: every write to them fails with ENOSPC (the creation seam).
// onCreate, when set, is called with the path of every scan file about to be
// created (on the creating thread, before it exists).
struct FullDisk {
    static void fill(const std::string& text);
    static void onCreate(std::function<void(const std::string&)> action);
    static void clear();
};

// A multipart message with a plain text body and two base64 attachments
// ("first attachment\n" and "second attachment\n" decoded).
std::string twoAttachmentMessage();
// A plain text message without attachments.
std::string plainMessage();

class ScanJobTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // writeMessage - stores text as a file in the working directory.
    std::string writeMessage(const std::string& name, const std::string& text);
    // scan - runs the scan job for requestId on path and returns its result.
    FilterResult scan(std::uint32_t requestId, const std::string& path);
    // lines - every captured console line so far (without line ends), the
    // system's error text of a "Could not ..." line as "ERROR"; clears the
    // capture.
    std::vector<std::string> takeLines();
    // onPause - what the stand-in anti-virus does at each pause.
    void onPause(std::function<void(std::uint32_t, ScanPause)> action) { action_ = action; }
    // pausesOf - the reasons of all pauses so far, in order.
    std::vector<ScanPause> pauses() {
        std::lock_guard<std::mutex> held(pausesGuard_);
        return pauses_;
    }
    // scanMeEntries - the names in ScanMe, sorted.
    std::vector<std::string> scanMeEntries() const;
    // deferredRequests - the request numbers in the names of the files on
    // the filter's deferred list.
    std::set<int> deferredRequests() const;

    std::unique_ptr<AvFilter> filter;
    static constexpr int kRounds = 3;

  private:
    std::filesystem::path previous_;
    std::filesystem::path folder_;
    std::ostringstream captured_;
    std::unique_ptr<ConsoleRedirect> redirect_;
    std::function<void(std::uint32_t, ScanPause)> action_;
    std::mutex pausesGuard_;
    std::vector<ScanPause> pauses_;
    std::vector<std::uint32_t> scanned_;
};

// The verdict lines of a scanned message.
std::vector<std::string> verdict(bool virus);

}  // namespace tarnwick::testing
