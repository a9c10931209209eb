// SPDX-License-Identifier: Apache-2.0
// scan_names.cpp - building and reading the names of a scan folder.
#include "scanfiles/scan_names.h"

namespace tarnwick {

namespace {

// Parts of the names, each written once.
constexpr const char* kCopyStart = "mail-";
constexpr const char* kCopyEnd = "-msg.scanme";
constexpr const char* kMessageStart = "msg-";
constexpr const char* kPartMiddle = "-part-";
constexpr const char* kExtraMiddle = "-extra-";
constexpr const char* kSpillMiddle = "-reading-";
constexpr const char* kShownEnd = ".scanme";
constexpr const char* kSpillEnd = ".tmp";
constexpr const char* kRunStart = "scan-";
constexpr const char* kSharingStart = "filter-";
constexpr const char* kProbeStart = "probe-";
constexpr const char* kProbeEnd = ".scanme";
constexpr const char* kCheckStart = "check-";
constexpr const char* kCheckEnd = ".tmp";
constexpr const char* kInputName = "stdin.eml";

// skipDigits - moves at past one or more digits; false when there is none.
bool skipDigits(const std::string& name, std::size_t& at) {
    const std::size_t start = at;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9')
        ++at;
    return at > start;
}

// skipText - moves at past text when name continues with it.
bool skipText(const std::string& name, std::size_t& at, const std::string& text) {
    if (name.compare(at, text.size(), text) != 0)
        return false;
    at += text.size();
    return true;
}

// readNumber - digits from at to end as a process id; false when they are
// not digits only, or too many.
bool readNumber(const std::string& name, std::size_t at, std::size_t end, std::uint64_t& value) {
    if (end <= at || end - at > 19)
        return false;
    value = 0;
    for (std::size_t i = at; i < end; ++i) {
        if (name[i] < '0' || name[i] > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(name[i] - '0');
    }
    return true;
}

// requestFileKind - the kind of a request's file name from at to the end of
// name; false when the rest is no such name.
bool requestFileKind(const std::string& name, std::size_t at, ScanFileKind& kind) {
    if (skipText(name, at, kCopyStart)) {
        kind = ScanFileKind::Copy;
        return skipDigits(name, at) && skipText(name, at, kCopyEnd) && at == name.size();
    }
    if (!skipText(name, at, kMessageStart))
        return false;
    skipText(name, at, "-");
    if (!skipDigits(name, at))
        return false;
    const struct {
        const char* middle;
        const char* end;
        ScanFileKind kind;
    } kForms[] = {{kPartMiddle, kShownEnd, ScanFileKind::Part},
                  {kExtraMiddle, kShownEnd, ScanFileKind::Extra},
                  {kSpillMiddle, kSpillEnd, ScanFileKind::Spill}};
    for (const auto& form : kForms) {
        std::size_t rest = at;
        if (!skipText(name, rest, form.middle) || !skipDigits(name, rest))
            continue;
        kind = form.kind;
        return skipText(name, rest, form.end) && rest == name.size();
    }
    return false;
}

// numbered - "START" PID "END" read back: true with the process id.
bool numbered(const std::string& name, const std::string& start, const std::string& end,
              std::uint64_t& processId) {
    if (name.size() <= start.size() + end.size() || name.compare(0, start.size(), start) != 0 ||
        name.compare(name.size() - end.size(), end.size(), end) != 0)
        return false;
    return readNumber(name, start.size(), name.size() - end.size(), processId);
}

}  // namespace

// scanFileName - see the header.
std::string scanFileName(const std::string& folder, const std::string& prefix, ScanFileKind kind,
                         std::uint32_t requestId, int index) {
    const std::string start = folder + "/" + prefix;
    const std::string message = std::to_string(static_cast<int>(requestId));
    switch (kind) {
        case ScanFileKind::Copy:
            return start + kCopyStart + std::to_string(requestId) + kCopyEnd;
        case ScanFileKind::Part:
            return start + kMessageStart + message + kPartMiddle + std::to_string(index) +
                   kShownEnd;
        case ScanFileKind::Extra:
            return start + kMessageStart + message + kExtraMiddle + std::to_string(index) +
                   kShownEnd;
        case ScanFileKind::Spill:
            break;
    }
    return start + kMessageStart + message + kSpillMiddle + std::to_string(index) + kSpillEnd;
}

// runFilePrefix - see the header.
std::string runFilePrefix(std::uint64_t processId) {
    return kRunStart + std::to_string(processId) + "-";
}

// sharingFilterPrefix - see the header.
std::string sharingFilterPrefix(std::uint64_t processId) {
    return kSharingStart + std::to_string(processId) + "-";
}

// probeFileName - see the header.
std::string probeFileName(const std::string& folder, std::uint64_t processId) {
    return folder + "/" + kProbeStart + std::to_string(processId) + kProbeEnd;
}

// probeRecordName - see the header.
std::string probeRecordName(const std::string& folder) {
    return folder + "/tarnwick.probe";
}

// probeLockName - see the header.
std::string probeLockName(const std::string& folder) {
    return folder + "/tarnwick-probe.lock";
}

// checkFileName - see the header.
std::string checkFileName(const std::string& folder, std::uint64_t processId) {
    return folder + "/" + kCheckStart + std::to_string(processId) + kCheckEnd;
}

// inputFileName - see the header.
std::string inputFileName(const std::string& folder, const std::string& prefix) {
    return folder + "/" + prefix + kInputName;
}

// classifyScanName - a prefix first, then what follows it.
ScanName classifyScanName(const std::string& name) {
    ScanName found;
    if (numbered(name, kProbeStart, kProbeEnd, found.processId)) {
        found.kind = ScanName::Kind::Probe;
        return found;
    }
    if (numbered(name, kCheckStart, kCheckEnd, found.processId)) {
        found.kind = ScanName::Kind::Check;
        return found;
    }
    std::size_t at = 0;
    for (const std::string start : {kRunStart, kSharingStart}) {
        if (name.compare(0, start.size(), start) != 0)
            continue;
        const std::size_t dash = name.find('-', start.size());
        std::uint64_t processId = 0;
        if (dash == std::string::npos || !readNumber(name, start.size(), dash, processId))
            return ScanName{};
        found.prefix = name.substr(0, dash + 1);
        found.processId = processId;
        at = dash + 1;
        if (start == kRunStart && name.compare(at, std::string::npos, kInputName) == 0) {
            found.kind = ScanName::Kind::Input;
            return found;
        }
        break;
    }
    if (!requestFileKind(name, at, found.fileKind))
        return ScanName{};
    found.kind = ScanName::Kind::RequestFile;
    return found;
}

// isOwnScanFileName - a request's file without a prefix.
bool isOwnScanFileName(const std::string& name) {
    const ScanName found = classifyScanName(name);
    return found.kind == ScanName::Kind::RequestFile && found.prefix.empty();
}

}  // namespace tarnwick
