// SPDX-License-Identifier: Apache-2.0
// stand_in_av.cpp - the polling thread of the stand-in anti-virus.
#include "stand_in_av.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tarnwick::e2e {

namespace {

// How often the folder is looked at: far below the filter's one-second waits.
constexpr std::chrono::milliseconds pollInterval(1);

// readWhole - the file's content, or nothing when it cannot be opened.
bool readWhole(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// endsWith - true when text ends with suffix.
bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

StandInAv::StandInAv(std::string folder, std::vector<AvRule> rules) : folder_(std::move(folder)) {
    for (auto& rule : rules) {
        std::string pattern = rule.namePattern.empty() ? ".*" : rule.namePattern;
        rules_.emplace_back(std::regex(pattern), std::move(rule));
    }
    thread_ = std::thread([this] { watch(); });
}

StandInAv::~StandInAv() {
    stop_ = true;
    thread_.join();
}

std::map<std::string, std::string> StandInAv::captured() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return captured_;
}

std::set<std::string> StandInAv::seen() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return seen_;
}

std::set<std::string> StandInAv::acted() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return acted_;
}

std::map<std::string, unsigned> StandInAv::modes() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return modes_;
}

void StandInAv::watch() {
    while (!stop_) {
        scanOnce();
        std::this_thread::sleep_for(pollInterval);
    }
}

void StandInAv::scanOnce() {
    std::error_code error;
    std::filesystem::directory_iterator entries(folder_, error);
    if (error) {
        return;  // the folder does not exist yet
    }
    std::set<std::string> present;
    for (const auto& entry : entries) {
        std::string name = entry.path().filename().string();
        present.insert(name);
        if (!endsWith(name, ".scanme") || !entry.is_regular_file(error)) {
            continue;
        }
        std::string path = entry.path().string();
        std::lock_guard<std::mutex> hold(mutex_);
        const auto now = std::chrono::steady_clock::now();
        if (seen_.insert(name).second) {
            modes_[name] = static_cast<unsigned>(entry.status(error).permissions());
        }
        auto first = firstSeen_.emplace(name, now).first;
        for (const auto& [pattern, rule] : rules_) {
            if (!std::regex_match(name, pattern)) {
                continue;
            }
            bool once = rule.action != AvAction::Capture;
            if (once && handled_.count(name) != 0) {
                continue;
            }
            if (now - first->second < std::chrono::milliseconds(rule.delayMilliseconds)) {
                continue;
            }
            std::string content;
            bool needContent = !rule.marker.empty() || rule.action == AvAction::Capture;
            if (needContent && !readWhole(path, content)) {
                continue;
            }
            if (!rule.marker.empty() && content.find(rule.marker) == std::string::npos) {
                continue;
            }
            if (rule.action == AvAction::Capture) {
                captured_[name] = content;
            } else if (rule.action == AvAction::Delete) {
                if (::unlink(path.c_str()) == 0) {
                    acted_.insert(name);
                    handled_.insert(name);
                }
            } else if (::truncate(path.c_str(), static_cast<off_t>(rule.truncateTo)) == 0) {
                acted_.insert(name);
                handled_.insert(name);
            }
        }
    }
    // A file gone is forgotten: one written again under its name is new.
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto it = handled_.begin(); it != handled_.end();)
        it = present.count(*it) != 0 ? std::next(it) : handled_.erase(it);
    for (auto it = firstSeen_.begin(); it != firstSeen_.end();)
        it = present.count(it->first) != 0 ? std::next(it) : firstSeen_.erase(it);
}

}  // namespace tarnwick::e2e
