#include "cross_entropy.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <string>

#include "tarvik_core/errors.hpp"

namespace tarvik_examples {

double NormalDraws::next() {
    if (has_spare_) {
        has_spare_ = false;
        return spare_;
    }
    // Box-Muller over the top 53 bits of two draws; u1 lies in (0, 1] so the
    // logarithm stays finite.
    const double u1 = (static_cast<double>(rng_() >> 11) + 1.0) * 0x1.0p-53;
    const double u2 = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
    const double radius = std::sqrt(-2.0 * std::log(u1));
    const double angle = 2.0 * std::numbers::pi * u2;
    spare_ = radius * std::sin(angle);
    has_spare_ = true;
    return radius * std::cos(angle);
}

CrossEntropyResult cross_entropy_search(std::vector<double> mean, std::vector<double> spread, const ScoreFn& score,
                                        const CrossEntropyOptions& options) {
    if (options.population < 1 || options.elites < 1 || options.elites > options.population + 1 || options.rounds < 0)
        throw tarvik_core::ValueError("cross-entropy search needs rounds >= 0, population >= 1 and 1 <= elites <= "
                                      "population + 1; got rounds " + std::to_string(options.rounds) +
                                      ", population " + std::to_string(options.population) + ", elites " +
                                      std::to_string(options.elites));
    if (!(options.spread_memory >= 0.0 && options.spread_memory < 1.0))
        throw tarvik_core::ValueError("cross-entropy search needs a spread memory in [0, 1), got " +
                                      std::to_string(options.spread_memory));
    if (spread.size() != mean.size())
        throw tarvik_core::ValueError("cross-entropy search got " + std::to_string(mean.size()) + " parameters but " +
                                      std::to_string(spread.size()) + " spreads");
    for (double s : spread)
        if (!(s >= 0.0)) throw tarvik_core::ValueError("cross-entropy search spreads must be >= 0, got " + std::to_string(s));

    // A NaN would break the ranking (it compares false with everything), so
    // it is refused where it appears.
    const auto checked_score = [&score](std::span<const double> params) {
        const double s = score(params);
        if (std::isnan(s)) throw tarvik_core::ValueError("cross-entropy search: a candidate scored NaN");
        return s;
    };
    NormalDraws draws(options.seed);
    const std::size_t dims = mean.size();
    CrossEntropyResult result;
    result.best = mean;
    result.best_score = checked_score(mean);
    result.evaluations = 1;

    struct Candidate {
        std::vector<double> params;
        double score;
    };
    for (int round = 0; round < options.rounds; ++round) {
        std::vector<Candidate> candidates;
        candidates.reserve(static_cast<std::size_t>(options.population) + 1);
        // The mean itself competes, scored once per round.
        candidates.push_back({mean, round == 0 ? result.best_score : checked_score(mean)});
        if (round > 0) ++result.evaluations;
        for (int k = 0; k < options.population; ++k) {
            std::vector<double> params(dims);
            for (std::size_t d = 0; d < dims; ++d) params[d] = mean[d] + spread[d] * draws.next();
            const double s = checked_score(params);
            ++result.evaluations;
            candidates.push_back({std::move(params), s});
        }
        // Stable: among equal scores the earlier candidate ranks first.
        std::stable_sort(candidates.begin(), candidates.end(),
                         [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
        if (candidates.front().score > result.best_score) {
            result.best_score = candidates.front().score;
            result.best = candidates.front().params;
        }
        const auto elites = static_cast<std::size_t>(options.elites);
        for (std::size_t d = 0; d < dims; ++d) {
            double sum = 0.0;
            for (std::size_t e = 0; e < elites; ++e) sum += candidates[e].params[d];
            const double m = sum / static_cast<double>(elites);
            double squares = 0.0;
            for (std::size_t e = 0; e < elites; ++e) squares += (candidates[e].params[d] - m) * (candidates[e].params[d] - m);
            mean[d] = m;
            const double elite_spread = std::sqrt(squares / static_cast<double>(elites));
            spread[d] = std::max(options.spread_memory * spread[d] + (1.0 - options.spread_memory) * elite_spread,
                                 options.min_spread);
        }
        result.round_best.push_back(result.best_score);
    }
    return result;
}

}  // namespace tarvik_examples
