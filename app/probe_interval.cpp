// SPDX-License-Identifier: Apache-2.0
// probe_interval.cpp - reading "30s", "5m" and "5".
#include "app/probe_interval.h"

namespace tarnwick {

// readProbeInterval - digits, then an optional unit letter.
bool readProbeInterval(const std::string& text, int& seconds) {
    std::string digits = text;
    int unit = 60;
    if (!digits.empty() && (digits.back() == 's' || digits.back() == 'm')) {
        unit = digits.back() == 's' ? 1 : 60;
        digits.pop_back();
    }
    if (digits.empty() || digits.size() > 9)
        return false;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return false;
    }
    const long long value = std::stoll(digits) * unit;
    if (value > kLongestProbeIntervalSeconds)
        return false;
    seconds = static_cast<int>(value);
    return true;
}

// probeIntervalError - names the forms that are understood.
std::string probeIntervalError(const std::string& text) {
    return "--av-check-every needs seconds (30s) or minutes (5m, or a plain 5) up to a week, "
           "not '" +
           text + "'";
}

}  // namespace tarnwick
