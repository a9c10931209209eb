// SPDX-License-Identifier: Apache-2.0
// decoder_variants.h - how other decoders in common use read what base64
// and quoted-printable leave open.
//
// The lenient decoders (decoders.h) take one side at each such point and
// tell which points a body met (metPoints). Where some decoder in use takes
// another side, its reading of the same body is another attachment a mail
// client may open. A DecodeVariant is one such decoder family; the second
// reading decodes a body again under each variant that decides a point the
// body met otherwise, and only then: a well-formed body meets none.
//
// The points, and who parts ways there:
//   base64 - an "=" in the first or second place of a group (skipped by the
//            lenient decoder; it ends the decoding or the group for others),
//            data after a group "=" ended (decoded on in step by the lenient
//            decoder; out of step or not at all by others), a short last
//            group without padding (kept, or dropped);
//   quoted-printable - "==" (one "=" to the lenient decoder; "=" kept and
//            the second one read afresh, or both kept with the byte after
//            them), another "=" not before two hex digits, blanks before a
//            line end (dropped, or kept), "=" and blanks before a line end
//            (a soft break, or data), an escape cut short by the end of the
//            body (dropped, or kept).
#pragma once

#include <array>
#include <memory>

#include "codec/decoders.h"

namespace tarnwick::codec {

// The points a decoder met, as bits of Decoder::metPoints.
inline constexpr unsigned kBase64EqualsFirst = 1U << 0;   // "=" at a group's first place
inline constexpr unsigned kBase64EqualsSecond = 1U << 1;  // "=" at a group's second place
inline constexpr unsigned kBase64DataAfterPadding = 1U << 2;
inline constexpr unsigned kBase64ShortLastGroup = 1U << 3;  // two or three characters, no "="
inline constexpr unsigned kQpEqualsEquals = 1U << 4;
inline constexpr unsigned kQpMalformedEscape = 1U << 5;  // "=" before anything else
inline constexpr unsigned kQpTrailingBlanks = 1U << 6;
inline constexpr unsigned kQpBlanksSoftBreak = 1U << 7;  // "=", blanks, a line end
inline constexpr unsigned kQpCutEscape = 1U << 8;        // "=" or "=X" at the body's end

// DecodeVariant - a family of decoders other than the lenient one.
enum class DecodeVariant {
    // base64: every "=" is skipped and the alphabet decoded as one stream,
    // out of step after padding; a short last group gives its whole bytes.
    Base64SkipsEquals,
    // base64: the first "=", wherever it stands, ends the decoding (a group
    // it ends gives its whole bytes); a short last group is dropped.
    Base64EndsAtEquals,
    // base64: every "=" ends the group in hand (giving its whole bytes) and
    // decoding goes on, in step, with a new group.
    Base64EqualsEndsGroup,
    // base64: only padding that completes a group ends the decoding (an
    // "=" in its fourth place, or two from its third); any other "=" is
    // skipped.
    Base64EndsAtFullPadding,
    // quoted-printable: "=" and the two bytes after it stand as they are
    // unless those are two hex digits; only "=" LF and "=" CR LF are soft
    // breaks; blanks before a line end are kept; an escape the body cuts
    // short is dropped.
    QpKeepsTriples,
    // quoted-printable: an "=" not before two hex digits or blanks and a
    // line end is kept, and what follows it read afresh; blanks before a
    // line end are dropped; a CR LF line end becomes LF; at the body's end
    // an "=", an escape cut short and blanks are kept.
    QpRereadsKeepsEnd,
    // The same, but CR LF stays, and at the body's end an "=" (with blanks
    // after it) is a soft break and blanks are dropped.
    QpRereadsDropsEnd,
};

inline constexpr std::array<DecodeVariant, 7> kDecodeVariants{
    DecodeVariant::Base64SkipsEquals,     DecodeVariant::Base64EndsAtEquals,
    DecodeVariant::Base64EqualsEndsGroup, DecodeVariant::Base64EndsAtFullPadding,
    DecodeVariant::QpKeepsTriples,        DecodeVariant::QpRereadsKeepsEnd,
    DecodeVariant::QpRereadsDropsEnd,
};

// decidesOtherwise - variant reads some of points (metPoints bits) other
// than the lenient decoder does.
bool decidesOtherwise(DecodeVariant variant, unsigned points);

// makeVariantDecoder - a decoder of variant writing into sink (which must
// outlive it).
std::unique_ptr<Decoder> makeVariantDecoder(DecodeVariant variant, ByteSink& sink);

}  // namespace tarnwick::codec
