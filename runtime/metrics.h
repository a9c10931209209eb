// SPDX-License-Identifier: Apache-2.0
// metrics.h - a process's counters, gauges and histograms, and their text in
// the exposition format that monitoring systems read (Prometheus, and
// node_exporter's textfile collector, which reads it from a file).
//
// A family is declared once with its name, type and help line; its samples
// are told apart by labels, given already written as they go between the
// braces (`verdict="virus"`, see labelPair). The text lists the families in
// the order declared and, within one, the samples in label order, so that it
// reads the same from one write to the next. Every call locks; any thread
// may count while another renders.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "runtime/sync.h"

namespace tarnwick {

// MetricType - what a family's numbers mean.
enum class MetricType { Counter, Gauge, Histogram };

class Metrics {
  public:
    Metrics() = default;
    Metrics(const Metrics&) = delete;
    Metrics& operator=(const Metrics&) = delete;

    // declare - a family; buckets are the upper bounds of a histogram, in
    // ascending order (+Inf is added). Declaring a name again changes nothing.
    void declare(const std::string& name, MetricType type, const std::string& help,
                 std::vector<double> buckets = {});
    // add - adds delta to the sample of name with labels (made at 0 when new,
    // so add(name, labels, 0) shows a sample before it is first counted).
    // Nothing for a name not declared.
    void add(const std::string& name, const std::string& labels, double delta = 1);
    // set - the sample of name with labels becomes value.
    void set(const std::string& name, const std::string& labels, double value);
    // observe - one observation of a histogram.
    void observe(const std::string& name, double value);
    // exposition - every family as text, each line ending in a line feed.
    std::string exposition() const;

  private:
    struct Family {
        std::string name;
        MetricType type = MetricType::Counter;
        std::string help;
        std::map<std::string, double> samples;  // by labels
        std::vector<double> bounds;
        std::vector<std::uint64_t> bucketCounts;  // per bound, not cumulative
        std::uint64_t count = 0;
        double sum = 0;
    };
    Family* find(const std::string& name);

    mutable SimpleMutex mutex_;
    std::vector<Family> families_;
};

// labelPair - `name="value"` with the value's backslashes, double quotes and
// line feeds escaped as the format asks.
std::string labelPair(const std::string& name, const std::string& value);

// formatSampleValue - a number as the format writes it: whole numbers
// without a fraction, others with up to 15 significant digits.
std::string formatSampleValue(double value);

// writeFileReplacing - writes text to path by way of a temporary file beside
// it (path + ".tmp", which a collector reading only *.prom skips) that then
// replaces path, so that a reader never sees half a file. Empty when done,
// else what failed, for one line.
std::string writeFileReplacing(const std::string& path, const std::string& text);

}  // namespace tarnwick
