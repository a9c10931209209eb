// SPDX-License-Identifier: Apache-2.0
// part_readings.h - every way a part's header can be read.
//
// A part whose Content-Type or Content-Transfer-Encoding is given twice, or
// whose boundary can be spelt several ways, is read differently by
// different clients. partReadings turns one header block into the list of
// distinct readings: each of the first and last Content-Type with each of
// the first and last transfer encoding (each as lenient and as strict
// parsers read its spelling), and for a multipart each boundary
// candidate (each boundary parameter as unquoted, as written with its
// quotes, with blanks at the end inside its quotes kept, RFC 2231 joined, RFC 2047 decoded, and
// each of those in another charset converted to UTF-8). The first entry is the primary reading
// (first-wins everywhere). The list is capped at kMaxPartReadings.
#pragma once

#include <string>
#include <vector>

#include "client_reading/header_fields.h"
#include "codec/decoders.h"

namespace tarnwick::client_reading {

// kMaxPartReadings - readings of one part at most; further ones are dropped.
inline constexpr std::size_t kMaxPartReadings = 8;
// kMaxBoundaryBytes - longer boundaries are kept by their first bytes and
// a keyed hash of the whole (boundaryKey), so that they still match only
// themselves. The RFC allows 70; the margin serves lenient senders while
// keeping the table small.
inline constexpr std::size_t kMaxBoundaryBytes = 256;
// kMaxExactBoundaryBytes - a boundary this long may have been cut when its
// field was kept in short (header_fields.h): from this size on it is kept
// by its first kMaxBoundaryBytes alone and matches every line that begins
// with "--" and those bytes.
inline constexpr std::size_t kMaxExactBoundaryBytes = kMaxKeptParameterBytes;
// kMaxIdentifierBytes - a message/partial id up to this size is kept with
// its fragment as it stands; a longer one by its first bytes and a hash of
// all of it.
inline constexpr std::size_t kMaxIdentifierBytes = 256;

// boundaryKey - how a boundary is kept: as it stands up to
// kMaxBoundaryBytes; a longer one as its first kMaxBoundaryBytes, a line
// feed (which no line holds, so it never equals a boundary kept whole) and,
// below kMaxExactBoundaryBytes, the process's keyed hash of the whole.
std::string boundaryKey(std::string_view boundary);
// boundaryPrefixKey - the key of every boundary of kMaxExactBoundaryBytes
// or more that begins as boundary does.
std::string boundaryPrefixKey(std::string_view boundary);

// PartReading - one way to read a part.
struct PartReading {
    std::string type;  // "type/subtype", lower case
    codec::TransferEncoding encoding = codec::TransferEncoding::Identity;
    std::string boundary;  // multipart only, as boundaryKey keeps it; empty when none
    // The reading counts as a copy of a known file also when only CR LF
    // against LF differs (text/* only).
    bool lineEndsMayDiffer = false;
    // The charset is UTF-16 or UTF-32 (or UCS-2, UCS-4): NUL and control
    // bytes are text there.
    bool wideCharset = false;
    // message/partial parameters.
    std::string partialId;
    long partialNumber = 0;
    // key - identifies the reading among those of the same bytes.
    std::string key() const;
};

// PartFacts - the readings of a part and what holds for all of them.
struct PartFacts {
    std::vector<PartReading> readings;  // never empty
    // A file name (name, filename, RFC 2231 forms) or "attachment"
    // disposition in some reading.
    bool named = false;
    // The part's own file name for people: the first disposition filename,
    // else the first type name; empty when it has none.
    std::string fileName;
    bool duplicateField = false;
    bool duplicateParameter = false;
    bool malformedName = false;
};

// partFacts - reads header (finished) with defaultType for a part without
// a usable Content-Type.
PartFacts partFacts(const HeaderBlock& header, const std::string& defaultType);

// isMultipartType, isTextType - the kind of part a type names.
bool isMultipartType(const std::string& type);
bool isTextType(const std::string& type);
// isReportType - the machine-readable parts of delivery and disposition
// reports (bounces, read receipts, abuse reports): header-like text that mail
// clients show inline, so without a file name they are no attachment.
bool isReportType(const std::string& type);

}  // namespace tarnwick::client_reading
