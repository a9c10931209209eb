// SPDX-License-Identifier: Apache-2.0
// spool_file.h - the message files the bridge hands to the filter.
//
// Each message is written to a file of its own in the spool folder, in the
// form the filter reads: an envelope block ("F sender", one "R recipient" line
// each, an empty line), then the header fields and the body as received, with
// LF line ends. The SpoolFile object owns its file and removes it when it goes
// away, so a message's file is gone once its answer is in, whatever it was.
// The folder holds nothing else of ours; removeLeftovers clears what a killed
// run left behind. Files are named "msg-XXXXXX.eml" (mkstemps), so no counter
// is shared between connections.
#pragma once

#include <sys/types.h>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::milter {

// FolderState - what ensureFolder found or did.
enum class FolderState { Created, Existed, Failed };

// ensureFolder - creates folder with mode (missing parents with 0755) and,
// when owner is not -1, hands what it created to owner and group. A folder
// that already exists is left as it is: the bridge never changes the mode or
// owner of a folder it did not make. Failed sets error.
FolderState ensureFolder(const std::string& folder, mode_t mode, uid_t owner, gid_t group,
                         std::string& error);

// prepareSpoolFolder - the spool folder, created with mode 0700 for owner
// (-1: the current user) when missing. An existing one must pass the scan
// folder's own check (checkFolderTrust): a folder, not a link to one, that
// only its owner can write to and that belongs to owner (or the current user).
// Returns false with error set otherwise.
bool prepareSpoolFolder(const std::string& folder, uid_t owner, gid_t group, std::string& error);

// removeLeftovers - removes the spool files in folder; returns how many.
int removeLeftovers(const std::string& folder);

// envelopeBlock - the envelope lines and the empty line that ends them. The
// addresses lose their angle brackets. The filter recognises the block by its
// first line (a letter, a blank, a letter), so a sender that is empty (a
// bounce) is written as MAILER-DAEMON and one that does not start with a
// letter is written behind "sender:".
std::string envelopeBlock(std::string_view sender, const std::vector<std::string>& recipients);

// headerLine - one field as "Name: value" and LF; CR LF inside a folded value
// becomes LF.
std::string headerLine(std::string_view name, std::string_view value);

class SpoolFile {
  public:
    // create - a new empty file in folder, or nullptr with error set.
    static std::unique_ptr<SpoolFile> create(const std::string& folder, std::string& error);
    // ~SpoolFile - closes and removes the file.
    ~SpoolFile();
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    const std::string& path() const { return path_; }
    // write - appends bytes as they are.
    bool write(std::string_view bytes);
    // writeBody - appends body bytes with CR LF turned into LF, also when a
    // pair is split between two calls.
    bool writeBody(std::string_view bytes);
    // finish - writes a CR held back by writeBody, flushes and closes; the
    // file stays until the object goes away.
    bool finish();
    // failureText - the system's error text for the first write or close
    // that failed; empty when none did.
    std::string failureText() const;

  private:
    SpoolFile(std::string path, std::FILE* file) : path_(std::move(path)), file_(file) {}

    std::string path_;
    std::FILE* file_;
    bool heldCarriageReturn_ = false;
    bool failed_ = false;
    int failureErrno_ = 0;
};

}  // namespace tarnwick::milter
