// SPDX-License-Identifier: Apache-2.0
// av_watch.cpp - the self-check at start-up and the probing thread.
#include "scanner/av_watch.h"

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/console_log.h"
#include "runtime/platform.h"
#include "scanfiles/folder_check.h"
#include "scanner/av_probe.h"

namespace tarnwick {

namespace {

// Watch - what the probing thread needs; owned by the thread.
struct Watch {
    AvFilter* filter;
    AvCheckSettings settings;
    bool folderUsable;
    std::shared_ptr<AvWatch> control;
};

// The pause between two looks for the end of a probe in progress.
constexpr std::uint64_t kEndLookMilliseconds = 10;

// writeLines - lines written together on the console log.
void writeLines(const std::vector<std::string>& lines) {
    std::ostream& stream = consoleStream();
    stream << beginLine;
    for (std::size_t index = 0; index < lines.size(); ++index) {
        stream << lines[index];
        if (index + 1 < lines.size())
            stream << '\n' << std::flush;
    }
    stream << endLine;
}

// probeOnce - one probe, preceded by a self-check when the folder is to be
// checked again; true when the anti-virus reacted. The lines to log are
// stored in lines; none when the run ends meanwhile. reactionSeconds gets
// how long the anti-virus took when it reacted.
bool probeOnce(const Watch& watch, bool checkFolder, std::vector<std::string>& lines,
               double& reactionSeconds) {
    const AvFilter& filter = *watch.filter;
    if (checkFolder) {
        const FolderCheck check = checkScanFolder(filter.scanFolder);
        if (!check.usable) {
            lines.push_back(folderCheckLine(check));
            return false;
        }
    }
    AvWatch& control = *watch.control;
    ProbeClock clock;
    clock.stopRequested = [&control] { return control.ending.load(); };
    control.probing.store(true);
    const ProbeResult result = runAvProbe(filter.scanFolder, filter.waitSeconds, clock);
    control.probing.store(false);
    if (result.stopped)
        return false;
    lines = probeLines(result, filter.waitSeconds);
    reactionSeconds = static_cast<double>(result.milliseconds) / 1000.0;
    return reacted(result);
}

// pauseBeforeNext - seconds until the next probe, or -1 when none is due.
std::int64_t pauseBeforeNext(const Watch& watch, bool watching) {
    std::int64_t pause = -1;
    if (watch.settings.everySeconds > 0)
        pause = watch.settings.everySeconds;
    if (!watching && watch.filter->requireAv && (pause < 0 || pause > kProbeRetrySeconds))
        pause = kProbeRetrySeconds;
    return pause;
}

// watchBody - the thread: probe, publish, pause, again while one is due.
void watchBody(void* argument) {
    const std::unique_ptr<Watch> watch(static_cast<Watch*>(argument));
    // A folder that failed its check at start-up is not probed then: its
    // line has been written, and the probe could not write either.
    bool checkFolder = false;
    bool probe = watch->folderUsable;
    std::vector<std::string> lastFailure;
    for (;;) {
        std::vector<std::string> lines;
        double reactionSeconds = 0;
        const bool watching = probe && probeOnce(*watch, checkFolder, lines, reactionSeconds);
        if (watch->control->ending.load())
            return;
        // Recorded before it is logged: a message sent on the line is
        // judged by it.
        AvFilter& filter = *watch->filter;
        filter.antivirusEvidence.recordProbe(watching, filter.nowMilliseconds());
        filter.events().antivirusChecked(!probe     ? FilterEvents::AvState::NotChecked
                                         : watching ? FilterEvents::AvState::Watching
                                                    : FilterEvents::AvState::NotWatching,
                                         reactionSeconds);
        // A failure retried every few seconds is logged when it starts or changes.
        if (!lines.empty() && (watching || lines != lastFailure))
            writeLines(lines);
        lastFailure = watching ? std::vector<std::string>() : lines;
        const std::int64_t pause = pauseBeforeNext(*watch, watching);
        if (pause < 0)
            return;
        platform::sleepMilliseconds(static_cast<std::uint64_t>(pause) * 1000);
        checkFolder = true;
        probe = true;
    }
}

}  // namespace

// end - stop, and wait a moment for a probe in progress to clean up.
void AvWatch::end() {
    ending.store(true);
    for (int waited = 0; probing.load() && waited < kProbeEndMilliseconds;
         waited += static_cast<int>(kEndLookMilliseconds))
        platform::sleepMilliseconds(kEndLookMilliseconds);
}

// startAvChecks - the self-check now, the probe on its thread.
std::shared_ptr<AvWatch> startAvChecks(AvFilter& filter, const AvCheckSettings& settings) {
    auto control = std::make_shared<AvWatch>();
    const FolderCheck check = checkScanFolder(filter.scanFolder);
    if (!check.usable)
        writeLogLine(folderCheckLine(check));
    if (!settings.probe)
        return control;
    auto* watch = new Watch{&filter, settings, check.usable, control};
    platform::ThreadHandle handle = 0;
    if (!platform::startThread(watchBody, watch, handle)) {
        delete watch;
        writeLogLine(
            "* Anti-virus check: no thread could be started for it; the anti-virus was "
            "not checked.");
    }
    return control;
}

}  // namespace tarnwick
