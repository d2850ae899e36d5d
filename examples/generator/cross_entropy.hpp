// The cross-entropy method: a small, deterministic search for the parameters
// of the examples' models.
//
// Each round draws `population` candidates from a normal distribution around
// the current mean (one spread per parameter), scores them, and moves the mean
// to that of the `elites` best. Each spread moves only part of the way to the
// elites' spread (`spread_memory` keeps a share of the old one): the elites'
// spread alone shrinks faster than the mean travels, and the search would
// then settle before reaching the top. The current mean is always scored too,
// so the best score never gets worse from one round to the next.
// Use it when the parameters are few and scoring is a simulation: it needs no
// gradients and copes with scores that jump (episodes that end early).
//
// Deterministic: the draws come from a seeded std::mt19937_64 turned into
// normal numbers here (not through std::normal_distribution, whose results
// differ between standard libraries), and ties between equal scores go to the
// earlier candidate. The same arguments give the same result everywhere.
//
// Errors: inconsistent options (no candidates, more elites than candidates,
// a spread memory outside [0, 1), spreads and mean of different lengths, a
// negative spread) are a
// tarvik_core::ValueError; a failure of `score` propagates unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <vector>

namespace tarvik_examples {

struct CrossEntropyOptions {
    int rounds = 10;
    int population = 32;
    int elites = 6;
    // Share of the previous spread kept each round, in [0, 1).
    double spread_memory = 0.5;
    // Spreads never shrink below this, so the search keeps exploring a little.
    double min_spread = 0.0;
    std::uint64_t seed = 1;
};

struct CrossEntropyResult {
    std::vector<double> best;  // the best candidate seen
    double best_score = 0.0;
    int evaluations = 0;
    // The best score after each round.
    std::vector<double> round_best;
};

using ScoreFn = std::function<double(std::span<const double>)>;

CrossEntropyResult cross_entropy_search(std::vector<double> mean, std::vector<double> spread, const ScoreFn& score,
                                        const CrossEntropyOptions& options);

// Standard normal numbers from a seeded generator, the same on every platform.
class NormalDraws {
public:
    explicit NormalDraws(std::uint64_t seed) : rng_(seed) {}
    double next();

private:
    std::mt19937_64 rng_;
    bool has_spare_ = false;
    double spare_ = 0.0;
};

}  // namespace tarvik_examples
