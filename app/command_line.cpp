// SPDX-License-Identifier: Apache-2.0
// command_line.cpp - the --help and --version texts of tarnwick.
#include "app/command_line.h"

#include <string_view>

#include "tarnwick/version.h"

namespace tarnwick {

namespace {

constexpr std::string_view kHelpArgument = "--help";
constexpr std::string_view kVersionArgument = "--version";

// helpText - the usage summary; the guide and, except on Windows, the man page
// say the rest.
constexpr const char* helpText() {
    return "Usage: tarnwick [WAIT] [--no-second-reading]\n"
           "       tarnwick --help | --version\n"
           "\n"
           "A content-filter helper for a mail server: reads INTF, KEY, FILE and QUIT\n"
           "commands on standard input and answers on standard output. Each message is\n"
           "copied into the folder ScanMe of the current folder, and its attachments\n"
           "decoded beside it, for the resident on-access anti-virus to judge.\n"
           "\n"
           "  WAIT                 base wait in seconds for the anti-virus (default 5);\n"
           "                       both waits grow with the message size\n"
           "  --no-second-reading  turns off the second, tolerant reading of each message\n"
           "                       that writes extra files msg-N-extra-K.scanme\n"
           "  --help               prints this text and exits\n"
           "  --version            prints the version and exits\n"
           "\n"
#if TARNWICK_WINDOWS_BUILD
           "See tarnwick-readme.txt.\n";
#else
           "See tarnwick-readme.txt and tarnwick(8).\n";
#endif
}

}  // namespace

// findInformationRequest - see the header.
InformationRequest findInformationRequest(int argumentCount, const char* const* argumentWords) {
    for (int index = 1; index < argumentCount; ++index) {
        const std::string_view argument =
            argumentWords[index] == nullptr ? std::string_view() : argumentWords[index];
        if (argument == kHelpArgument)
            return InformationRequest::Help;
        if (argument == kVersionArgument)
            return InformationRequest::Version;
    }
    return InformationRequest::None;
}

// writeInformation - see the header.
int writeInformation(InformationRequest request, std::ostream& stream) {
    if (request == InformationRequest::Help)
        stream << helpText();
    else
        stream << "tarnwick " TARNWICK_VERSION "\n"
               << "Licensed under the Apache License, Version 2.0.\n";
    stream.flush();
    return 0;
}

}  // namespace tarnwick
