// skip_envelope.cpp - stepping over the envelope block of a message file.
//
// The first line is read once to decide, and the file is rewound before the
// block is skipped, so a file without a block is left exactly at its start.
#include <string>

#include "mailfile/envelope.h"
#include "front/filter_base.h"
#include "front/protocol.h"

namespace tarnwick {

bool skipEnvelope(std::FILE* file) {
    if (file == nullptr)
        return false;
    std::string line;
    std::rewind(file);
    readTextLine(file, line);
    std::rewind(file);
    if (!beginsEnvelopeBlock(line))
        return false;
    // Ends at the first empty line, or at the end of the file when the block
    // has none, so skipping always finishes.
    while (readTextLine(file, line) && !line.empty()) {
    }
    return true;
}

}  // namespace tarnwick
