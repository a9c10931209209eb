// SPDX-License-Identifier: Apache-2.0
// uudecode.cpp - the uuencode state machine and the line decoder.
//
// The machine tolerates text between the lines of a block: a line that
// breaks the pattern sends it to resynchronising, from which a full-length
// "M" line (decoded) or a "BEGIN" line leads back into the block. The length
// of the block's first line fixes the length every full line must have.
#include "unpacker/uudecode.h"

#include <algorithm>
#include <memory>
#include <string>

#include "codec/decode_kernel.h"
#include "mailfile/written_parts.h"

namespace tarnwick::unpacker {
namespace {

enum class UuState { Seeking, Resynchronising, InBlock, AfterLastLine, ExpectingEnd };

// kMaxUuLineBytes - the most bytes one line can encode (its count character
// gives 0..63), 21 whole groups.
constexpr std::size_t kMaxUuLineBytes = 63;

// decodeChar - the uuencode mapping; the grave accent encodes 0 like space.
inline unsigned decodeChar(unsigned char c) {
    return (c - 32u) & 63u;
}

// isEmptyDataLine - the empty line before "end": a space or a grave accent.
inline bool isEmptyDataLine(std::string_view line) {
    return !line.empty() && (line[0] == ' ' || line[0] == '`');
}

// isEndLine - "end" followed by a whitespace byte.
bool isEndLine(std::string_view line) {
    if (line.size() < 4 || line.compare(0, 3, "end") != 0)
        return false;
    char c = line[3];
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// uuBlockName - the file name a begin line gives, without its line end.
std::string uuBlockName(std::string_view line) {
    std::string_view name = line.substr(10);
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
        name.remove_suffix(1);
    return std::string(name);
}

// noteBlock - notes where the block closed by endLine lay in the stored
// message: from the line after "begin" through the line end of endLine.
void noteBlock(const PartReader& reader, ScanLedger& ledger, const PartFileOutput& output,
               std::string_view endLine, bool beginKnown, std::uint64_t begin) {
    BodySpan block;
    block.begin = begin;
    block.encoding = codec::TransferEncoding::Uuencode;
    if (beginKnown && endLine.back() == '\n' && reader.storedOffset(block.end) &&
        block.begin <= block.end)
        ledger.noteBody(output.path(), block);
}

}  // namespace

// isUuBeginLine - see the header.
bool isUuBeginLine(std::string_view line) {
    if (line.size() < 11 || line.compare(0, 6, "begin ") != 0)
        return false;
    for (std::size_t i = 6; i < 9; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return false;
    }
    auto nameStart = static_cast<unsigned char>(line[10]);
    return line[6] >= '4' && line[9] == ' ' && nameStart >= 33 && nameStart <= 127;
}

// decodeUuLine - see the header. The groups the line holds whole go through
// the shared kernel; the group the count ends in, and characters the line
// lacks (read as zero bits), are decoded here.
void decodeUuLine(std::string_view line, PartFileOutput& output) {
    if (line.empty())
        return;
    const unsigned count = decodeChar(static_cast<unsigned char>(line[0]));
    std::string_view data = line.substr(1);
    if (!data.empty() && data.back() == '\n')
        data.remove_suffix(1);
    // A count of at most 63 needs at most 21 groups.
    char bytes[kMaxUuLineBytes];
    const std::size_t wholeGroups = std::min<std::size_t>(count / 3, data.size() / 4);
    codec::decodeUuGroups(data.data(), wholeGroups, bytes);
    auto at = [&data](std::size_t i) -> unsigned {
        return i < data.size() ? decodeChar(static_cast<unsigned char>(data[i])) : 0u;
    };
    for (std::size_t written = wholeGroups * 3, i = wholeGroups * 4; written < count; i += 4) {
        const unsigned g0 = at(i), g1 = at(i + 1), g2 = at(i + 2), g3 = at(i + 3);
        const unsigned char group[3] = {static_cast<unsigned char>(g0 << 2 | g1 >> 4),
                                        static_cast<unsigned char>(g1 << 4 | g2 >> 2),
                                        static_cast<unsigned char>(g2 << 6 | g3)};
        for (std::size_t k = 0; k < 3 && written < count; ++k)
            bytes[written++] = static_cast<char>(group[k]);
    }
    output.append(bytes, count);
}

// scanForUuencoded - see the header.
int scanForUuencoded(PartReader& reader, ScanLedger& ledger) {
    char buffer[kUuLineBufferSize];
    std::unique_ptr<PartFileOutput> output;
    UuState state = UuState::Seeking;
    std::size_t expectedLength = 0;
    std::string keptLine;
    // Where the block's lines after "begin" start in the stored message:
    // noted with the file once "end" closes it, for the second reading.
    std::uint64_t blockBegin = 0;
    bool blockBeginKnown = false;

    // Closing counts like any part file's: data the anti-virus kept from
    // the disk must not pass as unpacked (the ledger notes a failed write).
    auto closeOutput = [&output]() {
        if (output)
            output->close();
    };

    // The piece's real length: a zero byte inside a line does not shorten it.
    for (std::size_t length; (length = reader.readLinePiece(buffer, sizeof buffer)) != 0;) {
        std::string_view line(buffer, length);
        bool fullLine = !line.empty() && line[0] == 'M' && line.size() == expectedLength;
        switch (state) {
            case UuState::Seeking:
                if (!isUuBeginLine(line))
                    break;
                output = openPartFile(ledger);
                if (!output)
                    return 1;
                ledger.describe(output->path(), ScanFileDescription{uuBlockName(line),
                                                                    std::string(), kFirstReading});
                blockBeginKnown = line.back() == '\n' && reader.storedOffset(blockBegin);
                state = UuState::InBlock;
                break;
            case UuState::Resynchronising:
                if (fullLine) {
                    decodeUuLine(line, *output);
                    state = UuState::InBlock;
                } else if (line.compare(0, 5, "BEGIN") == 0) {
                    state = UuState::InBlock;
                }
                break;
            case UuState::InBlock:
                if (expectedLength == 0) {
                    expectedLength = line.size();
                    fullLine = !line.empty() && line[0] == 'M';
                }
                if (fullLine) {
                    decodeUuLine(line, *output);
                } else if (line.size() > expectedLength) {
                    state = UuState::Resynchronising;
                } else {
                    keptLine.assign(line);
                    state = isEmptyDataLine(line) ? UuState::ExpectingEnd : UuState::AfterLastLine;
                }
                break;
            case UuState::AfterLastLine:
                state = isEmptyDataLine(line) ? UuState::ExpectingEnd : UuState::Resynchronising;
                break;
            case UuState::ExpectingEnd:
                if (isEndLine(line)) {
                    decodeUuLine(keptLine, *output);
                    closeOutput();
                    noteBlock(reader, ledger, *output, line, blockBeginKnown, blockBegin);
                    return 0;
                }
                state = UuState::Resynchronising;
                break;
        }
    }
    closeOutput();
    return 0;
}

}  // namespace tarnwick::unpacker
