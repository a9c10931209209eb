// SPDX-License-Identifier: Apache-2.0
// metrics.cpp - the counters and their exposition text.
#include "runtime/metrics.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "runtime/platform.h"

namespace tarnwick {

namespace {

// typeWord - the word of the # TYPE line.
const char* typeWord(MetricType type) {
    switch (type) {
        case MetricType::Counter:
            return "counter";
        case MetricType::Gauge:
            return "gauge";
        case MetricType::Histogram:
            return "histogram";
    }
    return "untyped";
}

// sampleLine - `name{labels} value` with its line feed.
std::string sampleLine(const std::string& name, const std::string& labels, double value) {
    return name + (labels.empty() ? "" : "{" + labels + "}") + " " + formatSampleValue(value) +
           "\n";
}

// histogramLines - the cumulative buckets, the sum and the count.
std::string histogramLines(const std::string& name, const std::vector<double>& bounds,
                           const std::vector<std::uint64_t>& counts, double sum,
                           std::uint64_t count) {
    std::string text;
    std::uint64_t cumulative = 0;
    for (std::size_t index = 0; index < bounds.size(); ++index) {
        cumulative += counts[index];
        text += sampleLine(name + "_bucket", labelPair("le", formatSampleValue(bounds[index])),
                           static_cast<double>(cumulative));
    }
    text += sampleLine(name + "_bucket", labelPair("le", "+Inf"), static_cast<double>(count));
    text += sampleLine(name + "_sum", "", sum);
    text += sampleLine(name + "_count", "", static_cast<double>(count));
    return text;
}

}  // namespace

// labelPair - the value escaped.
std::string labelPair(const std::string& name, const std::string& value) {
    std::string text = name + "=\"";
    for (const char c : value) {
        if (c == '\\')
            text += "\\\\";
        else if (c == '"')
            text += "\\\"";
        else if (c == '\n')
            text += "\\n";
        else
            text += c;
    }
    return text + "\"";
}

// formatSampleValue - whole numbers as integers.
std::string formatSampleValue(double value) {
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char buffer[64];
    if (value == std::floor(value) && std::fabs(value) < 1e15)
        std::snprintf(buffer, sizeof buffer, "%.0f", value);
    else
        std::snprintf(buffer, sizeof buffer, "%.15g", value);
    return buffer;
}

// Metrics::find - the family of that name, or nullptr. Under the lock.
Metrics::Family* Metrics::find(const std::string& name) {
    for (Family& family : families_) {
        if (family.name == name)
            return &family;
    }
    return nullptr;
}

// Metrics::declare - a new family at the end.
void Metrics::declare(const std::string& name, MetricType type, const std::string& help,
                      std::vector<double> buckets) {
    MutexLock held(mutex_);
    if (find(name) != nullptr)
        return;
    Family family;
    family.name = name;
    family.type = type;
    family.help = help;
    family.bounds = std::move(buckets);
    family.bucketCounts.assign(family.bounds.size(), 0);
    families_.push_back(std::move(family));
}

// Metrics::add - counts.
void Metrics::add(const std::string& name, const std::string& labels, double delta) {
    MutexLock held(mutex_);
    if (Family* family = find(name))
        family->samples[labels] += delta;
}

// Metrics::set - a gauge's new value.
void Metrics::set(const std::string& name, const std::string& labels, double value) {
    MutexLock held(mutex_);
    if (Family* family = find(name))
        family->samples[labels] = value;
}

// Metrics::observe - into the first bucket that holds it.
void Metrics::observe(const std::string& name, double value) {
    MutexLock held(mutex_);
    Family* family = find(name);
    if (family == nullptr || family->type != MetricType::Histogram)
        return;
    for (std::size_t index = 0; index < family->bounds.size(); ++index) {
        if (value <= family->bounds[index]) {
            ++family->bucketCounts[index];
            break;
        }
    }
    ++family->count;
    family->sum += value;
}

// Metrics::exposition - HELP, TYPE, then the samples of each family.
std::string Metrics::exposition() const {
    MutexLock held(mutex_);
    std::string text;
    for (const Family& family : families_) {
        text += "# HELP " + family.name + " " + family.help + "\n";
        text += "# TYPE " + family.name + " " + typeWord(family.type) + "\n";
        if (family.type == MetricType::Histogram) {
            text += histogramLines(family.name, family.bounds, family.bucketCounts, family.sum,
                                   family.count);
            continue;
        }
        for (const auto& [labels, value] : family.samples)
            text += sampleLine(family.name, labels, value);
    }
    return text;
}

// writeFileReplacing - temporary file, then the rename.
std::string writeFileReplacing(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr)
        return "cannot create " + temporary + ": " + std::strerror(errno);
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const int writeError = errno;
    if (std::fclose(file) != 0 || !written) {
        platform::removePath(temporary);
        return "cannot write " + temporary + ": " + std::strerror(written ? errno : writeError);
    }
    if (const int error = platform::replaceFile(temporary, path); error != 0) {
        platform::removePath(temporary);
        return "cannot replace " + path + " (error " + std::to_string(error) + ")";
    }
    return std::string();
}

}  // namespace tarnwick
