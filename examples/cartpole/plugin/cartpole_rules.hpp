// The programmed parts of the cart-pole example, as plain functions of plain
// numbers: the "tilt" perceptor's danger reading, the cart teacher's sensor
// list and edge rule, and the rescue controller's rule.
//
// The plugin wraps them into the teacher, controller and perceptor that the
// orchestration names; the model generator includes the same header when it
// simulates the whole orchestration to tune the learned parts, so the search
// sees exactly the rules that run later. Nothing here throws: the plugin
// checks its inputs before calling in.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarvik_examples::cartpole {

// Where an episode ends: the pole angle (12 degrees, in radians) and the cart
// position.
inline constexpr double kTiltLimit = 0.2095;
inline constexpr double kTrackLimit = 2.4;
// Beyond this distance from the centre the teacher forbids pushing further out.
inline constexpr double kEdgeZone = 2.0;
// How far ahead (in seconds of the pole's current rotation) the rescue rule
// looks when it decides which way the pole is falling.
inline constexpr double kRescueLead = 0.3;

inline constexpr std::int64_t kPushLeft = 0;
inline constexpr std::int64_t kPushRight = 1;

// The sensors the two skills see, in the order of their model's observation.
inline constexpr std::array<std::string_view, 4> kSkillSensors = {"x", "x_dot", "theta", "theta_dot"};

// The supervisor's children, in the order the orchestration file lists them:
// the supervisor's model answers with a position in this list.
inline constexpr std::array<std::string_view, 3> kSupervisorChildren = {"balance", "recenter", "rescue"};
inline constexpr std::size_t kBalance = 0;
inline constexpr std::size_t kRecenter = 1;
inline constexpr std::size_t kRescue = 2;

// How close the system is to ending the episode: the larger of the pole's
// tilt and the cart's distance from the centre, each as a fraction of its
// limit, so 1 means "at a limit".
inline double tilt_danger(double x, double theta) {
    return std::max(std::fabs(theta) / kTiltLimit, std::fabs(x) / kTrackLimit);
}

// Which pushes the cart teacher allows.
struct AllowedPushes {
    bool left = true;
    bool right = true;
    friend bool operator==(const AllowedPushes&, const AllowedPushes&) = default;
};

// Near an end of the track only the push back towards the centre is allowed;
// elsewhere the teacher has no opinion (nullopt).
inline std::optional<AllowedPushes> edge_pushes(double x) {
    if (x > kEdgeZone) return AllowedPushes{.left = true, .right = false};
    if (x < -kEdgeZone) return AllowedPushes{.left = false, .right = true};
    return std::nullopt;
}

// Rescue: push the cart under the side the pole is falling to, judged by
// where the pole will be a short moment from now.
inline std::int64_t rescue_push(double theta, double theta_dot) {
    return theta + kRescueLead * theta_dot > 0.0 ? kPushRight : kPushLeft;
}

}  // namespace tarvik_examples::cartpole
