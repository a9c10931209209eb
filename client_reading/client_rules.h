// SPDX-License-Identifier: Apache-2.0
// client_rules.h - the points where mail parsers are known to read the same
// bytes differently, and the named rule sets that decide them.
//
// The second reading has to show the anti-virus every attachment that some
// mail client would offer. Where clients disagree, following one side lets
// an attacker pick the other, so the reading follows every side some common
// parser takes. Each such point is one named choice of ClientRules; a rule
// set fills them in as one family of parsers does. The structure walker
// consults the rules of the reading at each point and, where another rule
// set decides it differently, reads again under that rule set (see
// structure_walker.h for where that reading begins). Ordinary mail meets no
// such point and is read once.
//
// Adding a point: a field here, its decision in every rule set, the place in
// the walker (or below it) that consults it, and its Ambiguity so that the
// walker knows which rule sets differ there.
#pragma once

#include <cstddef>
#include <span>

namespace tarnwick::client_reading {

// ColonlessLine - what a header line that is neither a field ("name:") nor
// a continuation does once the block has had a field.
enum class ColonlessLine {
    ContinuesField,  // appended to the field before it
    EndsHeader,      // the header ends; the body begins with this line
    Dropped,         // skipped; the header block goes on
};

// ClientRules - how one family of parsers decides each point.
struct ClientRules {
    // The family, for people (log lines, test names).
    const char* name;
    // A lone CR ends a line, as CR LF and LF do; otherwise it is a byte
    // inside the line (and CR LF still ends one).
    bool loneCrEndsLine;
    ColonlessLine colonlessLine;
    // A NUL byte ends the value of Content-Type, Content-Transfer-Encoding
    // and Content-Disposition (a C string); otherwise it is data.
    bool nulEndsFieldValue;
    // Base64 stops at the first "=" that can be padding (the third or
    // fourth character of a group); otherwise it decodes what follows too.
    bool base64EndsAtPadding;
    // A header line of blanks alone ends the header, as an empty line
    // does; otherwise it is a folded line (and the header goes on).
    bool blanksLineEndsHeader;
};

// Ambiguity - the points of ClientRules, as the walker meets them.
enum class Ambiguity {
    LoneCr,
    ColonlessLine,
    NulInFieldValue,
    DataAfterBase64Padding,
    BlanksLineInHeader
};

// decideAlike - a and b take the same side at point.
bool decideAlike(const ClientRules& a, const ClientRules& b, Ambiguity point);

// clientRuleSets - every rule set, the first one being the rules of the
// reading that starts at the top of each message.
std::span<const ClientRules> clientRuleSets();

// kMaxClientReadings - readings under another rule set started for one
// message at most (each re-reads a part or a whole range). Beyond it no
// more are started and "reading limit" is given: the message may hide
// more, and counts as read only in part.
inline constexpr std::size_t kMaxClientReadings = 256;

}  // namespace tarnwick::client_reading
