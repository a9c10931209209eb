// SPDX-License-Identifier: Apache-2.0
// bridge_options.h - tarnwick-milter's command line.
//
// Options follow the usual milter style (-p socket, -u user, -f foreground)
// plus the bridge's own long options. parseOptions only reads the words; it
// checks no path on disk and opens nothing, so its result can be tested
// without a machine to run on. The defaults live here as named constants.
#pragma once

#include <string>
#include <vector>

#include "milter/bridge_log.h"

namespace tarnwick::milter {

// What to do with a message the filter reports as infected.
enum class VirusPolicy { Tag, Reject, Quarantine, Discard };
// What to do with a message the filter could not scan (a plain " OK").
enum class UnscannedPolicy { Accept, Tempfail };

inline constexpr const char* defaultSocket = "unix:/run/tarnwick/milter.sock";
inline constexpr const char* defaultWorkFolder = "/var/lib/tarnwick";
inline constexpr const char* defaultSpoolFolder = "/var/spool/tarnwick";
// A request the filter has not answered after this many seconds counts as a
// hung filter: every message in flight is tempfailed and the filter restarted.
// It stays below Postfix's default milter_content_timeout of 300 s, so the
// bridge answers before the mail server gives up on it.
inline constexpr int defaultAnswerTimeoutSeconds = 240;
// The filter probes the anti-virus this often, so that every verdict rests
// on a probe at most two intervals old.
inline constexpr const char* defaultAvCheckEvery = "60s";

struct BridgeOptions {
    std::string socket = defaultSocket;
    std::string user;  // empty: keep the user that started us
    bool foreground = false;
    std::string pidFile;       // empty: no pid file
    std::string tarnwickPath;  // empty: the tarnwick beside this program
    std::string workFolder = defaultWorkFolder;
    std::string spoolFolder = defaultSpoolFolder;
    std::string waitSeconds;  // empty: the filter's own default
    int answerTimeoutSeconds = defaultAnswerTimeoutSeconds;
    VirusPolicy onVirus = VirusPolicy::Tag;
    // A message the filter could not scan is tried again later.
    UnscannedPolicy onUnscanned = UnscannedPolicy::Tempfail;
    // false: the filter is started with --require-av, so that no message is
    // scanned while the anti-virus is not seen to watch ScanMe.
    bool allowUnwatched = false;
    // --log-level: the least level logged (Notice: the summary lines).
    LogLevel logLevel = LogLevel::Notice;
    std::string statsFile;  // --stats-file: where the counters go; empty: nowhere
    // How often the filter probes the anti-virus (--av-check-every: "30s",
    // "5m", plain minutes), passed on to it as given.
    std::string avCheckEvery = defaultAvCheckEvery;
};

// ParsedCommandLine - what the words asked for.
struct ParsedCommandLine {
    enum class Request { Run, Help, Version, Error } request = Request::Run;
    BridgeOptions options;
    std::string error;  // for Request::Error: what was wrong, for one line
};

// parseOptions - reads the words after the program name with the strict
// reader the filter's programs share: an option's value is the next word
// or follows '=' (-p SOCKET, --spool-dir=DIR). --help and --version win
// over everything else.
ParsedCommandLine parseOptions(const std::vector<std::string>& words);

// usageText - the --help text, ending in a line feed.
std::string usageText();

}  // namespace tarnwick::milter
