// The cart-pole example's learned parts: the supervisor's model and the two
// skills' models, the generator's simulation of the whole orchestration, and
// the search that tunes them.
//
// Models (all linear, see linear_policy.hpp):
// - "balance" and "recenter" see x, x_dot, theta, theta_dot (normalised as
//   the orchestration file says) and give two logits, push left and push
//   right, whose difference is gains . observation + bias. Balance has no
//   gain on x: it holds the pole and damps the cart's speed, and leaves
//   bringing the cart back to recenter.
// - "supervisor" sees every sensor and gives one logit per child: 0 for
//   balance, kRecenterSlope (|x| / 4.8 - kRecenterFrom) for recenter,
//   kRescueSlope (danger - kRescueFrom) for rescue. The largest wins, so it
//   hands over to recenter when the cart is far out and to rescue when the
//   system is close to a limit. Its thresholds are set by hand; the search
//   tunes the skills to work under it.
//
// The search vector holds, in order: balance's gains on x_dot, theta,
// theta_dot and its bias; recenter's gains on x, x_dot, theta, theta_dot and
// its bias.
//
// The search scores each candidate on episodes from the simulator's own
// starts and on as many "hard starts": the simulator reset with a seed, then
// placed in a state drawn (from the same seed) far off centre and tilted, so
// that the supervisor has to hand over and the skills are tuned for it.
//
// Mirror::decide takes one step's decision the way the runtime takes it:
// readings rounded to float32, the "tilt" perceptor's danger, the
// supervisor's masked-softmax choice (first maximum), the chosen skill's
// logits masked by the cart teacher's edge rule, or the rescue controller's
// rule.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "example_models.hpp"
#include "linear_policy.hpp"
#include "observation_plan.hpp"
#include "tarvik_core/orchestration.hpp"
#include "tarvik_sims/simulator.hpp"

namespace tarvik_examples::cartpole {

inline constexpr std::size_t kParameterCount = 9;
inline constexpr float kRecenterSlope = 10.0f;
inline constexpr float kRecenterFrom = 0.1f;  // |x| beyond 0.48 m
inline constexpr float kRescueSlope = 20.0f;
inline constexpr float kRescueFrom = 0.6f;    // 60% of the way to a limit

struct Policies {
    LinearPolicy supervisor;
    LinearPolicy balance;
    LinearPolicy recenter;
};

// The starting point of the search (set by hand) and its spreads.
std::vector<double> initial_parameters();
std::vector<double> initial_spreads();
CrossEntropyOptions search_options();

// The models for one search vector. `supervisor_sensors` is the supervisor's
// observation order (every sensor of the file, in file order); it must
// contain "x" and "danger" (ValueError otherwise). ValueError for a vector
// of the wrong length.
Policies policies_from(std::span<const double> parameters, const std::vector<std::string>& supervisor_sensors);

// The hard start drawn from `seed`: x within 1.5 m of the centre, x_dot
// within 0.3 m/s, theta within 0.15 rad, theta_dot within 0.3 rad/s.
tarvik_sims::CartPole::State hard_start(std::uint64_t seed);

struct Decision {
    std::size_t child = 0;    // position in the supervisor's children
    std::int64_t action = 0;  // 0 pushes left, 1 pushes right
};

class Mirror {
public:
    Mirror(const tarvik_core::Orchestration& orchestration, Policies policies);

    // One step, from the readings as the simulator reports them.
    Decision decide(double x, double x_dot, double theta, double theta_dot) const;
    enum class Start { simulator, hard };
    // One whole episode of the built-in cart-pole from `seed`.
    EpisodeStats run_episode(std::uint64_t seed, Start start = Start::simulator) const;
    const Policies& policies() const noexcept { return policies_; }

private:
    Policies policies_;
    ObservationPlan supervisor_plan_;
    ObservationPlan skill_plan_;
};

// Searches the parameters against the orchestration at `orchestration_file`
// (its sensors and normalisation) and evaluates the result.
ExampleResult make_models(const std::filesystem::path& orchestration_file);

}  // namespace tarvik_examples::cartpole
