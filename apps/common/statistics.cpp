// Percentiles and spreads.
#include "tarvik_apps/statistics.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "tarvik_core/errors.hpp"

namespace tarvik_apps {

namespace {

constexpr std::size_t kRegularBuckets =
    static_cast<std::size_t>(LatencyHistogram::kMaxExponent - LatencyHistogram::kMinExponent + 1) *
    LatencyHistogram::kSubBuckets;
// Bucket 0 holds values below the range, the last one values above it.
constexpr std::size_t kUnderflow = 0;
constexpr std::size_t kOverflow = kRegularBuckets + 1;

// Bucket of a finite, non-negative value: its power of two (frexp's exponent,
// the mantissa in [0.5, 1)) picks the row, the mantissa the linear slot.
std::size_t bucket_of(double value) {
    int exponent = 0;
    const double mantissa = std::frexp(value, &exponent);
    if (value == 0.0 || exponent < LatencyHistogram::kMinExponent) return kUnderflow;
    if (exponent > LatencyHistogram::kMaxExponent) return kOverflow;
    const auto slot = static_cast<std::size_t>((mantissa - 0.5) * 2.0 * LatencyHistogram::kSubBuckets);
    return 1 + static_cast<std::size_t>(exponent - LatencyHistogram::kMinExponent) * LatencyHistogram::kSubBuckets +
           std::min(slot, static_cast<std::size_t>(LatencyHistogram::kSubBuckets - 1));
}

// The middle of a regular bucket's span.
double bucket_midpoint(std::size_t bucket) {
    const std::size_t regular = bucket - 1;
    const int exponent = static_cast<int>(regular / LatencyHistogram::kSubBuckets) + LatencyHistogram::kMinExponent;
    const double slot = static_cast<double>(regular % LatencyHistogram::kSubBuckets);
    return std::ldexp(0.5 + (slot + 0.5) / (2.0 * LatencyHistogram::kSubBuckets), exponent);
}

void check_percentile(double p) {
    if (!(p >= 0.0 && p <= 100.0))
        throw tarvik_core::ValueError("percentile must be between 0 and 100, got " + std::to_string(p));
}

}  // namespace

double percentile_of_sorted(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) throw tarvik_core::ValueError("percentile of an empty sample");
    check_percentile(p);
    // Rank p/100 * (n - 1), between positions `below` and `below + 1`.
    const double rank = p / 100.0 * static_cast<double>(sorted.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(rank));
    if (below + 1 >= sorted.size()) return sorted.back();
    const double fraction = rank - static_cast<double>(below);
    return sorted[below] + fraction * (sorted[below + 1] - sorted[below]);
}

double percentile(std::vector<double> samples, double p) {
    std::sort(samples.begin(), samples.end());
    return percentile_of_sorted(samples, p);
}

LatencySummary summarize_latencies(std::vector<double> samples) {
    if (samples.empty()) throw tarvik_core::ValueError("latency summary of an empty sample");
    std::sort(samples.begin(), samples.end());
    return LatencySummary{.p50 = percentile_of_sorted(samples, 50.0),
                          .p99 = percentile_of_sorted(samples, 99.0),
                          .max = samples.back()};
}

LatencyHistogram::LatencyHistogram() : buckets_(kRegularBuckets + 2, 0) { exact_.reserve(kExactSamples); }

void LatencyHistogram::add(double value) {
    if (!(value >= 0.0) || !std::isfinite(value))
        throw tarvik_core::ValueError("a latency must be finite and not negative, got " + std::to_string(value));
    if (exact_.size() < kExactSamples) exact_.push_back(value);
    ++buckets_[bucket_of(value)];
    min_ = count_ == 0 ? value : std::min(min_, value);
    max_ = count_ == 0 ? value : std::max(max_, value);
    ++count_;
}

double LatencyHistogram::order_statistic(std::int64_t rank) const {
    if (rank <= 0) return min_;
    if (rank >= count_ - 1) return max_;
    std::int64_t seen = 0;
    for (std::size_t bucket = 0; bucket < buckets_.size(); ++bucket) {
        seen += buckets_[bucket];
        if (seen <= rank) continue;
        if (bucket == kUnderflow) return min_;
        if (bucket == kOverflow) return max_;
        return std::clamp(bucket_midpoint(bucket), min_, max_);
    }
    return max_;
}

double LatencyHistogram::percentile(double p) const {
    if (count_ == 0) throw tarvik_core::ValueError("percentile of an empty sample");
    check_percentile(p);
    if (count_ <= static_cast<std::int64_t>(kExactSamples)) {
        std::vector<double> sorted = exact_;
        std::sort(sorted.begin(), sorted.end());
        return percentile_of_sorted(sorted, p);
    }
    // The same interpolation as percentile_of_sorted, between two estimates.
    const double rank = p / 100.0 * static_cast<double>(count_ - 1);
    const auto below = static_cast<std::int64_t>(std::floor(rank));
    const double low = order_statistic(below);
    if (below + 1 >= count_) return low;
    return low + (rank - static_cast<double>(below)) * (order_statistic(below + 1) - low);
}

LatencySummary LatencyHistogram::summary() const {
    if (count_ == 0) throw tarvik_core::ValueError("latency summary of an empty sample");
    return LatencySummary{.p50 = percentile(50.0), .p99 = percentile(99.0), .max = max_};
}

Spread spread_of(const std::vector<double>& values) {
    if (values.empty()) throw tarvik_core::ValueError("mean of an empty sample");
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    const double sum = std::accumulate(values.begin(), values.end(), 0.0);
    return Spread{.mean = sum / static_cast<double>(values.size()), .min = *low, .max = *high};
}

}  // namespace tarvik_apps
