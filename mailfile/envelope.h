// SPDX-License-Identifier: Apache-2.0
// envelope.h - recognising the envelope block that may precede a message.
//
// A message file written by the mail server may begin with envelope lines,
// ended by the first empty line. The block is present exactly when the
// file's first line has at least three bytes, its first and third bytes are
// letters and its second byte is white space (bytes above 127 are judged by
// the Windows-1252 letter table below, not by the C locale).
#pragma once

#include <string_view>

namespace tarnwick {

// isEnvelopeLetter - A-Z, a-z, 0x8A 0x8C 0x8E 0x9A 0x9C 0x9E 0x9F,
// 0xC0-0xD6 and 0xD8-0xDE.
bool isEnvelopeLetter(unsigned char byte);
// isEnvelopeSpace - tab, LF, VT, FF, CR and SP.
bool isEnvelopeSpace(unsigned char byte);
// beginsEnvelopeBlock - true when firstLine (without its line end) opens an
// envelope block.
bool beginsEnvelopeBlock(std::string_view firstLine);

}  // namespace tarnwick
