// SPDX-License-Identifier: Apache-2.0
// tarnwick_unpack.cpp - entry point of `tarnwick-unpack MESSAGE DIR`, the
// administrator's view of what the anti-virus is shown for one message.
//
// All the work is in unpack_tool.cpp; this file only answers --help and
// --version and hands over the command line (as the platform layer reads it,
// so that on Windows a file name outside the ANSI code page survives) and the
// standard streams. It writes through descriptor streams, not the standard
// library's console streams, whose set-up before main cost more than a
// small message's unpacking.
#include <string>
#include <string_view>
#include <vector>

#include "runtime/descriptor_stream.h"
#include "runtime/platform.h"
#include "tarnwick/version.h"
#include "tools/unpack_tool.h"

namespace {

// The usage summary printed by --help; the man page (on Windows the guide)
// says the rest.
constexpr const char* kHelpText =
    "Usage: tarnwick-unpack [--no-second-reading] MESSAGE DIR\n"
    "       tarnwick-unpack --help | --version\n"
    "\n"
    "Unpacks the attachments of the message file MESSAGE, decoded, into the folder\n"
    "DIR as a scan would show them to the anti-virus (part files msg-0-part-K.scanme,\n"
    "and the second reading's msg-0-extra-K.scanme), leaves them there and lists\n"
    "them with their sizes in bytes. DIR is made when missing.\n"
    "\n"
    "  --no-second-reading  writes only the part files of the first reading\n"
    "  --help               prints this text and exits\n"
    "  --version            prints the version and exits\n"
    "\n"
#if TARNWICK_WINDOWS_BUILD
    "See tarnwick-readme.txt.\n";
#else
    "See tarnwick-unpack(1).\n";
#endif

// answerInformation - prints the help or version text when an argument asks
// for it; true when it did.
bool answerInformation(const std::vector<std::string>& arguments) {
    for (const std::string_view argument : arguments) {
        if (argument == "--help") {
            tarnwick::writeStandardOutput(kHelpText);
            return true;
        }
        if (argument == "--version") {
            tarnwick::writeStandardOutput("tarnwick-unpack " TARNWICK_VERSION
                                          "\n"
                                          "Licensed under the Apache License, Version 2.0.\n");
            return true;
        }
    }
    return false;
}

}  // namespace

// main - answers --help and --version, or runs the tool on the arguments.
int main(int argc, char** argv) {
    const std::vector<std::string> arguments = tarnwick::platform::commandLineArguments(argc, argv);
    if (answerInformation(arguments))
        return 0;
    // As the console streams were: errors unbuffered, the listing written
    // before each of them, so the two keep their order on one terminal.
    tarnwick::DescriptorStream out(1);
    tarnwick::DescriptorStream err(2);
    err.setf(std::ios_base::unitbuf);
    err.tie(&out);
    return tarnwick::runUnpackTool(arguments, out, err);
}
