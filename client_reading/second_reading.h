// SPDX-License-Identifier: Apache-2.0
// second_reading.h - the way into the second, tolerant reading of a message.
//
// The first reading (unpacker/) reads a message one literal way. Mail clients
// read it more leniently, and a message built to exploit the difference gets
// an attachment past the anti-virus without ever being shown to it decoded.
// readSecondTime walks the same stored message as mainstream clients and the
// MIME RFCs do, tolerant of malformed structure, and writes every attachment
// whose decoded bytes are not already among the files written for the
// message as "FOLDER/msg-N-extra-K.scanme" (N printed like the first
// reading's part files, K from 0). Told where the first reading found the
// bodies of its files (readSecondTimeAfterFirst), it confirms an attachment
// both readings read alike in one pass over its encoded bytes instead of
// decoding and comparing it.
//
// The reader keeps no process-wide state: any number of calls may run at
// once on different messages, without a lock. Every file it creates (extra
// files and its temporary spill files) is recorded in the request's ledger
// the moment it is created. It never prints; what it saw travels back in the
// outcome and the ledger.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mailfile/written_parts.h"
#include "scanfiles/scan_ledger.h"

namespace tarnwick::client_reading {

// SecondReadingOutcome - what one call wrote and noticed.
struct SecondReadingOutcome {
    // Every extra file this call kept, written completely or not (they are
    // recorded in the ledger; the caller verifies and removes them like part
    // files).
    std::vector<std::string> extraFiles;
    // True when an extra file or a spill file could not be created or
    // written completely (noted in the ledger too).
    bool writeFailed = false;
    // True when such a write failed because the disk was full.
    bool noSpaceLeft = false;
    // Short names of the signs of evasion met ("duplicate field",
    // "ambiguous boundary", "output limit", ...), each once, in the order
    // first met.
    std::vector<std::string> signs;
    // The reading limits that stopped the reading while parts were left
    // unread ("extra files", "output bytes", "spill allowance", "nesting
    // depth", "fragments", ...), each once: the message may hide more than
    // was written.
    std::vector<std::string> limits;
    // True when a spill file had disappeared, changed or could not be
    // reopened when it was read back (the anti-virus acted on it).
    bool spillTouched = false;
    // The most spill files that existed at once.
    std::size_t spillsAlivePeak = 0;
    // Leaves confirmed against the first reading's files without decoding.
    std::size_t agreedLeaves = 0;
};

// readSecondTime - reads the stored message file at messagePath (from its
// first byte: envelope block, mbox separator line and line ends are the
// reader's business) and writes the extra files through ledger.
// alreadyWritten lists the files the first reading wrote for this message;
// a leaf whose decoded bytes equal one of them is not written again. When
// the message file cannot be opened, nothing is written. Spill files held
// open at the end go to the ledger's deferred list.
SecondReadingOutcome readSecondTime(const std::string& messagePath, ScanLedger& ledger,
                                    const std::vector<std::string>& alreadyWritten);

// readSecondTime - the same for a caller without a ledger: the extra files
// go into folder (no trailing slash) under messageNumber.
SecondReadingOutcome readSecondTime(const std::string& messagePath, const std::string& folder,
                                    int messageNumber,
                                    const std::vector<std::string>& alreadyWritten);

// ReadingBounds - what one reading may spend. readSecondTime derives them
// from the message size with boundsForMessage.
struct ReadingBounds {
    // Total bytes of the extra files; beyond it nothing more is written and
    // the sign "output limit" is given.
    std::uint64_t outputBytes = 0;
    // Total bytes of the temporary spill files (decoded containers, gathered
    // fragments); beyond it they are cut short and "reading limit" is given.
    std::uint64_t spillBytes = 0;
    // Bytes read again after the first pass (other readings of ambiguous
    // parts, decoded containers, joined fragments); beyond it no further
    // pass starts and "reading limit" is given.
    std::uint64_t rereadBytes = 0;
};

// boundsForMessage - twice the message size plus 1 MiB of output; four
// times plus 1 MiB of spill; eight times plus 1 MiB of reading again.
ReadingBounds boundsForMessage(std::uint64_t messageSize);

// readSecondTime - as above, within explicit bounds (tests use small ones).
SecondReadingOutcome readSecondTime(const std::string& messagePath, ScanLedger& ledger,
                                    const std::vector<std::string>& alreadyWritten,
                                    const ReadingBounds& bounds);
SecondReadingOutcome readSecondTime(const std::string& messagePath, const std::string& folder,
                                    int messageNumber,
                                    const std::vector<std::string>& alreadyWritten,
                                    const ReadingBounds& bounds);

// readSecondTimeAfterFirst - as readSecondTime, told what the first reading wrote:
// a leaf read from the same bytes of the message file with the same
// transfer encoding as one of those part files, and well-formed for it, is
// confirmed without being decoded, hashed or written (see agreement.h);
// every other leaf is read as without the account.
SecondReadingOutcome readSecondTimeAfterFirst(const std::string& messagePath, ScanLedger& ledger,
                                              const WrittenParts& firstReading);
// readSecondTimeAfterFirst - the same for a caller without a ledger (see
// above).
SecondReadingOutcome readSecondTimeAfterFirst(const std::string& messagePath,
                                              const std::string& folder, int messageNumber,
                                              const WrittenParts& firstReading);

}  // namespace tarnwick::client_reading
