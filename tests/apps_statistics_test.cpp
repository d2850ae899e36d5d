// Statistics of the run host: percentiles, spreads and the run summary.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "tarvik_apps/episode_runner.hpp"
#include "tarvik_apps/statistics.hpp"
#include "tarvik_core/errors.hpp"

namespace {

using namespace tarvik_apps;

std::vector<double> one_to(int n) {
    std::vector<double> values(static_cast<std::size_t>(n));
    std::iota(values.begin(), values.end(), 1.0);
    return values;
}

struct PercentileCase {
    const char* name;
    std::vector<double> samples;
    double p;
    double expected;
};

TEST(Percentile, InterpolatesBetweenTheNearestRanks) {
    const std::vector<PercentileCase> cases = {
        {"median of an even count", {1, 2, 3, 4}, 50, 2.5},
        {"median of an odd count", {5, 1, 3}, 50, 3},
        {"p99 of 1..100", one_to(100), 99, 99.01},
        {"p50 of 1..100", one_to(100), 50, 50.5},
        {"p0 is the minimum", {7, 3, 9}, 0, 3},
        {"p100 is the maximum", {7, 3, 9}, 100, 9},
        {"a single sample", {42}, 99, 42},
        {"p25 between unequal neighbours", {10, 20, 40, 80, 160}, 25, 20},
        {"p90 between unequal neighbours", {10, 20, 40, 80, 160}, 90, 128},
        {"ties", {2, 2, 2, 2}, 73, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(percentile(c.samples, c.p), c.expected, 1e-9);
    }
}

TEST(Percentile, RefusesEmptySamplesAndPercentilesOutOfRange) {
    try {
        percentile({}, 50);
        FAIL() << "no error for an empty sample";
    } catch (const tarvik_core::ValueError& e) {
        EXPECT_STREQ(e.what(), "percentile of an empty sample");
    }
    for (double p : {-0.5, 100.5, std::numeric_limits<double>::quiet_NaN()}) {
        SCOPED_TRACE(p);
        try {
            percentile({1, 2}, p);
            FAIL() << "no error";
        } catch (const tarvik_core::ValueError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("percentile must be between 0 and 100, got ", 0), 0u) << e.what();
        }
    }
}

TEST(LatencySummary, ReportsMedianP99AndMaximumOfUnsortedSamples) {
    std::vector<double> samples = one_to(1000);
    std::reverse(samples.begin(), samples.end());
    const LatencySummary summary = summarize_latencies(samples);
    EXPECT_NEAR(summary.p50, 500.5, 1e-9);
    EXPECT_NEAR(summary.p99, 990.01, 1e-9);
    EXPECT_EQ(summary.max, 1000);
    EXPECT_THROW(summarize_latencies({}), tarvik_core::ValueError);
}

TEST(Spread, GivesMeanMinimumAndMaximum) {
    const Spread spread = spread_of({-3.5, 10.0, 0.5});
    EXPECT_DOUBLE_EQ(spread.mean, 7.0 / 3.0);
    EXPECT_EQ(spread.min, -3.5);
    EXPECT_EQ(spread.max, 10.0);
    EXPECT_THROW(spread_of({}), tarvik_core::ValueError);
}

LatencyHistogram histogram_of(const std::vector<double>& values) {
    LatencyHistogram histogram;
    for (double value : values) histogram.add(value);
    return histogram;
}

struct Distribution {
    const char* name;
    std::function<double(std::mt19937_64&)> draw;
};

// Far beyond the exact samples, the buckets answer: p50 and p99 within 1% of
// the exact percentiles of the same values, the maximum exact.
TEST(LatencyHistogram, PercentilesOfLongRunsStayWithinOnePercent) {
    const std::vector<Distribution> distributions = {
        {"uniform", [](std::mt19937_64& rng) { return std::uniform_real_distribution<double>(100, 1000)(rng); }},
        {"lognormal", [](std::mt19937_64& rng) { return std::lognormal_distribution<double>(5.7, 0.6)(rng); }},
        {"exponential tail", [](std::mt19937_64& rng) { return 40 + std::exponential_distribution<double>(0.01)(rng); }},
        {"two modes", [](std::mt19937_64& rng) {
             return std::bernoulli_distribution(0.95)(rng) ? std::normal_distribution<double>(300, 20)(rng)
                                                           : std::normal_distribution<double>(20000, 500)(rng);
         }},
        {"whole microseconds", [](std::mt19937_64& rng) { return std::floor(std::uniform_real_distribution<double>(1, 40)(rng)); }},
    };
    for (const auto& distribution : distributions) {
        SCOPED_TRACE(distribution.name);
        std::mt19937_64 rng(7);
        std::vector<double> values(200000);
        for (auto& value : values) value = std::max(0.0, distribution.draw(rng));
        const LatencyHistogram histogram = histogram_of(values);
        std::sort(values.begin(), values.end());
        for (double p : {50.0, 90.0, 99.0, 99.9}) {
            const double exact = percentile_of_sorted(values, p);
            EXPECT_LT(std::abs(histogram.percentile(p) - exact), 0.01 * exact) << "p" << p;
        }
        EXPECT_EQ(histogram.summary().max, values.back());
        EXPECT_EQ(histogram.percentile(0), values.front());
        EXPECT_EQ(histogram.count(), 200000);
    }
}

TEST(LatencyHistogram, ShortRunsAreExactAndOutOfRangeValuesStayBounded) {
    // Up to the exact sample limit, the same numbers as the exact percentile.
    std::vector<double> values = one_to(static_cast<int>(LatencyHistogram::kExactSamples));
    std::reverse(values.begin(), values.end());
    const LatencyHistogram exact = histogram_of(values);
    EXPECT_EQ(exact.percentile(99), percentile(values, 99));
    EXPECT_EQ(exact.percentile(37.5), percentile(values, 37.5));

    // Beyond the buckets' range both ways: estimates stay within the exact
    // minimum and maximum.
    LatencyHistogram extremes;
    for (int i = 0; i < 5000; ++i) extremes.add(i % 2 ? 1e-9 : 1e15);
    EXPECT_EQ(extremes.percentile(0), 1e-9);
    EXPECT_EQ(extremes.percentile(100), 1e15);
    EXPECT_EQ(extremes.percentile(25), 1e-9);
    EXPECT_EQ(extremes.percentile(75), 1e15);

    LatencyHistogram histogram;
    for (double bad : {-1.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()})
        EXPECT_THROW(histogram.add(bad), tarvik_core::ValueError) << bad;
    EXPECT_THROW(histogram.summary(), tarvik_core::ValueError);
}

EpisodeResult episode(double episode_return, std::int64_t length, std::vector<AgentActCount> acted) {
    EpisodeResult result;
    result.episode_return = episode_return;
    result.length = length;
    result.acted = std::move(acted);
    return result;
}

TEST(RunSummary, SumsStepsAndActingCountsOverEpisodes) {
    const std::vector<EpisodeResult> episodes = {
        episode(10.0, 10, {{"top", 10}, {"left", 7}, {"right", 3}}),
        episode(30.0, 30, {{"top", 30}, {"left", 30}, {"right", 0}}),
    };
    const RunSummary summary = summarize_run(episodes, histogram_of({100, 300, 200}), 0.5);
    EXPECT_EQ(summary.episodes, 2);
    EXPECT_EQ(summary.total_steps, 40);
    EXPECT_DOUBLE_EQ(summary.mean_length, 20.0);
    EXPECT_DOUBLE_EQ(summary.returns.mean, 20.0);
    EXPECT_DOUBLE_EQ(summary.returns.min, 10.0);
    EXPECT_DOUBLE_EQ(summary.returns.max, 30.0);
    EXPECT_DOUBLE_EQ(summary.steps_per_second, 80.0);
    EXPECT_DOUBLE_EQ(summary.execute_micros.p50, 200.0);
    EXPECT_DOUBLE_EQ(summary.execute_micros.max, 300.0);
    ASSERT_EQ(summary.acted.size(), 3u);
    EXPECT_EQ(summary.acted[0].agent, "top");
    EXPECT_EQ(summary.acted[0].steps, 40);
    EXPECT_EQ(summary.acted[1].agent, "left");
    EXPECT_EQ(summary.acted[1].steps, 37);
    EXPECT_EQ(summary.acted[2].agent, "right");
    EXPECT_EQ(summary.acted[2].steps, 3);
}

TEST(RunSummary, ZeroWallTimeGivesNoThroughputInsteadOfInfinity) {
    const RunSummary summary = summarize_run({episode(1.0, 1, {})}, histogram_of({5}), 0.0);
    EXPECT_EQ(summary.steps_per_second, 0.0);
}

TEST(RunSummary, NeedsAtLeastOneEpisode) {
    try {
        summarize_run({}, histogram_of({1.0}), 1.0);
        FAIL() << "no error";
    } catch (const tarvik_core::ValueError& e) {
        EXPECT_STREQ(e.what(), "a run summary needs at least one completed episode");
    }
}

}  // namespace
