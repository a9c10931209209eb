// SPDX-License-Identifier: Apache-2.0
// second_reading.cpp - the entry point: where the message starts, the
// bounds, the walk, and the outcome.
#include "client_reading/second_reading.h"

#include "client_reading/extra_files.h"
#include "client_reading/structure_walker.h"
#include "runtime/platform.h"

namespace tarnwick::client_reading {

namespace {

// kBoundsAllowance - the fixed part of every bound, so small messages get
// room too.
constexpr std::uint64_t kBoundsAllowance = 1024 * 1024;

SecondReadingOutcome readWithin(const std::string& messagePath, std::uint64_t size,
                                ScanLedger& ledger, const std::vector<std::string>& alreadyWritten,
                                const ReadingBounds& bounds, const FirstReadingMap* firstReading);

}  // namespace

ReadingBounds boundsForMessage(std::uint64_t messageSize) {
    ReadingBounds bounds;
    bounds.outputBytes = 2 * messageSize + kBoundsAllowance;
    bounds.spillBytes = 4 * messageSize + kBoundsAllowance;
    bounds.rereadBytes = 8 * messageSize + kBoundsAllowance;
    return bounds;
}

// readSecondTime - bounds from the message size.
SecondReadingOutcome readSecondTime(const std::string& messagePath, ScanLedger& ledger,
                                    const std::vector<std::string>& alreadyWritten) {
    platform::PathStatus status;
    if (!platform::statPath(messagePath, status) || status.isDirectory || status.size < 0)
        return {};
    return readSecondTime(messagePath, ledger, alreadyWritten,
                          boundsForMessage(static_cast<std::uint64_t>(status.size)));
}

// readSecondTime - through a ledger of the call's own, whose files stay.
SecondReadingOutcome readSecondTime(const std::string& messagePath, const std::string& folder,
                                    int messageNumber,
                                    const std::vector<std::string>& alreadyWritten) {
    ScanFileOwners owners;
    ScanLedger ledger(owners, folder, std::string(), static_cast<std::uint32_t>(messageNumber));
    return readSecondTime(messagePath, ledger, alreadyWritten);
}

// readSecondTime - within bounds, through a ledger of the call's own.
SecondReadingOutcome readSecondTime(const std::string& messagePath, const std::string& folder,
                                    int messageNumber,
                                    const std::vector<std::string>& alreadyWritten,
                                    const ReadingBounds& bounds) {
    ScanFileOwners owners;
    ScanLedger ledger(owners, folder, std::string(), static_cast<std::uint32_t>(messageNumber));
    return readSecondTime(messagePath, ledger, alreadyWritten, bounds);
}

// readSecondTimeAfterFirst - with the first reading's account.
SecondReadingOutcome readSecondTimeAfterFirst(const std::string& messagePath, ScanLedger& ledger,
                                              const WrittenParts& firstReading) {
    platform::PathStatus status;
    if (!platform::statPath(messagePath, status) || status.isDirectory || status.size < 0)
        return {};
    const FirstReadingMap map(messagePath, firstReading);
    const std::uint64_t size = static_cast<std::uint64_t>(status.size);
    return readWithin(messagePath, size, ledger, {}, boundsForMessage(size), &map);
}

// readSecondTimeAfterFirst - through a ledger of the call's own.
SecondReadingOutcome readSecondTimeAfterFirst(const std::string& messagePath,
                                              const std::string& folder, int messageNumber,
                                              const WrittenParts& firstReading) {
    ScanFileOwners owners;
    ScanLedger ledger(owners, folder, std::string(), static_cast<std::uint32_t>(messageNumber));
    return readSecondTimeAfterFirst(messagePath, ledger, firstReading);
}

// readSecondTime - within bounds, without an account.
SecondReadingOutcome readSecondTime(const std::string& messagePath, ScanLedger& ledger,
                                    const std::vector<std::string>& alreadyWritten,
                                    const ReadingBounds& bounds) {
    platform::PathStatus status;
    if (!platform::statPath(messagePath, status) || status.isDirectory || status.size < 0)
        return {};
    return readWithin(messagePath, static_cast<std::uint64_t>(status.size), ledger, alreadyWritten,
                      bounds, nullptr);
}

namespace {

// readWithin - the walk itself over the size bytes the caller found.
SecondReadingOutcome readWithin(const std::string& messagePath, std::uint64_t size,
                                ScanLedger& ledger, const std::vector<std::string>& alreadyWritten,
                                const ReadingBounds& bounds, const FirstReadingMap* firstReading) {
    SecondReadingOutcome outcome;
    Signs signs;
    {
        ExtraFileSet files(ledger, bounds.outputBytes, bounds.spillBytes);
        for (const std::string& path : alreadyWritten)
            files.learnExisting(path);
        if (firstReading != nullptr)
            files.expectKnown(firstReading->parts().size());
        if (firstReading != nullptr)
            for (std::size_t i = 0; i < firstReading->parts().size(); ++i)
                if (std::uint64_t partSize = 0; firstReading->existingSize(i, partSize))
                    files.learnPart(firstReading->parts(), i, partSize);
        {
            StructureWalker walker(files, signs, bounds.rereadBytes, firstReading);
            walker.readMessage(messagePath, size);
            outcome.agreedLeaves = walker.agreedLeaves();
        }  // every spill file is closed now
        if (files.outputLimitReached())
            signs.limit("output limit",
                        files.extraFileLimitReached() ? "extra files" : "output bytes");
        if (files.spillLimitReached())
            signs.limit("reading limit", "spill allowance");
        for (const std::string& which : files.limits())
            signs.limit("reading limit", which.c_str());
        files.removeSpills();
        outcome.extraFiles = files.files();
        outcome.writeFailed = files.writeFailed();
        outcome.noSpaceLeft = files.noSpaceLeft();
        outcome.spillTouched = files.spillTouched();
        outcome.spillsAlivePeak = files.spillsAlivePeak();
    }
    outcome.signs = signs.names();
    outcome.limits = signs.limits();
    return outcome;
}

}  // namespace

}  // namespace tarnwick::client_reading
