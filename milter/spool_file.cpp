// SPDX-License-Identifier: Apache-2.0
// spool_file.cpp - spool folder, spool file names and the LF conversion.
#include "milter/spool_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "scanfiles/folder_check.h"

namespace tarnwick::milter {

namespace {

constexpr const char* spoolPrefix = "msg-";
constexpr const char* spoolSuffix = ".eml";
constexpr mode_t spoolFolderMode = 0700;
constexpr mode_t parentFolderMode = 0755;

// isAsciiLetter - what the filter takes for a letter at the start of a line.
bool isAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// bareAddress - an envelope address without its angle brackets.
std::string_view bareAddress(std::string_view address) {
    if (address.size() >= 2 && address.front() == '<' && address.back() == '>')
        return address.substr(1, address.size() - 2);
    return address;
}

// oneLine - text with CR and LF replaced, so it cannot end an envelope line.
std::string oneLine(std::string_view text) {
    std::string line(text);
    for (char& c : line) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return line;
}

// isSpoolName - the names create makes: prefix, six characters, suffix.
bool isSpoolName(const std::string& name) {
    std::string_view prefix = spoolPrefix, suffix = spoolSuffix;
    return name.size() == prefix.size() + 6 + suffix.size() && name.rfind(prefix, 0) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

FolderState ensureFolder(const std::string& folder, mode_t mode, uid_t owner, gid_t group,
                         std::string& error) {
    for (std::size_t slash = folder.find('/', 1); slash != std::string::npos;
         slash = folder.find('/', slash + 1)) {
        std::string parent = folder.substr(0, slash);
        if (::mkdir(parent.c_str(), parentFolderMode) != 0 && errno != EEXIST) {
            error = "cannot create " + parent + ": " + std::strerror(errno);
            return FolderState::Failed;
        }
    }
    if (::mkdir(folder.c_str(), mode) != 0) {
        if (errno == EEXIST)
            return FolderState::Existed;
        error = "cannot create " + folder + ": " + std::strerror(errno);
        return FolderState::Failed;
    }
    // mkdir's mode passed through the umask; the folder gets exactly mode.
    if (::chmod(folder.c_str(), mode) != 0 ||
        (owner != static_cast<uid_t>(-1) && ::chown(folder.c_str(), owner, group) != 0)) {
        error = "cannot set up " + folder + ": " + std::strerror(errno);
        return FolderState::Failed;
    }
    return FolderState::Created;
}

bool prepareSpoolFolder(const std::string& folder, uid_t owner, gid_t group, std::string& error) {
    FolderState state = ensureFolder(folder, spoolFolderMode, owner, group, error);
    if (state != FolderState::Existed)
        return state == FolderState::Created;
    // The checks every scan folder gets; a link is not followed.
    const FolderTrust trust = checkFolderTrust(
        folder, owner != static_cast<uid_t>(-1) ? static_cast<std::int64_t>(owner) : -1);
    if (trust.isLink) {
        error = "the spool folder " + folder + " is a symbolic link";
        return false;
    }
    if (!trust.exists || !trust.isDirectory) {
        error = "the spool folder " + folder + " is not a folder";
        return false;
    }
    if (trust.othersMayWrite) {
        error = "the spool folder " + folder + " is writable by others than its owner";
        return false;
    }
    if (!trust.ownedByExpected) {
        error = "the spool folder " + folder + " belongs to another user";
        return false;
    }
    return true;
}

int removeLeftovers(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return 0;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        if (isSpoolName(entry->d_name))
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    int removed = 0;
    for (const std::string& name : names) {
        if (::unlink((folder + "/" + name).c_str()) == 0)
            ++removed;
    }
    return removed;
}

std::string envelopeBlock(std::string_view sender, const std::vector<std::string>& recipients) {
    std::string from = oneLine(bareAddress(sender));
    if (from.empty())
        from = "MAILER-DAEMON";
    else if (!isAsciiLetter(from.front()))
        from = "sender:" + from;
    std::string block = "F " + from + "\n";
    for (const std::string& recipient : recipients)
        block += "R " + oneLine(bareAddress(recipient)) + "\n";
    return block + "\n";
}

std::string headerLine(std::string_view name, std::string_view value) {
    std::string line(name);
    line += ": ";
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n')
            continue;
        line += value[i];
    }
    return line + "\n";
}

std::unique_ptr<SpoolFile> SpoolFile::create(const std::string& folder, std::string& error) {
    std::string pattern = folder + "/" + spoolPrefix + "XXXXXX" + spoolSuffix;
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // Close-on-exec: a filter started meanwhile must not keep the disk space
    // of a deleted spool file.
    int fd = ::mkostemps(name.data(), static_cast<int>(std::strlen(spoolSuffix)), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot create a spool file in " + folder + ": " + std::strerror(errno);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        error = std::string("cannot open the spool file: ") + std::strerror(errno);
        ::close(fd);
        ::unlink(name.data());
        return nullptr;
    }
    return std::unique_ptr<SpoolFile>(new SpoolFile(name.data(), file));
}

SpoolFile::~SpoolFile() {
    if (file_ != nullptr)
        std::fclose(file_);
    ::unlink(path_.c_str());
}

bool SpoolFile::write(std::string_view bytes) {
    if (file_ == nullptr || failed_)
        return false;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        failed_ = true;
        failureErrno_ = errno;
    }
    return !failed_;
}

bool SpoolFile::writeBody(std::string_view bytes) {
    std::string converted;
    converted.reserve(bytes.size() + 1);
    for (char c : bytes) {
        if (heldCarriageReturn_ && c != '\n')
            converted += '\r';
        heldCarriageReturn_ = c == '\r';
        if (!heldCarriageReturn_)
            converted += c;
    }
    return write(converted);
}

bool SpoolFile::finish() {
    if (heldCarriageReturn_) {
        heldCarriageReturn_ = false;
        write("\r");
    }
    if (file_ == nullptr)
        return false;
    bool closed = std::fclose(file_) == 0;
    if (!closed && !failed_)
        failureErrno_ = errno;
    file_ = nullptr;
    return closed && !failed_;
}

std::string SpoolFile::failureText() const {
    return failureErrno_ != 0 ? std::strerror(failureErrno_) : "";
}

}  // namespace tarnwick::milter
