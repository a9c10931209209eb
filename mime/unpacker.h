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
// REQUIRES of every caller: no two calls of unpackMessage or
// removePartFiles run at the same time anywhere in the process (the state
// is process-wide and unlocked; the scan job holds the filter's lock).
//
// Deliberately not done: character sets, file names taken from the message,
// reassembly of split messages. Nothing is printed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mime/byte_source.h"

namespace tarnwick::mime {

// unpackMessage - reads the message from input (positioned at the message's
// own header block), writes its part files into folder (no trailing slash)
// and closes input in every case. Returns -1 when a part file could not be
// created or written during this call, else the number of part files
// registered under messageNumber afterwards (files from an earlier call for
// the same number included; 0 when nothing was unpacked).
int unpackMessage(std::unique_ptr<ByteSource> input, int messageNumber, const std::string& folder);

// removePartFiles - removes the part files registered under messageNumber
// and retries earlier leftovers. Returns 1 when one of the message's files
// had disappeared (the anti-virus removed it), -1 when some are still held
// open (they stay registered; call again later), else 0.
int removePartFiles(int messageNumber);

// registeredPartFiles - the paths still registered under messageNumber, in
// creation order.
std::vector<std::string> registeredPartFiles(int messageNumber);

// pendingLeftoverFiles - part files of earlier messages that every
// removePartFiles call tries to remove again.
std::vector<std::string> pendingLeftoverFiles();

}  // namespace tarnwick::mime
