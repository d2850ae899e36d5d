#include "cartpole_example.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include "cartpole_rules.hpp"
#include "tarvik_core/errors.hpp"

namespace tarvik_examples::cartpole {

namespace {

// The readings a step provides, in the order Mirror::decide fills them. A
// model sees each at most once (sensor names are unique), so an observation
// never has more entries than this.
constexpr std::array<std::string_view, 5> kReadingNames = {"x", "x_dot", "theta", "theta_dot", "danger"};
constexpr std::size_t kReadings = kReadingNames.size();

// A two-logit skill whose logit difference (right minus left) is
// gains . observation + bias, split evenly between the two logits.
LinearPolicy skill_policy(std::string agent, std::string summary, const std::array<double, 4>& gains, double bias) {
    LinearPolicy policy{.agent = std::move(agent), .summary = std::move(summary), .inputs = 4, .outputs = 2,
                        .mask_size = 2};
    for (double gain : gains) {
        const auto half = static_cast<float>(gain / 2.0);
        policy.weight.push_back(0.0f - half);  // 0 - half: a zero gain is stored as 0, not -0
        policy.weight.push_back(half);
    }
    const auto half_bias = static_cast<float>(bias / 2.0);
    policy.bias = {0.0f - half_bias, half_bias};
    return policy;
}

std::size_t position_of(const std::vector<std::string>& names, const std::string& name) {
    const auto it = std::find(names.begin(), names.end(), name);
    if (it == names.end())
        throw tarvik_core::ValueError("the supervisor's sensors " + tarvik_core::repr_names(names) + " lack '" + name +
                                      "'");
    return static_cast<std::size_t>(it - names.begin());
}

// The runtime's choice of child: the first maximum of the softmax, computed
// in float32 like the logits.
std::size_t softmax_choice(std::span<const float> logits) {
    std::array<float, 8> exps{};
    if (logits.empty() || logits.size() > exps.size())
        throw tarvik_core::ValueError("the supervisor's choice takes 1 to 8 logits, got " + std::to_string(logits.size()));
    const float top = *std::max_element(logits.begin(), logits.end());
    float total = 0.0f;
    for (std::size_t i = 0; i < logits.size(); ++i) {
        exps[i] = std::exp(logits[i] - top);
        total += exps[i];
    }
    std::size_t best = 0;
    for (std::size_t i = 1; i < logits.size(); ++i)
        if (exps[i] / total > exps[best] / total) best = i;
    return best;
}

// The skill's action: a push the teacher forbids never wins; otherwise the
// first maximum.
std::int64_t masked_push(std::span<const float> logits, double x) {
    if (const auto allowed = edge_pushes(x)) {
        if (allowed->left != allowed->right) return allowed->right ? kPushRight : kPushLeft;
        if (!allowed->left) return kPushLeft;  // everything forbidden: the first position
    }
    return logits[kPushRight] > logits[kPushLeft] ? kPushRight : kPushLeft;
}

// How far the system strayed: a shaping term that lets the search prefer, among
// policies that all last the whole episode, those that keep the cart centred
// and the pole upright.
double off_centre(double x, double theta) {
    const double dx = x / kTrackLimit;
    const double dt = theta / kTiltLimit;
    return dx * dx + dt * dt;
}

double uniform(std::mt19937_64& rng, double low, double high) {
    return low + (high - low) * (static_cast<double>(rng() >> 11) * 0x1.0p-53);
}

}  // namespace

tarvik_sims::CartPole::State hard_start(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    tarvik_sims::CartPole::State state;
    state.x = uniform(rng, -1.5, 1.5);
    state.x_dot = uniform(rng, -0.3, 0.3);
    state.theta = uniform(rng, -0.15, 0.15);
    state.theta_dot = uniform(rng, -0.3, 0.3);
    return state;
}

std::vector<double> initial_parameters() {
    return {0.1, 1.0, 0.2, 0.0,        // balance: x_dot, theta, theta_dot, bias
            0.5, 0.5, 1.0, 0.2, 0.0};  // recenter: x, x_dot, theta, theta_dot, bias
}

std::vector<double> initial_spreads() { return {0.2, 0.3, 0.1, 0.05, 0.3, 0.3, 0.3, 0.1, 0.05}; }

CrossEntropyOptions search_options() {
    return {.rounds = 10, .population = 16, .elites = 4, .min_spread = 0.01, .seed = 20240611};
}

Policies policies_from(std::span<const double> parameters, const std::vector<std::string>& supervisor_sensors) {
    if (parameters.size() != kParameterCount)
        throw tarvik_core::ValueError("the cart-pole models take " + std::to_string(kParameterCount) +
                                      " parameters, got " + std::to_string(parameters.size()));
    Policies policies;
    const auto& p = parameters;
    policies.balance = skill_policy("balance", "cart-pole balance skill: push right when gains . observation + bias > 0",
                                    {0.0, p[0], p[1], p[2]}, p[3]);
    policies.recenter = skill_policy("recenter",
                                     "cart-pole recenter skill: push right when gains . observation + bias > 0",
                                     {p[4], p[5], p[6], p[7]}, p[8]);

    const auto inputs = static_cast<std::int64_t>(supervisor_sensors.size());
    LinearPolicy& supervisor = policies.supervisor;
    supervisor = LinearPolicy{.agent = "supervisor",
                              .summary = "cart-pole supervisor: balance, or recenter when the cart is far out, "
                                         "or rescue when close to a limit",
                              .abs_input = true, .inputs = inputs, .outputs = 3, .mask_size = 3};
    supervisor.weight.assign(static_cast<std::size_t>(inputs) * 3, 0.0f);
    supervisor.weight[position_of(supervisor_sensors, "x") * 3 + kRecenter] = kRecenterSlope;
    supervisor.weight[position_of(supervisor_sensors, "danger") * 3 + kRescue] = kRescueSlope;
    supervisor.bias = {0.0f, -kRecenterSlope * kRecenterFrom, -kRescueSlope * kRescueFrom};
    return policies;
}

Mirror::Mirror(const tarvik_core::Orchestration& orchestration, Policies policies)
    : policies_(std::move(policies)),
      supervisor_plan_(orchestration, to_strings(kReadingNames), all_sensor_names(orchestration)),
      skill_plan_(orchestration, to_strings(kReadingNames), to_strings(kSkillSensors)) {
    expect_children(orchestration, "supervisor", kSupervisorChildren);
    policies_.supervisor.check();
    policies_.balance.check();
    policies_.recenter.check();
    if (static_cast<std::size_t>(policies_.supervisor.inputs) != supervisor_plan_.size())
        throw tarvik_core::ValueError("the supervisor's model takes " + std::to_string(policies_.supervisor.inputs) +
                                      " inputs but the orchestration gives it " +
                                      std::to_string(supervisor_plan_.size()) + " sensors");
}

Decision Mirror::decide(double x, double x_dot, double theta, double theta_dot) const {
    std::array<float, kReadings> readings = {to_float32(x), to_float32(x_dot), to_float32(theta), to_float32(theta_dot), 0.0f};
    readings[4] = to_float32(tilt_danger(readings[0], readings[2]));

    std::array<float, kReadings> observation{};
    std::array<float, 3> choice_logits{};
    const auto supervisor_obs = std::span(observation).first(supervisor_plan_.size());
    supervisor_plan_.fill(readings, supervisor_obs);
    policies_.supervisor.logits(supervisor_obs, choice_logits);

    Decision decision;
    decision.child = softmax_choice(choice_logits);
    if (decision.child == kRescue) {
        decision.action = rescue_push(readings[2], readings[3]);
        return decision;
    }
    const auto skill_obs = std::span(observation).first(skill_plan_.size());
    skill_plan_.fill(readings, skill_obs);
    std::array<float, 2> push_logits{};
    (decision.child == kBalance ? policies_.balance : policies_.recenter).logits(skill_obs, push_logits);
    decision.action = masked_push(push_logits, readings[0]);
    return decision;
}

EpisodeStats Mirror::run_episode(std::uint64_t seed, Start start) const {
    tarvik_sims::CartPole sim;
    tarvik_core::Dict readings = sim.reset(seed);
    if (start == Start::hard) {
        sim.set_state(hard_start(seed));
        readings = sim.observation();
    }
    EpisodeStats stats;
    stats.child_steps.assign(kSupervisorChildren.size(), 0);
    double strayed = 0.0;
    for (;;) {
        const double x = readings.at("x").as_double();
        const double theta = readings.at("theta").as_double();
        const Decision decision = decide(x, readings.at("x_dot").as_double(), theta, readings.at("theta_dot").as_double());
        ++stats.child_steps[decision.child];
        strayed += off_centre(x, theta);
        tarvik_sims::StepOutcome outcome = sim.step(tarvik_core::Value(decision.action));
        stats.episode_return += outcome.reward;
        if (outcome.terminated || outcome.truncated) break;
        readings = std::move(outcome.observation);
    }
    stats.score = stats.episode_return - strayed;
    return stats;
}

ExampleResult make_models(const std::filesystem::path& orchestration_file) {
    const auto orchestration = tarvik_core::Orchestration::load(orchestration_file.string());
    const std::vector<std::string> supervisor_sensors = all_sensor_names(*orchestration);
    const auto training = training_seeds();
    const auto score = [&](std::span<const double> parameters) {
        const Mirror mirror(*orchestration, policies_from(parameters, supervisor_sensors));
        const double simulator_starts = mean_score(training, [&](std::uint64_t seed) { return mirror.run_episode(seed); });
        const double hard_starts =
            mean_score(training, [&](std::uint64_t seed) { return mirror.run_episode(seed, Mirror::Start::hard); });
        return (simulator_starts + hard_starts) / 2.0;
    };

    ExampleResult result;
    result.name = "cartpole";
    result.parameters = kParameterCount;
    result.training_episodes = 2 * training.size();
    result.search_options = search_options();
    result.search = cross_entropy_search(initial_parameters(), initial_spreads(), score, result.search_options);

    Policies best = policies_from(result.search.best, supervisor_sensors);
    const Mirror mirror(*orchestration, best);
    const auto children = to_strings(kSupervisorChildren);
    result.evaluations.push_back(evaluate("simulator starts", children, evaluation_seeds(),
                                          [&](std::uint64_t seed) { return mirror.run_episode(seed); }));
    result.evaluations.push_back(evaluate("hard starts", children, evaluation_seeds(), [&](std::uint64_t seed) {
        return mirror.run_episode(seed, Mirror::Start::hard);
    }));
    result.models = {std::move(best.supervisor), std::move(best.balance), std::move(best.recenter)};
    return result;
}

}  // namespace tarvik_examples::cartpole
