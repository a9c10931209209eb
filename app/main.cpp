// SPDX-License-Identifier: Apache-2.0
// main.cpp - the entry point of the tarnwick filter process.
//
// The filter is never destroyed: when standard input ends, workers may still
// be scanning messages, so the process ends at once, leaving them no
// destroyed filter to touch. Nothing is left to flush: the console log
// writes every line out as it ends.
#include <cstdlib>
#include <iostream>

#include "app/command_line.h"
#include "app/start_up.h"
#include "runtime/platform.h"

// main - answers --help and --version; otherwise prepares the streams,
// starts up and ends the process with the start-up's exit code.
int main(int argc, char** argv) {
    // --help and --version are answered before anything else is set up.
    const auto information = tarnwick::findInformationRequest(argc, argv);
    if (information != tarnwick::InformationRequest::None)
        return tarnwick::writeInformation(information, std::cout);
    tarnwick::platform::prepareStandardStreams();
    // Deliberately leaked: it must outlive every worker thread.
    auto* filter = new tarnwick::AvFilter();
    const int status = tarnwick::startUp(*filter, argc, argv);
    std::_Exit(status);
}
