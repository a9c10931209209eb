// SPDX-License-Identifier: Apache-2.0
// command_line.h - the two arguments that ask the program about itself
// instead of starting the filter: --help and --version.
//
// A mail server never passes them. Every other argument keeps its meaning
// and is left to start-up; this unit only recognises the two words and
// writes their texts.
#pragma once

#include <ostream>

namespace tarnwick {

// What the command line asks for instead of a filter run.
enum class InformationRequest { None, Help, Version };

// findInformationRequest - Help when an argument after the program name is
// exactly "--help", Version when it is exactly "--version" (the first such
// argument decides), else None.
InformationRequest findInformationRequest(int argumentCount, const char* const* argumentWords);

// writeInformation - writes the help or version text of request to stream
// and returns the exit code 0.
// REQUIRES: request is not InformationRequest::None.
int writeInformation(InformationRequest request, std::ostream& stream);

}  // namespace tarnwick
