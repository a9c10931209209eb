// SPDX-License-Identifier: Apache-2.0
// client_rules.cpp - the rule sets: data, one row per family of parsers.
#include "client_reading/client_rules.h"

#include <array>

namespace tarnwick::client_reading {

namespace {

// kRuleSets - the families. The first is the reading this system always
// made, which takes the lenient side on every point where that shows more
// (a field goes on across a line without a colon, NUL is data, CR ends a
// line); the others are read only where they decide a point it met
// differently.
constexpr std::array<ClientRules, 3> kRuleSets{{
    // The Node.js parsers and webmail back ends: every line end counts, a
    // stray line belongs to the field before it, a line of blanks too.
    {"lenient", true, ColonlessLine::ContinuesField, false, false, false},
    // Python's email package: CR, LF and CR LF all end lines; a line that
    // is no field ends the header and starts the body; base64 ends at its
    // padding.
    {"python", true, ColonlessLine::EndsHeader, false, true, false},
    // GMime, MIME-tools and ripMIME: only LF ends a line, a line that is no
    // field is skipped, field values are C strings, and base64 ends at its
    // padding (as GMime decodes it). A line of blanks ends a header for
    // GMime, not for MIME-tools, which the lenient family follows there.
    {"lf-only", false, ColonlessLine::Dropped, true, true, true},
}};

}  // namespace

bool decideAlike(const ClientRules& a, const ClientRules& b, Ambiguity point) {
    switch (point) {
        case Ambiguity::LoneCr:
            return a.loneCrEndsLine == b.loneCrEndsLine;
        case Ambiguity::ColonlessLine:
            return a.colonlessLine == b.colonlessLine;
        case Ambiguity::NulInFieldValue:
            return a.nulEndsFieldValue == b.nulEndsFieldValue;
        case Ambiguity::DataAfterBase64Padding:
            return a.base64EndsAtPadding == b.base64EndsAtPadding;
        case Ambiguity::BlanksLineInHeader:
            return a.blanksLineEndsHeader == b.blanksLineEndsHeader;
    }
    return true;
}

std::span<const ClientRules> clientRuleSets() {
    return kRuleSets;
}

}  // namespace tarnwick::client_reading
