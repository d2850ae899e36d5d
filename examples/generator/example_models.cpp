#include "example_models.hpp"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "tarvik_core/errors.hpp"

namespace tarvik_examples {

namespace {

std::vector<std::uint64_t> seed_range(std::uint64_t first, std::uint64_t count) {
    std::vector<std::uint64_t> seeds(count);
    std::iota(seeds.begin(), seeds.end(), first);
    return seeds;
}

}  // namespace

std::vector<std::uint64_t> training_seeds() { return seed_range(1000, 8); }

std::vector<std::uint64_t> evaluation_seeds() { return seed_range(0, 20); }

double Evaluation::mean_return() const {
    if (returns.empty()) throw tarvik_core::ValueError("an evaluation without episodes has no mean return");
    return std::accumulate(returns.begin(), returns.end(), 0.0) / static_cast<double>(returns.size());
}

double Evaluation::min_return() const {
    if (returns.empty()) throw tarvik_core::ValueError("an evaluation without episodes has no smallest return");
    return *std::min_element(returns.begin(), returns.end());
}

std::string Evaluation::child_shares() const {
    const std::int64_t total = std::accumulate(child_steps.begin(), child_steps.end(), std::int64_t{0});
    std::string text;
    for (std::size_t i = 0; i < children.size() && i < child_steps.size(); ++i) {
        char share[32];
        std::snprintf(share, sizeof share, "%.1f%%",
                      total > 0 ? 100.0 * static_cast<double>(child_steps[i]) / static_cast<double>(total) : 0.0);
        text += (i ? ", " : "") + children[i] + " " + share;
    }
    return text;
}

Evaluation evaluate(std::string label, std::vector<std::string> children, const std::vector<std::uint64_t>& seeds,
                    const EpisodeFn& episode) {
    Evaluation evaluation;
    evaluation.label = std::move(label);
    evaluation.child_steps.assign(children.size(), 0);
    evaluation.children = std::move(children);
    evaluation.seeds = seeds;
    for (std::uint64_t seed : seeds) {
        const EpisodeStats stats = episode(seed);
        evaluation.returns.push_back(stats.episode_return);
        if (stats.child_steps.size() != evaluation.child_steps.size())
            throw tarvik_core::ValueError("an episode reported steps for " + std::to_string(stats.child_steps.size()) +
                                          " children, expected " + std::to_string(evaluation.child_steps.size()));
        for (std::size_t i = 0; i < stats.child_steps.size(); ++i) evaluation.child_steps[i] += stats.child_steps[i];
    }
    return evaluation;
}

void expect_children(const tarvik_core::Orchestration& orchestration, std::string_view agent,
                     std::span<const std::string_view> expected) {
    const std::vector<std::string> children = orchestration.get_node_by_name(agent)->get_children();
    const std::vector<std::string> wanted(expected.begin(), expected.end());
    if (children != wanted)
        throw tarvik_core::ValueError(orchestration.source() + ": agent '" + std::string(agent) + "' has the children " +
                                      tarvik_core::repr_names(children) + ", but the example's rules expect " +
                                      tarvik_core::repr_names(wanted));
}

double mean_score(const std::vector<std::uint64_t>& seeds, const EpisodeFn& episode) {
    if (seeds.empty()) throw tarvik_core::ValueError("a mean score needs at least one seed");
    double total = 0.0;
    for (std::uint64_t seed : seeds) total += episode(seed).score;
    return total / static_cast<double>(seeds.size());
}

}  // namespace tarvik_examples
