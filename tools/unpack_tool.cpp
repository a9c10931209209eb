// unpack_tool.cpp - the work of tarnwick-unpack: checks the arguments,
// positions and unpacks the message as the scan job's second level does,
// and lists the part files it left in the folder.
//
// The unpacker's own rules decide everything about the part files; this
// file only reports. It never removes a part file.
#include "tools/unpack_tool.h"

#include <cstdint>
#include <memory>

#include "mime/message_input.h"
#include "mime/unpacker.h"
#include "runtime/file_system.h"

namespace tarnwick {

namespace {

// The message number the scan job would give a request numbered 0; the part
// files are therefore "DIR/msg-0-part-K.scanme".
constexpr int kToolMessageNumber = 0;

// usageText - the one-paragraph usage message.
const char* usageText() {
    return "usage: tarnwick-unpack MESSAGE DIR\n"
           "  Unpacks the attachments of the message file MESSAGE, decoded, into the folder\n"
           "  DIR as the second level of a scan would (part files msg-0-part-K.scanme),\n"
           "  leaves them there and lists them with their sizes in bytes.\n";
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

}  // namespace

// runUnpackTool - see the header.
int runUnpackTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    if (arguments.size() != 2 || arguments[0].empty() || arguments[1].empty()) {
        err << usageText();
        return kUnpackToolBadUsage;
    }
    const std::string& messagePath = arguments[0];
    const std::string folder = withoutTrailingSeparators(arguments[1]);

    // A folder can be opened for reading on some systems and then reads as
    // empty; it would look like a message without attachments.
    if (isDirectory(messagePath) || !fileExists(messagePath)) {
        err << "tarnwick-unpack: cannot read the message " << messagePath
            << ": no such file, or it is a folder\n";
        return kUnpackToolBadMessage;
    }
    if (!isDirectory(folder) && !makeDirectory(folder)) {
        err << "tarnwick-unpack: " << arguments[1]
            << " is not a folder and cannot be made (its parent must exist)\n";
        return kUnpackToolBadFolder;
    }
    std::unique_ptr<mime::ByteSource> input = mime::openMessageForUnpacking(messagePath);
    if (!input) {
        err << "tarnwick-unpack: cannot open the message " << messagePath << " for reading\n";
        return kUnpackToolBadMessage;
    }

    const int result = mime::unpackMessage(std::move(input), kToolMessageNumber, folder);

    for (const std::string& path : mime::registeredPartFiles(kToolMessageNumber)) {
        const std::int64_t size = fileExists(path) ? fileSize(path) : -1;
        if (size < 0)
            out << path << " missing\n";
        else
            out << path << ' ' << size << '\n';
    }
    out << "unpackMessage: " << result << '\n';
    out.flush();
    if (result < 0) {
        err << "tarnwick-unpack: a part file could not be created or written in " << folder << "\n";
        return kUnpackToolWriteFailed;
    }
    return kUnpackToolOk;
}

}  // namespace tarnwick
