// SPDX-License-Identifier: Apache-2.0
// protocol_output_check.h - what protocol_fuzz checks in the output of one
// run of the command loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnwick {

// checkProtocolOutput - checks the whole output of one run, after every
// worker wrote its closing line: every line whole, without a CR, and of a
// form the protocol knows (log lines, immediate answers and refusals, result
// answers with a well-escaped quoted text); every result answer directly
// after its outcome line, of the kind kindOf gives for its number (the filter
// must never answer Ok, whose outcome line "* OK" reads like the answer to
// a KEY with the token "*"); every request that logged "Thread processing
// started" answered exactly once, never before that line and never after its
// "Thread processing done" line. Returns what broke first, or an empty text.
std::string checkProtocolOutput(const std::string& output, int (*kindOf)(std::uint32_t));

// countRequestLines - how many "* (n) Thread processing started" and
// "* (n) Thread processing done" lines output holds.
void countRequestLines(const std::string& output, std::size_t& started, std::size_t& done);

}  // namespace tarnwick
