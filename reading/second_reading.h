// second_reading.h - the way into the second, tolerant reading of a message.
//
// The first reading (mime/) reads a message one literal way. Mail clients
// read it more leniently, and a message built to exploit the difference gets
// an attachment past the anti-virus without ever being shown to it decoded.
// readSecondTime walks the same stored message as mainstream clients and the
// MIME RFCs do, tolerant of malformed structure, and writes every attachment
// whose decoded bytes are not already among the files written for the
// message as "FOLDER/msg-N-extra-K.scanme" (N printed like the first
// reading's part files, K from 0).
//
// The reader keeps no process-wide state: any number of calls may run at
// once on different messages, without a lock. It never prints; what it saw
// travels back in the outcome.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick::reading {

// SecondReadingOutcome - what one call wrote and noticed.
struct SecondReadingOutcome {
    // Every extra file this call created, in K order, written completely or
    // not (the caller verifies and removes them like part files).
    std::vector<std::string> extraFiles;
    // True when an extra file could not be created or written completely.
    bool writeFailed = false;
    // Short names of the signs of evasion met ("duplicate field",
    // "ambiguous boundary", "output limit", ...), each once, in the order
    // first met.
    std::vector<std::string> signs;
};

// readSecondTime - reads the stored message file at messagePath (from its
// first byte: envelope block, mbox separator line and line ends are the
// reader's business) and writes the extra files into folder (no trailing
// slash). alreadyWritten lists the files the first reading wrote for this
// message; a leaf whose decoded bytes equal one of them is not written
// again. When the message file cannot be opened, nothing is written.
SecondReadingOutcome readSecondTime(const std::string& messagePath, const std::string& folder,
                                    int messageNumber,
                                    const std::vector<std::string>& alreadyWritten);

}  // namespace tarnwick::reading
