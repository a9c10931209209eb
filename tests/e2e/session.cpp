// SPDX-License-Identifier: Apache-2.0
// session.cpp - temporary folders and tarnwick runs for the end-to-end tests.
#include "session.h"

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tarnwick::e2e {

namespace fs = std::filesystem;

std::string sampleMessage(const std::string& name) {
    return std::string(TARNWICK_E2E_MESSAGES) + "/" + name;
}

std::string tarnwickExecutable() {
    return TARNWICK_EXE;
}

std::string jobLine(const std::string& id, const std::string& text) {
    return "* (" + id + ") " + text;
}

std::string verdictAnswer(const std::string& id, bool virusFound) {
    return id + " ADDHEADER \"X-Tarnwick: " + (virusFound ? "Virus Found" : "No Virus Reported") +
           "\\eX-ExtScanner: Quillmark's Tarnwick\"";
}

std::vector<std::string> bannerLines(const std::string& wait) {
    return {"* Quillmark's Tarnwick v1.12a running (" + wait + ")...",
            "* This software uses a built-in MIME unpacker", "* See tarnwick-readme for details",
            "* Filter is waiting for initialization command (INTF)."};
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TempFolder::TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "tarnwick-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) {
        fs::remove_all(path_, ignored);
    }
}

TarnwickSession::TarnwickSession(std::vector<std::string> args, ChildLimits limits,
                                 void (*prepare)(const std::string& folder)) {
    if (prepare != nullptr) {
        prepare(folder_.path());
    }
    // The anti-virus probe writes its line whenever it ends; only the tests
    // that are about it let it run.
    bool probeWanted = false;
    for (const std::string& arg : args)
        probeWanted = probeWanted || arg.rfind("--av-check", 0) == 0 || arg == "--require-av";
    if (!probeWanted)
        args.push_back("--no-av-check");
    child_ = std::make_unique<ChildProcess>(tarnwickExecutable(), args, folder_.path(), limits);
}

bool TarnwickSession::send(const std::string& line) {
    return child_->write(line + "\n");
}

std::vector<std::string> TarnwickSession::readLines(std::size_t count, Millis timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::string> lines;
    while (lines.size() < count) {
        auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        auto line = child_->readLine(left.count() > 0 ? left : Millis(0));
        if (!line) {
            break;
        }
        lines.push_back(*line);
    }
    return lines;
}

std::vector<std::string> TarnwickSession::readThrough(const std::string& last, Millis timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::string> lines;
    for (;;) {
        auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        auto line = child_->readLine(left.count() > 0 ? left : Millis(0));
        if (!line) {
            return lines;
        }
        lines.push_back(*line);
        if (*line == last) {
            return lines;
        }
    }
}

std::vector<std::string> TarnwickSession::startAndInitialise(std::size_t bannerAndNotice) {
    auto lines = readLines(bannerAndNotice);
    send("1 INTF");
    auto answer = readLines(2);
    lines.insert(lines.end(), answer.begin(), answer.end());
    return lines;
}

std::string TarnwickSession::writeMessage(const std::string& name, const std::string& content) {
    std::string path = folder_.path() + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string TarnwickSession::copySample(const std::string& name) {
    return writeMessage(name, readFile(sampleMessage(name)));
}

std::vector<std::string> TarnwickSession::scanMeFiles() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(scanMe(), error)) {
        std::string name = entry.path().filename().string();
        if (entry.is_regular_file(error) && name.size() > 7 &&
            name.substr(name.size() - 7) == ".scanme") {
            names.push_back(name);
        }
    }
    return names;
}

}  // namespace tarnwick::e2e
