// SPDX-License-Identifier: Apache-2.0
// unpack_tool.cpp - the work of tarnwick-unpack: checks the arguments,
// positions and unpacks the message as the scan job's second level does,
// reads it a second time as the scan job does, and lists the files both
// readings left in the folder.
//
// The unpacker's and the second reader's own rules decide everything about
// the files; this file only reports. It never removes a file.
#include "tools/unpack_tool.h"

#include <cstdint>
#include <memory>

#include "app/option_parser.h"
#include "client_reading/second_reading.h"
#include "runtime/file_system.h"
#include "runtime/platform.h"
#include "scanfiles/scan_ledger.h"
#include "unpacker/message_input.h"
#include "unpacker/unpacker.h"

namespace tarnwick {

namespace {

// The message number the scan job would give a request numbered 0; the files
// are therefore "DIR/msg-0-part-K.scanme" and "DIR/msg-0-extra-K.scanme".
constexpr int kToolMessageNumber = 0;

// The option that leaves the second reading out, as for the filter.
constexpr const char* kNoSecondReadingOption = "--no-second-reading";

// usageText - the one-paragraph usage message.
const char* usageText() {
    return "usage: tarnwick-unpack [--no-second-reading] MESSAGE DIR\n"
           "  Unpacks the attachments of the message file MESSAGE, decoded, into the folder\n"
           "  DIR as the second level of a scan would: part files msg-0-part-K.scanme from\n"
           "  the first reading, extra files msg-0-extra-K.scanme from the second, tolerant\n"
           "  reading. Leaves them there and lists each: its size in bytes, the reading\n"
           "  that found it, the attachment's own file name and content type; then how\n"
           "  many each reading found and the signs of evasion the second reading met.\n"
           "  --no-second-reading: the first reading only.\n";
}

// isSeparator - either kind of path separator.
bool isSeparator(char byte) {
    return byte == '/' || byte == '\\';
}

// withoutTrailingSeparators - folder as the unpacker wants it: no trailing
// separator, except for a root folder: one separator, or a drive letter
// with its colon and separator ("C:\" or "C:/"), which without it would name the
// drive's current folder instead.
std::string withoutTrailingSeparators(std::string folder) {
    for (;;) {
        const bool driveRoot = folder.size() == 3 && folder[1] == ':' && isSeparator(folder[2]);
        if (folder.size() <= 1 || driveRoot || !isSeparator(folder.back()))
            return folder;
        folder.pop_back();
    }
}

// listFile - one line for a file: "PATH: SIZE bytes, READING, NAME (TYPE)",
// with "missing" for a file no longer there, the part's own name and type
// as the reading that wrote the file saw them.
void listFile(const std::string& path, const ScanLedger& ledger, std::ostream& out) {
    const std::int64_t size = fileExists(path) ? fileSize(path) : -1;
    const ScanFileDescription described = ledger.description(path);
    out << platform::shownPath(path) << ": "
        << (size < 0 ? std::string("missing") : std::to_string(size) + " bytes") << ", "
        << described.reading << ", " << printableName(described.displayName);
    if (!described.contentType.empty())
        out << " (" << printableName(described.contentType) << ')';
    out << '\n';
}

// listFiles - one line per path.
void listFiles(const std::vector<std::string>& paths, const ScanLedger& ledger, std::ostream& out) {
    for (const std::string& path : paths)
        listFile(path, ledger, out);
}

// listFiles - the same for the first reading's part files, each name made
// as its line is written.
void listFiles(const WrittenParts& parts, const ScanLedger& ledger, std::ostream& out) {
    for (const WrittenPart& part : parts)
        listFile(parts.path(part), ledger, out);
}

// joined - the names separated by ", ".
std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace

// runUnpackTool - see the header.
int runUnpackTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    const ParsedWords parsed = parseWords(arguments, {{kNoSecondReadingOption, false}});
    if (!parsed.error.empty()) {
        // Refused in one line on both streams, as tarnwick refuses its own.
        const std::string line = errorLine(parsed.error + " (see tarnwick-unpack --help)");
        out << line << '\n' << std::flush;
        err << line << '\n';
        return kUnpackToolBadUsage;
    }
    const std::vector<std::string>& operands = parsed.operands;
    const bool secondReading = parsed.options.empty();
    if (operands.size() != 2 || operands[0].empty() || operands[1].empty()) {
        err << usageText();
        return kUnpackToolBadUsage;
    }
    const std::string& messagePath = operands[0];
    const std::string folder = withoutTrailingSeparators(operands[1]);

    // A folder can be opened for reading on some systems and then reads as
    // empty; it would look like a message without attachments.
    if (isDirectory(messagePath) || !fileExists(messagePath)) {
        err << "tarnwick-unpack: cannot read the message " << messagePath
            << ": no such file, or it is a folder\n";
        return kUnpackToolBadMessage;
    }
    if (!isDirectory(folder) && !makeDirectory(folder)) {
        err << "tarnwick-unpack: " << operands[1]
            << " is not a folder and cannot be made (its parent must exist)\n";
        return kUnpackToolBadFolder;
    }
    std::unique_ptr<unpacker::ByteSource> input = unpacker::openMessageForUnpacking(messagePath);
    if (!input) {
        err << "tarnwick-unpack: cannot open the message " << messagePath << " for reading\n";
        return kUnpackToolBadMessage;
    }

    // The tool's own ledger names the files and keeps what each reading saw
    // of them; it lets go of them at the end without touching one.
    ScanFileOwners owners;
    ScanLedger ledger(owners, folder, std::string(), kToolMessageNumber);
    const int result = unpacker::unpackMessage(std::move(input), ledger);
    const WrittenParts partFiles = ledger.writtenParts();
    client_reading::SecondReadingOutcome second;
    if (secondReading)
        second = client_reading::readSecondTimeAfterFirst(messagePath, ledger, partFiles);

    listFiles(partFiles, ledger, out);
    listFiles(second.extraFiles, ledger, out);
    ledger.forgetAll();
    out << "first reading: " << partFiles.size() << " attachments\n";
    if (secondReading) {
        out << "second reading: " << second.extraFiles.size() << " more attachments\n";
        if (!second.signs.empty())
            out << "unusual MIME structure: " << joined(second.signs) << '\n';
    }
    out.flush();
    if (result < 0)
        err << "tarnwick-unpack: a part file could not be created or written in "
            << platform::shownPath(folder) << "\n";
    if (second.writeFailed)
        err << "tarnwick-unpack: an extra file could not be created or written in "
            << platform::shownPath(folder) << "\n";
    return result < 0 || second.writeFailed ? kUnpackToolWriteFailed : kUnpackToolOk;
}

}  // namespace tarnwick
