// SPDX-License-Identifier: Apache-2.0
// unpack_tool.h - what `tarnwick-unpack [--no-second-reading] MESSAGE DIR`
// does, callable in-process.
//
// The tool shows an administrator what the resident anti-virus is shown for
// one message: it opens and positions MESSAGE exactly as the scan job's
// second level does, unpacks it under message number 0 into DIR, then reads
// it a second time, the tolerant way mail clients read it, as the scan job
// does (unless told not to), leaves every file there and lists them with the
// reading that found each, and the signs of evasion the second reading met.
// It deliberately does not remove the files, wait for an anti-virus or look
// at what became of them.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tarnwick {

// Exit statuses of the tool.
enum UnpackToolStatus : int {
    kUnpackToolOk = 0,           // unpacked (possibly nothing)
    kUnpackToolBadMessage = 1,   // MESSAGE missing, a folder, or not readable
    kUnpackToolBadUsage = 2,     // wrong number of arguments, or an unknown option
    kUnpackToolBadFolder = 3,    // DIR is not a folder and cannot be made
    kUnpackToolWriteFailed = 4,  // a part file or extra file could not be created or written
};

// runUnpackTool - arguments are MESSAGE and DIR (without the program name),
// with "--no-second-reading" anywhere among them. DIR is made (one level)
// when missing. Writes to out:
//   - one line per file of the first reading, "PATH SIZE (first reading)"
//     (SIZE in bytes, or "missing" when the file is already gone);
//   - one line per extra file of the second reading, "PATH SIZE (second
//     reading)";
//   - "unpackMessage: N" with the first reading's result;
//   - "second reading: M more attachments";
//   - when the second reading met signs of evasion, "unusual MIME
//     structure: " and their names, comma-separated.
// With "--no-second-reading" only the first reading runs and the output is
// the file lines without the reading ("PATH SIZE") and the unpackMessage
// line. Usage and error messages go to err; an unknown option is refused
// with one line "* Error: ..." on out and the same on err, and the status
// kUnpackToolBadUsage, before anything is read or made ("--" ends the
// options). Returns a UnpackToolStatus.
// REQUIRES: no part files registered under message number 0 in this process
// (the unpacker's registry is process-wide; the tool runs once per process).
int runUnpackTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace tarnwick
