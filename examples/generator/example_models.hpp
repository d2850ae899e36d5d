// What the generator makes for one example orchestration, and the pieces the
// two examples share: episode statistics, seeds, evaluation.
//
// Each example (cartpole_example.hpp, pendulum_example.hpp) simulates its
// whole orchestration in plain C++ against the built-in simulator, mirroring
// the runtime's decisions, tunes its models' parameters by a cross-entropy
// search on the training seeds, and evaluates the result on separate
// evaluation seeds. The result carries the models ready to write.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cross_entropy.hpp"
#include "linear_policy.hpp"
#include "tarvik_core/orchestration.hpp"

namespace tarvik_examples {

// Seeds the search scores candidates on, and the seeds the result is judged
// on; the two sets do not overlap.
std::vector<std::uint64_t> training_seeds();
std::vector<std::uint64_t> evaluation_seeds();

// One simulated episode.
struct EpisodeStats {
    double episode_return = 0.0;
    // What the search maximises (the return, possibly with a shaping term).
    double score = 0.0;
    // Steps on which each child of the top agent acted, in child order.
    std::vector<std::int64_t> child_steps;
};

using EpisodeFn = std::function<EpisodeStats(std::uint64_t seed)>;

struct Evaluation {
    std::string label;  // which starts: "simulator starts", "hard starts"
    std::vector<std::string> children;
    std::vector<std::uint64_t> seeds;
    std::vector<double> returns;
    std::vector<std::int64_t> child_steps;  // summed over the episodes

    double mean_return() const;
    double min_return() const;
    // "balance 93.1%, recenter 5.2%, rescue 1.7%"
    std::string child_shares() const;
};

Evaluation evaluate(std::string label, std::vector<std::string> children, const std::vector<std::uint64_t>& seeds,
                    const EpisodeFn& episode);
// The mean score over `seeds`.
double mean_score(const std::vector<std::uint64_t>& seeds, const EpisodeFn& episode);

// The simulation of an example answers with child positions in the order
// its rules know; this checks that the orchestration file lists the
// children of `agent` in that same order (ValueError naming both lists).
void expect_children(const tarvik_core::Orchestration& orchestration, std::string_view agent,
                     std::span<const std::string_view> expected);

struct ExampleResult {
    std::string name;
    std::vector<LinearPolicy> models;
    std::size_t parameters = 0;
    std::size_t training_episodes = 0;
    CrossEntropyOptions search_options;
    CrossEntropyResult search;
    // The first is on the simulator's own starts from evaluation_seeds().
    std::vector<Evaluation> evaluations;
};

}  // namespace tarvik_examples
