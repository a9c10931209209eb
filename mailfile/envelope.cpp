// SPDX-License-Identifier: Apache-2.0
// envelope.cpp - the envelope-block test on a message file's first line.
#include "mailfile/envelope.h"

namespace tarnwick {

bool isEnvelopeLetter(unsigned char byte) {
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z'))
        return true;
    switch (byte) {
        case 0x8A:
        case 0x8C:
        case 0x8E:
        case 0x9A:
        case 0x9C:
        case 0x9E:
        case 0x9F:
            return true;
        default:
            break;
    }
    return (byte >= 0xC0 && byte <= 0xD6) || (byte >= 0xD8 && byte <= 0xDE);
}

bool isEnvelopeSpace(unsigned char byte) {
    return byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' || byte == '\r' ||
           byte == ' ';
}

bool beginsEnvelopeBlock(std::string_view firstLine) {
    if (firstLine.size() < 3)
        return false;
    const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(firstLine[i]); };
    return isEnvelopeLetter(byteAt(0)) && isEnvelopeSpace(byteAt(1)) && isEnvelopeLetter(byteAt(2));
}

}  // namespace tarnwick
