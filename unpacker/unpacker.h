// SPDX-License-Identifier: Apache-2.0
// unpacker.h - the way into the MIME unpacker.
//
// unpackMessage walks one stored message (multiparts at any depth up to
// kMaxNestingDepth, encapsulated messages, digests) and writes every
// attachment, decoded, as a part file "FOLDER/msg-N-part-K.scanme" of its
// own, plus the first uuencoded block of a top-level text body, and notes in
// the request's ledger where each attachment's encoded body lies in the
// stored message file (when the input can tell). The resident
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
// same time anywhere in the process (the walker's state is process-wide and
// unlocked; the scan job holds the filter's lock).
//
// Deliberately not done: character sets, file names taken from the message,
// reassembly of split messages. Nothing is printed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "scanfiles/scan_ledger.h"
#include "unpacker/byte_source.h"

namespace tarnwick::unpacker {

// unpackMessage - reads the message from input (positioned at the message's
// own header block), writes its part files through ledger (named, created
// and recorded by it, numbered from 0) and closes input in every case.
// Returns -1 when a part file of the request could not be created or
// written (the ledger tells whether the disk was full), else the number of
// part files recorded in the ledger (0 when nothing was unpacked).
int unpackMessage(std::unique_ptr<ByteSource> input, ScanLedger& ledger);

// The unpacker's own record, for callers without a ledger of their own (the
// unpack tool, benchmarks): one ledger per message number, from its first
// file until all its files are removed or deferred, and one deferred list.
// A later request that reuses a number starts with none of the old files;
// the clean-up never removes a name a live ledger holds.

// unpackMessage - as above, through the own record's ledger of
// messageNumber, writing into folder (no trailing slash).
int unpackMessage(std::unique_ptr<ByteSource> input, int messageNumber, const std::string& folder);

// addPartFiles - records paths (files already written and closed by the
// caller) under messageNumber, after those already recorded; from then on
// they are removed, checked and deferred exactly as part files.
void addPartFiles(int messageNumber, const std::vector<std::string>& paths);

// removePartFiles - one removal round of the files recorded under
// messageNumber (see ScanLedger::removeShown), then one try of every
// deferred file. Returns 1 when one had disappeared or changed, -1 when some
// are still held open (they stay recorded; call again later), else 0.
int removePartFiles(int messageNumber);

// deferPartFiles - the files still recorded under messageNumber go to the
// deferred list, and its record ends.
void deferPartFiles(int messageNumber);

// retryDeferredPartFiles - one try of every deferred file. Returns -1 when
// files given up on are still held open, else 0.
int retryDeferredPartFiles(int messageNumber);

// registeredPartFiles - the paths recorded under messageNumber, in the order
// they were written or added.
std::vector<std::string> registeredPartFiles(int messageNumber);

// firstReadingParts - the part files recorded under messageNumber with where
// each one's body lies in the message (ScanLedger::writtenParts).
WrittenParts firstReadingParts(int messageNumber);

// pendingLeftoverFiles - the deferred list, newest first.
std::vector<std::string> pendingLeftoverFiles();

// forgetPartFiles - the own record starts afresh; no file is touched.
void forgetPartFiles();

}  // namespace tarnwick::unpacker
