// SPDX-License-Identifier: Apache-2.0
// probe_interval.h - the value of --av-check-every, shared by tarnwick and
// tarnwick-milter: "30s" (seconds), "5m" or plain "5" (minutes).
#pragma once

#include <string>

namespace tarnwick {

// The longest interval between two probes, in seconds (a week).
inline constexpr int kLongestProbeIntervalSeconds = 7 * 24 * 60 * 60;

// readProbeInterval - the interval in seconds, or false when text is not a
// whole number of minutes, or of seconds followed by 's' or minutes by 'm',
// within 0 and kLongestProbeIntervalSeconds.
bool readProbeInterval(const std::string& text, int& seconds);

// probeIntervalError - the refusal text for a value readProbeInterval refused.
std::string probeIntervalError(const std::string& text);

}  // namespace tarnwick
