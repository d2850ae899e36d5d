// Statistics for the run host: percentiles of step latencies and the
// summary of a run's episodes.
//
// percentile() interpolates linearly between the two nearest ranks of the
// sorted samples (the 50th percentile of 1, 2, 3, 4 is 2.5), so small samples
// give values between observations rather than jumping from one to the next.
//
// LatencyHistogram holds any number of latencies in fixed memory (about
// 85 KB), so a run of a billion steps costs what a run of ten does. It keeps
// the first kExactSamples values as they are, and answers exactly while the
// run is no longer than that; beyond, it answers from log-linear buckets
// (kSubBuckets per power of two), whose midpoints are within
// kRelativeError of every value they hold. The minimum and maximum are
// always exact.
//
// Errors: an empty sample or a percentile outside [0, 100] is a ValueError
// naming the argument; so is a latency that is negative or not finite.
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

class LatencyHistogram {
public:
    // Values kept as they are before the buckets take over.
    static constexpr std::size_t kExactSamples = 4096;
    // Buckets per power of two: a bucket spans at most 1/kSubBuckets of its
    // smallest value, so its midpoint is within half that of any value in it.
    static constexpr int kSubBuckets = 128;
    static constexpr double kRelativeError = 0.5 / kSubBuckets;
    // Values in [2^(kMinExponent - 1), 2^kMaxExponent) get their own buckets
    // (about half a nanosecond to 12 days, counted in microseconds); smaller
    // ones share one bucket that the exact minimum stands for, larger ones one
    // that the exact maximum stands for.
    static constexpr int kMinExponent = -10;
    static constexpr int kMaxExponent = 40;

    LatencyHistogram();

    // ValueError for a negative or non-finite value.
    void add(double value);
    std::int64_t count() const noexcept { return count_; }
    double min() const noexcept { return min_; }
    double max() const noexcept { return max_; }
    // The p-th percentile by the rule of percentile_of_sorted(): exact up to
    // kExactSamples values, within kRelativeError beyond (for values inside
    // the bucket range). ValueError when empty or p is outside [0, 100].
    double percentile(double p) const;
    // p50, p99 and the maximum; ValueError when empty.
    LatencySummary summary() const;

private:
    // The value of the sample with 0-based rank `rank` in sorted order.
    double order_statistic(std::int64_t rank) const;

    std::vector<double> exact_;
    std::vector<std::int64_t> buckets_;
    std::int64_t count_ = 0;
    double min_ = 0.0;
    double max_ = 0.0;
};

// Mean, smallest and largest of a set of values.
struct Spread {
    double mean = 0.0;
    double min = 0.0;
    double max = 0.0;
};
// ValueError for an empty sample.
Spread spread_of(const std::vector<double>& values);

}  // namespace tarvik_apps
