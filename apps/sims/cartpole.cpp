#include <cmath>

#include "action_value.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_sims/simulator.hpp"

namespace tarvik_sims {

namespace {

constexpr double kTotalMass = CartPole::kCartMass + CartPole::kPoleMass;
constexpr double kPoleMassLength = CartPole::kPoleMass * CartPole::kHalfPoleLength;
constexpr double kInitialSpread = 0.05;

// 0 (push left) or 1 (push right). Floats are refused even when integral:
// a float here usually means a continuous policy was wired to this
// simulator by mistake.
int push_direction(const Value& action) {
    if (auto scalar = detail::single_element(action)) {
        if (scalar->is_bool()) return scalar->as_bool() ? 1 : 0;
        if (scalar->is_int()) {
            const std::int64_t direction = scalar->as_int();
            if (direction == 0 || direction == 1) return static_cast<int>(direction);
        }
    }
    throw tarvik_core::ValueError("invalid cartpole action " + tarvik_core::repr(action) +
                                  ": expected 0 (push left) or 1 (push right) as an int, a bool, "
                                  "or a one-element integer array or list");
}

}  // namespace

CartPole::CartPole()
    : Simulator("cartpole",
                "push a cart left or right to keep the pole hinged on it upright",
                kMaxEpisodeSteps,
                {
                    {"x", 1, "cart position (m); the episode terminates beyond -2.4 or 2.4"},
                    {"x_dot", 1, "cart velocity (m/s)"},
                    {"theta", 1, "pole angle from upright (rad); the episode terminates beyond 12 degrees"},
                    {"theta_dot", 1, "pole angular velocity (rad/s)"},
                },
                {ActionKind::Discrete, 1, 0.0, 1.0, "0 pushes the cart left, 1 pushes it right"}) {}

Dict CartPole::observation() const {
    return Dict{{"x", state_.x},
                {"x_dot", state_.x_dot},
                {"theta", state_.theta},
                {"theta_dot", state_.theta_dot}};
}

void CartPole::set_state(const State& state) {
    if (!std::isfinite(state.x) || !std::isfinite(state.x_dot) || !std::isfinite(state.theta) ||
        !std::isfinite(state.theta_dot))
        throw tarvik_core::ValueError("cartpole: set_state needs finite x, x_dot, theta and theta_dot");
    state_ = state;
    resume_episode();
}

void CartPole::draw_initial_state(std::mt19937_64& rng) {
    state_.x = uniform(rng, -kInitialSpread, kInitialSpread);
    state_.x_dot = uniform(rng, -kInitialSpread, kInitialSpread);
    state_.theta = uniform(rng, -kInitialSpread, kInitialSpread);
    state_.theta_dot = uniform(rng, -kInitialSpread, kInitialSpread);
}

Simulator::Transition CartPole::advance(const Value& action) {
    const double force = push_direction(action) == 1 ? kForceMagnitude : -kForceMagnitude;
    const State old = state_;
    const double cos_theta = std::cos(old.theta);
    const double sin_theta = std::sin(old.theta);

    // Accelerations of the cart and the pole (the pole as a uniform rod of
    // half length kHalfPoleLength, no friction).
    const double temp = (force + kPoleMassLength * old.theta_dot * old.theta_dot * sin_theta) / kTotalMass;
    const double theta_acc =
        (kGravity * sin_theta - cos_theta * temp) /
        (kHalfPoleLength * (4.0 / 3.0 - kPoleMass * cos_theta * cos_theta / kTotalMass));
    const double x_acc = temp - kPoleMassLength * theta_acc * cos_theta / kTotalMass;

    // Explicit Euler: positions move with the old velocities, velocities
    // with the accelerations of the old state.
    state_.x = old.x + kTimeStep * old.x_dot;
    state_.x_dot = old.x_dot + kTimeStep * x_acc;
    state_.theta = old.theta + kTimeStep * old.theta_dot;
    state_.theta_dot = old.theta_dot + kTimeStep * theta_acc;

    Transition transition;
    transition.reward = 1.0;
    transition.terminated = state_.x < -kXThreshold || state_.x > kXThreshold ||
                            state_.theta < -kThetaThreshold || state_.theta > kThetaThreshold;
    return transition;
}

}  // namespace tarvik_sims
