// SPDX-License-Identifier: Apache-2.0
// session.h - one run of the real tarnwick executable, for the end-to-end tests.
//
// A TarnwickSession makes a fresh temporary folder, starts the executable in
// it with the given arguments through ChildProcess, and offers what the tests
// need around it: the protocol lines to send, the output lines read with a
// deadline, message files written into the folder, the expected texts of the
// progress and answer lines, and the ".scanme" files left in ScanMe. The
// folder is removed with the session.
//
// It checks nothing by itself; the tests compare what it returns.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

namespace tarnwick::e2e {

// Where the sample messages of the suite live, and the executable under test.
std::string sampleMessage(const std::string& name);
std::string tarnwickExecutable();

// jobLine - a progress line of one request: "* (" id ") " text.
std::string jobLine(const std::string& id, const std::string& text);
// verdictAnswer - the result answer of a scanned message.
std::string verdictAnswer(const std::string& id, bool virusFound);
// bannerLines - the start-up banner for a wait, and the loop's first notice.
std::vector<std::string> bannerLines(const std::string& wait);
// readFile - a whole file's bytes (empty when it cannot be read).
std::string readFile(const std::string& path);

// TempFolder - a fresh folder under the system's temporary folder, removed
// with everything in it when the object goes away.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

class TarnwickSession {
  public:
    // TarnwickSession - starts tarnwick with args in a fresh folder. When
    // prepare is given, it runs on the folder's path before the start. The
    // anti-virus probe is turned off (--no-av-check) unless args name
    // --require-av or an option starting with --av-check.
    explicit TarnwickSession(std::vector<std::string> args, ChildLimits limits = {},
                             void (*prepare)(const std::string& folder) = nullptr);
    TarnwickSession(const TarnwickSession&) = delete;
    TarnwickSession& operator=(const TarnwickSession&) = delete;

    ChildProcess& child() { return *child_; }
    const std::string& folder() const { return folder_.path(); }
    std::string scanMe() const { return folder_.path() + "/ScanMe"; }

    // send - writes one protocol line followed by LF.
    bool send(const std::string& line);
    // readLines - up to count lines; fewer when one does not come in time.
    std::vector<std::string> readLines(std::size_t count, Millis timeout = Millis(5000));
    // readThrough - lines up to and including the first equal to last (or all
    // that came before the timeout).
    std::vector<std::string> readThrough(const std::string& last, Millis timeout = Millis(10000));
    // startAndInitialise - reads the banner and the first notice, sends
    // "1 INTF" and reads its two lines; returns every line read.
    std::vector<std::string> startAndInitialise(std::size_t bannerAndNotice = 4);
    // writeMessage - writes content as a file in the folder; returns its path.
    std::string writeMessage(const std::string& name, const std::string& content);
    // copySample - copies a sample message into the folder; returns its path.
    std::string copySample(const std::string& name);
    // scanMeFiles - names of the plain ".scanme" files now in ScanMe.
    std::vector<std::string> scanMeFiles() const;

  private:
    TempFolder folder_;
    std::unique_ptr<ChildProcess> child_;
};

}  // namespace tarnwick::e2e
