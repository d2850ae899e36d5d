// Statistics for the run host: percentiles of step latencies and the
// summary of a run's episodes.
//
// percentile() interpolates linearly between the two nearest ranks of the
// sorted samples (the 50th percentile of 1, 2, 3, 4 is 2.5), so small samples
// give values between observations rather than jumping from one to the next.
//
// Errors: an empty sample or a percentile outside [0, 100] is a ValueError
// naming the argument.
#pragma once

#include <cstdint>
#include <vector>

namespace tarvik_apps {

// The p-th percentile (0 <= p <= 100) of samples sorted in ascending order.
double percentile_of_sorted(const std::vector<double>& sorted, double p);
// The same for samples in any order (sorts a copy).
double percentile(std::vector<double> samples, double p);

// Percentiles and maximum of one set of samples.
struct LatencySummary {
    double p50 = 0.0;
    double p99 = 0.0;
    double max = 0.0;
};
// ValueError for an empty sample.
LatencySummary summarize_latencies(std::vector<double> samples);

// Mean, smallest and largest of a set of values.
struct Spread {
    double mean = 0.0;
    double min = 0.0;
    double max = 0.0;
};
// ValueError for an empty sample.
Spread spread_of(const std::vector<double>& values);

}  // namespace tarvik_apps
