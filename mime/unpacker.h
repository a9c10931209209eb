// SPDX-License-Identifier: Apache-2.0
// unpacker.h - the way into the MIME unpacker.
//
// unpackMessage walks one stored message (multiparts at any depth up to
// kMaxNestingDepth, encapsulated messages, digests) and writes every
// attachment, decoded, as a part file "FOLDER/msg-N-part-K.scanme" of its
// own, plus the first uuencoded block of a top-level text body. The resident
// anti-virus examines those files; removePartFiles later removes them and
// tells whether one had disappeared.
//
// Message numbers: the scan job's request numbers are unsigned 32-bit
// values; they are converted to int (numbers from 2^31 on wrap to negative
// values, which C++ defines) and printed signed in the file names, so
// request 4294967295 writes "msg--1-part-0.scanme". The conversion is one to
// one, so names and registry entries of different requests never collide.
//
// REQUIRES of every caller: no two calls of the functions below run at the
// same time anywhere in the process (the state is process-wide and
// unlocked; the scan job holds the filter's lock).
//
// Deliberately not done: character sets, file names taken from the message,
// reassembly of split messages. Nothing is printed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mime/byte_source.h"

namespace tarnwick::mime {

// Ownership: the files registered under a message number are those of the
// one request in progress under that number, and only them. A request's
// record ends when removePartFiles has removed them all (or found one
// missing) or when deferPartFiles hands the rest to the deferred clean-up;
// a later request that reuses the number starts with none. The clean-up of
// earlier requests (leftovers and deferred files) never removes a path that
// a request in progress has written again under the same name: it keeps it
// for a later try instead.

// unpackMessage - reads the message from input (positioned at the message's
// own header block), writes its part files into folder (no trailing slash)
// and closes input in every case. Returns -1 when a part file could not be
// created or written during this call, else the number of files registered
// under messageNumber afterwards (0 when nothing was unpacked). A prefix is
// put before "msg-" in the file names ("scan-42-msg-N-part-K.scanme").
int unpackMessage(std::unique_ptr<ByteSource> input, int messageNumber, const std::string& folder,
                  const std::string& prefix = {});

// takeNoSpaceLeft - true when a part file could not be created or written
// because the disk was full since the last call; clears that mark. Call it
// right after unpackMessage, in the same turn under the callers' lock.
bool takeNoSpaceLeft();

// addPartFiles - makes paths (files already written and closed, named by
// the caller) files of the request in progress under messageNumber, after
// those already registered; a path already registered is not added again.
// From then on they are treated exactly as the part files unpackMessage
// wrote: counted by registeredPartFiles, removed and checked by
// removePartFiles (one missing gives 1, one held open gives -1 and stays
// registered), handed to the deferred clean-up by deferPartFiles, and left
// alone by the clean-up of earlier requests.
void addPartFiles(int messageNumber, const std::vector<std::string>& paths);

// removePartFiles - removes the files registered under messageNumber and
// retries earlier leftovers. Returns 1 when one of the message's files had
// disappeared (the anti-virus removed it), -1 when some are still held open
// (they stay registered; call again later), else 0.
int removePartFiles(int messageNumber);

// deferPartFiles - ends the record of the request under messageNumber:
// the files still registered go to the deferred clean-up under that number
// (retryDeferredPartFiles), and the registry entry is dropped.
void deferPartFiles(int messageNumber);

// retryDeferredPartFiles - tries again to remove the files deferred under
// messageNumber, and the leftovers. A file that is gone or removed is
// dropped; one still held open, or written again by a request in progress,
// is kept. Returns -1 when some are kept, else 0.
int retryDeferredPartFiles(int messageNumber);

// registeredPartFiles - the paths registered under messageNumber, in the
// order they were written or added.
std::vector<std::string> registeredPartFiles(int messageNumber);

// pendingLeftoverFiles - part files of earlier messages that every
// removePartFiles call tries to remove again.
std::vector<std::string> pendingLeftoverFiles();

// pendingDeferredFiles - the files deferred under messageNumber.
std::vector<std::string> pendingDeferredFiles(int messageNumber);

}  // namespace tarnwick::mime
