// The programmed parts of the pendulum example, as plain functions of plain
// numbers: the phase controller's choice between swinging up and
// stabilising, the energy pump's torque, and the stabilising skill's sensor
// list.
//
// The plugin wraps them into the controllers and the teacher that the
// orchestration names; the model generator includes the same header when it
// simulates the whole orchestration to tune the stabilising model, so the
// search sees exactly the rules that run later. Nothing here throws.
//
// The constants follow the built-in pendulum: the angle is measured from
// upright, the angular acceleration is 15 sin(theta) + 3 torque, and the
// torque is limited to [-2, 2]. In those units the swing energy
// 0.5 theta_dot^2 + 15 cos(theta) changes at the rate 3 torque theta_dot and
// is 15 for the pendulum at rest upright.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>

namespace tarvik_examples::pendulum {

inline constexpr double kGravityTerm = 15.0;  // angular acceleration per unit sin(theta)
inline constexpr double kMaxTorque = 2.0;
inline constexpr double kUprightEnergy = kGravityTerm;
// Torque per unit of missing energy and of angular speed.
inline constexpr double kPumpGain = 1.0;
// The stabiliser takes over once the pendulum is within about 32 degrees of
// upright (cos 32 degrees = 0.85).
inline constexpr double kCatchCos = 0.85;

// The phase orchestrator's children, in the order the orchestration file
// lists them: the phase controller answers with a position in this list.
inline constexpr std::array<std::string_view, 2> kPhaseChildren = {"swing_up", "stabilize"};
inline constexpr std::int64_t kSwingUp = 0;
inline constexpr std::int64_t kStabilize = 1;

// The sensors the stabilising skill sees, in the order of its model's
// observation.
inline constexpr std::array<std::string_view, 2> kStabilizeSensors = {"sin_theta", "theta_dot"};

inline double swing_energy(double cos_theta, double theta_dot) {
    return 0.5 * theta_dot * theta_dot + kGravityTerm * cos_theta;
}

// Stabilise near the top, swing up everywhere else.
inline std::int64_t phase_choice(double cos_theta) { return cos_theta > kCatchCos ? kStabilize : kSwingUp; }

// Pumps the swing energy towards the upright energy: torque along the motion
// while energy is missing, against it when there is too much. At rest the
// pendulum gets a push in the positive direction, or it would never start.
inline double energy_pump_torque(double cos_theta, double theta_dot) {
    const double missing = kUprightEnergy - swing_energy(cos_theta, theta_dot);
    const double direction = theta_dot != 0.0 ? theta_dot : 1.0;
    return std::clamp(kPumpGain * missing * direction, -kMaxTorque, kMaxTorque);
}

}  // namespace tarvik_examples::pendulum
