#include <algorithm>
#include <cmath>
#include <numbers>

#include "action_value.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_sims/simulator.hpp"

namespace tarvik_sims {

namespace {

constexpr double kInitialSpeedSpread = 1.0;

[[noreturn]] void reject(const Value& action, const std::string& reason) {
    throw tarvik_core::ValueError("invalid pendulum action " + tarvik_core::repr(action) + ": " + reason);
}

// The requested torque, before clipping. Infinities are accepted: clipping
// gives them a well-defined meaning (full torque). NaN has none.
double requested_torque(const Value& action) {
    const auto scalar = detail::single_element(action);
    if (!scalar || !(scalar->is_int() || scalar->is_float()))
        reject(action, "expected a torque as a float or a one-element numeric array or list");
    const double torque = scalar->as_double();
    if (std::isnan(torque)) reject(action, "the torque is NaN");
    return torque;
}

}  // namespace

Pendulum::Pendulum()
    : Simulator("pendulum",
                "swing a pendulum up with a limited torque and hold it upright",
                kMaxEpisodeSteps,
                {
                    {"cos_theta", 1, "cosine of the angle from upright"},
                    {"sin_theta", 1, "sine of the angle from upright"},
                    {"theta_dot", 1, "angular velocity (rad/s), within -8 to 8"},
                },
                {ActionKind::Continuous, 1, -kMaxTorque, kMaxTorque, "torque applied at the pivot"}) {}

Dict Pendulum::observation() const {
    return Dict{{"cos_theta", std::cos(state_.theta)},
                {"sin_theta", std::sin(state_.theta)},
                {"theta_dot", state_.theta_dot}};
}

void Pendulum::set_state(const State& state) {
    if (!std::isfinite(state.theta) || !std::isfinite(state.theta_dot))
        throw tarvik_core::ValueError("pendulum: set_state needs finite theta and theta_dot");
    state_ = state;
    resume_episode();
}

double Pendulum::normalize_angle(double theta) noexcept {
    constexpr double kTwoPi = 2 * std::numbers::pi;
    // A floored remainder, so the result lies in [0, 2 pi) for negative
    // angles as well.
    double wrapped = std::fmod(theta + std::numbers::pi, kTwoPi);
    if (wrapped < 0) wrapped += kTwoPi;
    return wrapped - std::numbers::pi;
}

void Pendulum::draw_initial_state(std::mt19937_64& rng) {
    state_.theta = uniform(rng, -std::numbers::pi, std::numbers::pi);
    state_.theta_dot = uniform(rng, -kInitialSpeedSpread, kInitialSpeedSpread);
}

Simulator::Transition Pendulum::advance(const Value& action) {
    const double torque = std::clamp(requested_torque(action), -kMaxTorque, kMaxTorque);
    const State old = state_;

    // The cost judges the state the action was chosen in.
    const double angle = normalize_angle(old.theta);
    const double cost = angle * angle + 0.1 * old.theta_dot * old.theta_dot + 0.001 * torque * torque;

    const double angular_acc = 3 * kGravity / (2 * kLength) * std::sin(old.theta) +
                               3.0 / (kMass * kLength * kLength) * torque;
    state_.theta_dot = std::clamp(old.theta_dot + angular_acc * kTimeStep, -kMaxSpeed, kMaxSpeed);
    state_.theta = old.theta + state_.theta_dot * kTimeStep;

    Transition transition;
    transition.reward = -cost;
    transition.terminated = false;
    return transition;
}

}  // namespace tarvik_sims
