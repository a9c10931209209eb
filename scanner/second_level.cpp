// second_level.cpp - the second level of the scan job: the attachments of a
// message that passed the first level are unpacked, decoded, into ScanMe,
// the message is read a second time the tolerant way mail clients read it
// and what only that reading finds is written as extra files beside them,
// the anti-virus gets a second wait, and all of those files are removed
// again. Extra files are registered with the part files of the request, so
// from then on they are verified, waited for and cleaned up exactly alike.
//
// The unpacker keeps process-wide state and has no lock of its own, so every
// call into it (unpacking, registration and removal) runs under the filter's
// lock. The second reading keeps no shared state and runs without the lock,
// so its time delays no other message. The lock is never held while
// sleeping; lines written while it is held take the console lock inside it,
// never the other way round.
#include <string>
#include <vector>

#include "mime/message_input.h"
#include "mime/part_files.h"
#include "mime/unpacker.h"
#include "reading/second_reading.h"
#include "runtime/console_log.h"
#include "scanner/av_filter.h"

namespace tarnwick {

namespace {

// commaSeparated - the names joined by ", ".
std::string commaSeparated(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace

// runSecondLevel - unpack, wait, verify, and wait for locked part files.
void AvFilter::runSecondLevel(std::uint32_t requestId, const std::string& path,
                              std::int64_t waitTime, bool& virusFound) {
    const int messageNumber = messageNumberOf(requestId);

    // The message is opened again for the unpacker, positioned at its own
    // header block (after an envelope block, if any).
    std::unique_ptr<mime::ByteSource> input = mime::openMessageForUnpacking(path);
    if (!input) {
        logForRequest(requestId,
                      "Unable to reopen the message, skipping second-level verification");
        return;
    }
    logForRequest(requestId, "Unpacking attachments, if any");
    int unpacked = 0;
    std::vector<std::string> partFiles;
    {
        MutexLock held(lock);
        unpacked = mime::unpackMessage(std::move(input), messageNumber, kPartFolder);
        if (secondReading && unpacked >= 0)
            partFiles = mime::registeredPartFiles(messageNumber);
    }

    // The second reading, when the first wrote everything it meant to (after
    // a failed write the verdict is a virus already). Its extra files join
    // the request's part files, so removePartFiles verifies them too.
    reading::SecondReadingOutcome second;
    if (secondReading && unpacked >= 0) {
        second = reading::readSecondTime(path, kPartFolder, messageNumber, partFiles);
        if (!second.extraFiles.empty() || !second.leftoverFiles.empty()) {
            MutexLock held(lock);
            for (const std::string& extraFile : second.extraFiles)
                mime::partFileRegistry.add(messageNumber, extraFile);
            // Temporary files of the reading that the anti-virus still
            // holds: every later removal of part files tries them again.
            for (const std::string& leftover : second.leftoverFiles)
                mime::leftoverFiles.push_back(leftover);
        }
    }
    if (!second.signs.empty())
        logForRequest(requestId, "Unusual MIME structure: " + commaSeparated(second.signs));

    if (unpacked < 0 || second.writeFailed) {
        logForRequest(requestId,
                      "Error while unpacking attachments, the AV probably prevented disk write "
                      "because of virus in data.");
        logForRequest(requestId,
                      "Virus found, skipping second-level verification but waiting a few seconds "
                      "for the files to be unlocked.");
        pause(requestId, ScanPause::FailurePause, timing_.failurePauseSeconds);
        logForRequest(requestId, "Trying to clean");
        {
            MutexLock held(lock);
            if (mime::removePartFiles(messageNumber) == -1) {
                logForRequest(requestId,
                              "Unable to clean temp files, files may remain in ScanMe folder. "
                              "Will try to clean them later.");
                leftoverIds.insert(messageNumber);
            }
        }
        virusFound = true;
        return;
    }
    const std::size_t extra = second.extraFiles.size();
    if (unpacked == 0 && extra == 0) {
        logForRequest(requestId, "Nothing unpacked, skipping second-level verification");
        return;
    }

    logForRequest(requestId, "Unpacked " + std::to_string(unpacked) + " attachments");
    if (extra > 0)
        logForRequest(requestId,
                      "Second reading found " + std::to_string(extra) + " more attachments");
    logForRequest(requestId, "Waiting " + std::to_string(waitTime) + " seconds again");
    pause(requestId, ScanPause::SecondWait, waitTime);
    logForRequest(requestId, "Second-Level verification");
    int removal = 0;
    {
        MutexLock held(lock);
        removal = mime::removePartFiles(messageNumber);
    }
    if (removal == 1)
        virusFound = true;

    // Part files the anti-virus still holds: wait for them, a bounded number
    // of rounds, then leave them to the deferred clean-up.
    for (int round = 0; removal == -1 && round < timing_.maxLockedRounds; ++round) {
        logForRequest(requestId, "Temp files are locked by the AV, waiting 1 sec");
        pause(requestId, ScanPause::LockedRound, timing_.lockedRoundSeconds);
        MutexLock held(lock);
        removal = mime::removePartFiles(messageNumber);
        if (removal == 1)
            virusFound = true;
    }
    if (removal == -1) {
        MutexLock held(lock);
        logForRequest(requestId,
                      "The AV kept the temp files locked, giving up waiting; files may remain in "
                      "ScanMe folder. Will try to clean them later.");
        leftoverIds.insert(messageNumber);
        virusFound = true;
    }
}

}  // namespace tarnwick
