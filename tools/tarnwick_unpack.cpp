// tarnwick_unpack.cpp - entry point of `tarnwick-unpack MESSAGE DIR`, the
// administrator's view of what the anti-virus is shown for one message.
//
// All the work is in unpack_tool.cpp; this file only hands over the command
// line and the standard streams.
#include <iostream>
#include <string>
#include <vector>

#include "tools/unpack_tool.h"

// main - runs the tool on the command line's arguments.
int main(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int index = 1; index < argc; ++index)
        arguments.emplace_back(argv[index]);
    return tarnwick::runUnpackTool(arguments, std::cout, std::cerr);
}
