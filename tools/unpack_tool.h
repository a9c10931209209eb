// unpack_tool.h - what `tarnwick-unpack MESSAGE DIR` does, callable in-process.
//
// The tool shows an administrator what the resident anti-virus is shown for
// one message: it opens and positions MESSAGE exactly as the scan job's
// second level does, unpacks it under message number 0 into DIR, leaves the
// part files there and lists them. It deliberately does not remove them,
// wait for an anti-virus or look at what became of the files.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tarnwick {

// Exit statuses of the tool.
enum UnpackToolStatus : int {
    kUnpackToolOk = 0,           // unpacked (possibly nothing)
    kUnpackToolBadMessage = 1,   // MESSAGE missing, a folder, or not readable
    kUnpackToolBadUsage = 2,     // wrong number of arguments
    kUnpackToolBadFolder = 3,    // DIR is not a folder and cannot be made
    kUnpackToolWriteFailed = 4,  // a part file could not be created or written
};

// runUnpackTool - arguments are MESSAGE and DIR (without the program name).
// DIR is made (one level) when missing. Writes to out one line per part file
// ("PATH SIZE", SIZE in bytes, or "PATH missing" when the file is already
// gone), then the line "unpackMessage: N" with the unpacker's result; usage
// and error messages go to err. Returns a UnpackToolStatus.
// REQUIRES: no part files registered under message number 0 in this process
// (the unpacker's registry is process-wide; the tool runs once per process).
int runUnpackTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace tarnwick
