// SPDX-License-Identifier: Apache-2.0
// structure_walker.h - the message structure as tolerant clients see it.
//
// StructureWalker reads a stored message without recursion: one pass over
// the bytes (walk_pass.h) keeps an explicit stack of open parts and a table
// of every active boundary, so a delimiter of an enclosing multipart ends
// the inner parts at once and time stays linear in the input. A delimiter is a whole
// line ("--", the boundary, optionally "--", optionally blanks).
// Multiparts, message/rfc822 (and message/global, message/news,
// message/external-body, digest entries) are followed to kMaxNestingDepth
// levels; deeper containers are drained and reported. Leaves are decoded as
// they stream by into the attachment writer and the scanner of embedded
// blocks.
//
// Mail clients read some bytes differently (client_rules.h). A pass reads
// under one rule set; where it meets a point that another rule set decides
// differently, that rule set reads again, only what the point can change:
// the job's whole range for a lone CR, the part alone for a header line
// without a colon or a NUL in a field value. This forks at the points met
// rather than reading every message once per rule set: ordinary mail meets
// none and costs one pass, as before; a message that meets one costs one
// more pass over what that point can change, per rule set that differs.
// The fork cannot happen inside the pass itself, because a different line
// end moves every enclosing part's end, so it is a job like the others.
// Attachments that several readings yield alike are written once (the
// content hash of extra_files.h); readings under another rule set are
// bounded by kMaxClientReadings and the work allowance.
//
// Work that a single pass cannot do becomes a job on a byte range, done
// after the pass: another rule set's reading, another reading of an ambiguous part (each distinct
// reading of the same bytes once, and only while the work allowance
// lasts), a container with a transfer encoding (decoded into a spill file,
// then read), message/partial fragments (gathered in a spill file, joined in
// number order once the message is read, then read as a message), a
// multipart whose boundary never occurs (read as a leaf with its own
// transfer encoding), and a text part that proves binary only after its
// held beginning (read again to be written whole).
//
// A part's header block may open with an mbox separator line ("From "), as
// a message does; a first line that continues nothing or has an empty field
// name is ignored, and the header block goes on. Another line that is no
// field before the first field is a header line without a colon
// (client_rules.h): skipped, or where the body begins.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "client_reading/agreement.h"
#include "client_reading/client_rules.h"
#include "client_reading/embedded_blocks.h"
#include "client_reading/extra_files.h"
#include "client_reading/line_input.h"
#include "client_reading/part_readings.h"
#include "mailfile/written_parts.h"

namespace tarnwick::client_reading {

// kMaxNestingDepth - containers nested deeper than this are drained: their
// bytes are read but not parsed, and "nesting limit" is reported.
inline constexpr int kMaxNestingDepth = 1000;
// kMaxPendingJobs - jobs waiting at once; more are dropped with "reading
// limit".
inline constexpr std::size_t kMaxPendingJobs = 10000;
// kMaxPendingJobBytes - memory the waiting jobs may hold (paths and preset
// readings); beyond it further jobs are dropped with "reading limit".
inline constexpr std::size_t kMaxPendingJobBytes = 2 * 1024 * 1024;
// kMaxRememberedReadings - readings of byte ranges remembered as done; once
// that many are known, no further readings are started ("reading limit").
inline constexpr std::size_t kMaxRememberedReadings = 65536;
// kMaxPartialFragments - message/partial fragments kept per reading.
inline constexpr std::size_t kMaxPartialFragments = 4096;

// Signs - the short names of the signs of evasion met, each once, in order,
// and the reading limits that left something unread.
class Signs {
  public:
    void note(const char* name);
    // limit - a reading limit stopped the reading with something left unread:
    // notes sign and names the limit (each once).
    void limit(const char* sign, const char* which);
    const std::vector<std::string>& names() const { return names_; }
    const std::vector<std::string>& limits() const { return limits_; }

  private:
    std::vector<std::string> names_;
    std::vector<std::string> limits_;
};

// WalkJob - one byte range of a file to read as a part.
struct WalkJob {
    std::string path;
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    int depth = 0;
    std::string defaultType = "text/plain";
    // The part's header is read from the range, and reading number
    // forcedReading of its readings applies ...
    std::size_t forcedReading = 0;
    // ... unless preset readings are given: then the range is the body
    // alone, read as preset[forcedReading] (a decoded container, or a
    // multipart with nothing to split read as a leaf).
    std::vector<PartReading> preset;
    // The part proved binary though it calls itself text: written whole.
    bool writeText = false;
    // The range is a whole message file: what stands before the message
    // proper is stepped over first.
    bool messageFile = false;
    // The rules it is read under; nullptr: the first rule set.
    const ClientRules* rules = nullptr;
};

// skipToMessage - steps input, at the start of a stored message file, over
// an envelope block (the rule of mailfile/envelope.h, through its first
// empty line) or a single mbox separator line ("From " and a sender), and
// returns the offset where the message proper begins.
std::uint64_t skipToMessage(LineInput& input);

// StructureWalker - one reading of one message. Not copyable.
class StructureWalker {
  public:
    // workAllowance bounds the bytes read by jobs after the first one.
    // firstReading, when given (it must outlive the walker), lists the part
    // files of the first reading: a leaf that agrees with one of them is
    // confirmed without being decoded.
    StructureWalker(ExtraFileSet& files, Signs& signs, std::uint64_t workAllowance,
                    const FirstReadingMap* firstReading = nullptr);
    ~StructureWalker();
    StructureWalker(const StructureWalker&) = delete;
    StructureWalker& operator=(const StructureWalker&) = delete;

    // readMessage - reads the size bytes of the message file path from
    // where the message proper begins (see skipToMessage), then every job
    // it leads to, then joins the multi-part yEnc files.
    void readMessage(const std::string& path, std::uint64_t size);
    // agreedLeaves - leaves confirmed against the first reading's files.
    std::size_t agreedLeaves() const { return agreedLeaves_; }

  private:
    friend class WalkPass;

    void runJob(WalkJob& job);
    bool enqueue(WalkJob job);
    // fork - enqueues job, a reading under another rule set, unless the same
    // range was read under it already; beyond kMaxClientReadings gives
    // "reading limit".
    void fork(WalkJob job);
    static std::size_t memoryOf(const WalkJob& job);
    void assemblePartials();

    ExtraFileSet& files_;
    Signs& signs_;
    const FirstReadingMap* firstReading_;
    std::size_t agreedLeaves_ = 0;
    YencParts yencParts_;
    std::uint64_t workLeft_;
    std::deque<WalkJob> jobs_;
    std::size_t pendingJobBytes_ = 0;
    std::unordered_set<std::uint64_t> visited_;
    std::unordered_set<std::uint64_t> forked_;  // ranges read under each rule set
    struct Fragment {
        std::string id;
        long number = 0;
        int depth = 0;
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
    };
    std::unique_ptr<SpillFile> fragmentSpill_;
    std::vector<Fragment> fragments_;
};

}  // namespace tarnwick::client_reading
