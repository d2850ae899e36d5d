// The pendulum example's learned part: the "stabilize" skill's model, the
// generator's simulation of the whole orchestration, and the search that
// tunes the model.
//
// The model sees sin_theta and theta_dot (normalised as the orchestration
// file says) and gives two numbers, the mean and the log spread of a torque
// distribution. The runtime uses the mean only: clipped to [-1, 1], then
// mapped onto the action space's range [-2, 2]. The mean is
// a sin_theta + b theta_dot + c; the search vector is (a, b, c). The spread
// is a fixed constant that nothing reads.
//
// Mirror::decide takes one step's decision the way the runtime takes it:
// readings rounded to float32, the phase controller's choice of child, then
// the energy pump's torque or the stabilising model's unsquashed mean.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "example_models.hpp"
#include "linear_policy.hpp"
#include "observation_plan.hpp"
#include "tarvik_core/orchestration.hpp"

namespace tarvik_examples::pendulum {

inline constexpr std::size_t kParameterCount = 3;
// The model's log spread: a Gaussian of standard deviation about 0.1.
inline constexpr float kLogSpread = -2.3f;

std::vector<double> initial_parameters();
std::vector<double> initial_spreads();
CrossEntropyOptions search_options();

// ValueError for a vector of the wrong length.
LinearPolicy stabilize_policy(std::span<const double> parameters);

struct Decision {
    std::int64_t child = 0;  // position in the phase orchestrator's children
    float torque = 0.0f;     // what the simulator receives
};

class Mirror {
public:
    // Takes the stabilising skill's action range from the orchestration; a
    // ValueError when its agent has no bounded one-number Box action space.
    Mirror(const tarvik_core::Orchestration& orchestration, LinearPolicy stabilize);

    Decision decide(double cos_theta, double sin_theta, double theta_dot) const;
    EpisodeStats run_episode(std::uint64_t seed) const;
    const LinearPolicy& stabilize() const noexcept { return stabilize_; }

private:
    LinearPolicy stabilize_;
    ObservationPlan plan_;
    double low_ = 0.0;
    double high_ = 0.0;
};

ExampleResult make_models(const std::filesystem::path& orchestration_file);

}  // namespace tarvik_examples::pendulum
