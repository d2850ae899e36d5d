// Percentiles and spreads.
#include "tarvik_apps/statistics.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "tarvik_core/errors.hpp"

namespace tarvik_apps {

double percentile_of_sorted(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) throw tarvik_core::ValueError("percentile of an empty sample");
    if (!(p >= 0.0 && p <= 100.0))
        throw tarvik_core::ValueError("percentile must be between 0 and 100, got " + std::to_string(p));
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

Spread spread_of(const std::vector<double>& values) {
    if (values.empty()) throw tarvik_core::ValueError("mean of an empty sample");
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    const double sum = std::accumulate(values.begin(), values.end(), 0.0);
    return Spread{.mean = sum / static_cast<double>(values.size()), .min = *low, .max = *high};
}

}  // namespace tarvik_apps
