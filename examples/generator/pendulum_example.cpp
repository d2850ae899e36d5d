#include "pendulum_example.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <tuple>
#include <utility>

#include "pendulum_rules.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/spaces.hpp"
#include "tarvik_sims/simulator.hpp"

namespace tarvik_examples::pendulum {

namespace {

// The readings a step provides, in the order Mirror::decide fills them.
constexpr std::array<std::string_view, 3> kReadingNames = {"cos_theta", "sin_theta", "theta_dot"};

// The bounds of the stabilising skill's action space.
std::pair<double, double> stabilize_action_range(const tarvik_core::Orchestration& orchestration) {
    const auto space = orchestration.get_node_by_name(kPhaseChildren[kStabilize])->get_action_space();
    const auto* box = dynamic_cast<const tarvik_core::spaces::Box*>(space.get());
    if (!box || box->type_name() != "Box" || box->flat_dim() != 1 || !box->is_bounded())
        throw tarvik_core::ValueError("agent 'stabilize' needs a bounded one-number Box action space, has " +
                                      tarvik_core::spaces::repr(space));
    return {box->low().item(0), box->high().item(0)};
}

}  // namespace

std::vector<double> initial_parameters() { return {-4.0, -4.0, 0.0}; }

std::vector<double> initial_spreads() { return {2.0, 2.0, 0.1}; }

CrossEntropyOptions search_options() {
    return {.rounds = 10, .population = 16, .elites = 4, .min_spread = 0.01, .seed = 20240612};
}

LinearPolicy stabilize_policy(std::span<const double> parameters) {
    if (parameters.size() != kParameterCount)
        throw tarvik_core::ValueError("the pendulum model takes " + std::to_string(kParameterCount) +
                                      " parameters, got " + std::to_string(parameters.size()));
    return LinearPolicy{
        .agent = "stabilize",
        .summary = "pendulum stabilize skill: torque mean linear in sin_theta and theta_dot, then a fixed log spread",
        .inputs = 2,
        .outputs = 2,
        .mask_size = 2,
        .weight = {static_cast<float>(parameters[0]), 0.0f, static_cast<float>(parameters[1]), 0.0f},
        .bias = {static_cast<float>(parameters[2]), kLogSpread}};
}

Mirror::Mirror(const tarvik_core::Orchestration& orchestration, LinearPolicy stabilize)
    : stabilize_(std::move(stabilize)), plan_(orchestration, to_strings(kReadingNames), to_strings(kStabilizeSensors)) {
    expect_children(orchestration, "phase", kPhaseChildren);
    stabilize_.check();
    if (static_cast<std::size_t>(stabilize_.inputs) != plan_.size())
        throw tarvik_core::ValueError("the stabilize model takes " + std::to_string(stabilize_.inputs) +
                                      " inputs but its teacher shows it " + std::to_string(plan_.size()) + " sensors");
    std::tie(low_, high_) = stabilize_action_range(orchestration);
}

Decision Mirror::decide(double cos_theta, double sin_theta, double theta_dot) const {
    const std::array<float, kReadingNames.size()> readings = {to_float32(cos_theta), to_float32(sin_theta), to_float32(theta_dot)};
    Decision decision;
    decision.child = phase_choice(readings[0]);
    if (decision.child == kSwingUp) {
        decision.torque = to_float32(energy_pump_torque(readings[0], readings[2]));
        return decision;
    }
    std::array<float, 2> observation{};
    std::array<float, 2> outputs{};
    plan_.fill(readings, observation);
    stabilize_.logits(observation, outputs);
    // Decoding keeps the mean in [-1, 1]; the action is then mapped onto the
    // action space's range, in double, and stored as float32.
    const double mean = std::clamp(outputs[0], -1.0f, 1.0f);
    decision.torque = to_float32(std::clamp(low_ + (mean + 1.0) * (high_ - low_) / 2.0, low_, high_));
    return decision;
}

EpisodeStats Mirror::run_episode(std::uint64_t seed) const {
    tarvik_sims::Pendulum sim;
    tarvik_core::Dict readings = sim.reset(seed);
    EpisodeStats stats;
    stats.child_steps.assign(kPhaseChildren.size(), 0);
    for (;;) {
        const Decision decision = decide(readings.at("cos_theta").as_double(), readings.at("sin_theta").as_double(),
                                         readings.at("theta_dot").as_double());
        ++stats.child_steps[static_cast<std::size_t>(decision.child)];
        tarvik_sims::StepOutcome outcome = sim.step(tarvik_core::Value(static_cast<double>(decision.torque)));
        stats.episode_return += outcome.reward;
        if (outcome.terminated || outcome.truncated) break;
        readings = std::move(outcome.observation);
    }
    stats.score = stats.episode_return;
    return stats;
}

ExampleResult make_models(const std::filesystem::path& orchestration_file) {
    const auto orchestration = tarvik_core::Orchestration::load(orchestration_file.string());
    const auto training = training_seeds();
    const auto score = [&](std::span<const double> parameters) {
        const Mirror mirror(*orchestration, stabilize_policy(parameters));
        return mean_score(training, [&](std::uint64_t seed) { return mirror.run_episode(seed); });
    };

    ExampleResult result;
    result.name = "pendulum";
    result.parameters = kParameterCount;
    result.training_episodes = training.size();
    result.search_options = search_options();
    result.search = cross_entropy_search(initial_parameters(), initial_spreads(), score, result.search_options);

    const Mirror mirror(*orchestration, stabilize_policy(result.search.best));
    result.evaluations.push_back(evaluate("simulator starts", to_strings(kPhaseChildren), evaluation_seeds(),
                                          [&](std::uint64_t seed) { return mirror.run_episode(seed); }));
    result.models = {mirror.stabilize()};
    return result;
}

}  // namespace tarvik_examples::pendulum
