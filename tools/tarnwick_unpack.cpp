// tarnwick_unpack.cpp - entry point of `tarnwick-unpack MESSAGE DIR`, the
// administrator's view of what the anti-virus is shown for one message.
//
// All the work is in unpack_tool.cpp; this file only hands over the command
// line (as the platform layer reads it, so that on Windows a file name
// outside the ANSI code page survives) and the standard streams.
#include <iostream>
#include <string>
#include <vector>

#include "runtime/platform.h"
#include "tools/unpack_tool.h"

// main - runs the tool on the command line's arguments.
int main(int argc, char** argv) {
    const std::vector<std::string> arguments = tarnwick::platform::commandLineArguments(argc, argv);
    return tarnwick::runUnpackTool(arguments, std::cout, std::cerr);
}
