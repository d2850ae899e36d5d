// Simulators: small built-in environments that hosts drive step by step.
//
// A host resets a simulator with a seed, then steps it with one action at a
// time and reads back the observation (a Dict of named readings), the
// reward, whether the episode terminated (the task failed or succeeded) and
// whether it was truncated (the step limit was reached). The same seed always
// gives the same episode for the same actions.
//
// The base class keeps the episode bookkeeping (step count, truncation, the
// "episode over" state); each simulator supplies only its physics. Each
// simulator owns its state; nothing is shared between instances, and an
// instance is meant to be driven from one thread (one event loop).
//
// Your own simulator derives from Simulator (it is a tarvik_core::Object, so
// a plugin can register it with Registry::add_simulator) and implements
// observation(), draw_initial_state() and advance(); a simulator that keeps
// its state elsewhere overrides begin_episode() to hand the seed on.
//
// Errors: an action the simulator cannot apply is a tarvik_core::ValueError
// naming the simulator and the action; stepping before the first reset or
// after the episode ended is a tarvik_core::RuntimeError; an unknown name in
// make_simulator is a tarvik_core::ValueError listing the available ones.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tarvik_core/implementations.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_sims {

using tarvik_core::Dict;
using tarvik_core::Value;

struct StepOutcome {
    Dict observation;
    double reward = 0.0;
    bool terminated = false;
    bool truncated = false;
};

// One named reading of the observation, for help texts.
struct ReadingInfo {
    std::string name;
    std::int64_t size = 1;  // number of values; 1 for a plain float
    std::string meaning;
};

enum class ActionKind { Discrete, Continuous };

// What an action looks like, for help texts. For a discrete action, low and
// high are the smallest and largest allowed integers (both included); for a
// continuous one, the range that values are clipped to.
struct ActionInfo {
    ActionKind kind = ActionKind::Discrete;
    std::int64_t size = 1;
    double low = 0.0;
    double high = 0.0;
    std::string meaning;
};

class Simulator : public tarvik_core::Object {
public:
    virtual ~Simulator() = default;
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    const std::string& name() const noexcept { return name_; }
    // One line saying what the task is.
    const std::string& summary() const noexcept { return summary_; }
    const std::vector<ReadingInfo>& readings() const noexcept { return readings_; }
    const ActionInfo& action_info() const noexcept { return action_info_; }
    // The step at which an episode is truncated; kNoStepLimit for a simulator
    // that only ends episodes itself.
    std::int64_t max_episode_steps() const noexcept { return max_episode_steps_; }
    static constexpr std::int64_t kNoStepLimit = std::numeric_limits<std::int64_t>::max();

    // Starts a new episode from an initial state drawn with `seed`; returns
    // its first observation.
    Dict reset(std::uint64_t seed);
    // Applies one action. RuntimeError before the first reset and after the
    // episode terminated or was truncated; ValueError for an invalid action
    // (the state is then unchanged and the step not counted).
    StepOutcome step(const Value& action);

    // The simulator's action mask for the current step; None when the
    // simulator does not restrict its actions.
    virtual Value action_mask() const { return Value(); }
    // The readings of the current state.
    virtual Dict observation() const = 0;

    std::int64_t elapsed_steps() const noexcept { return elapsed_steps_; }
    // True between a reset and the end of its episode.
    bool episode_running() const noexcept { return started_ && !ended_; }

protected:
    Simulator(std::string name, std::string summary, std::int64_t max_episode_steps,
              std::vector<ReadingInfo> readings, ActionInfo action_info);

    // The result of one physics step. `truncated` ends the episode as the
    // step limit does, for simulators whose limits are their own.
    struct Transition {
        double reward = 0.0;
        bool terminated = false;
        bool truncated = false;
    };

    // Starts an episode from `seed`: by default, draws the initial state from
    // a generator seeded with it.
    virtual void begin_episode(std::uint64_t seed);
    // Draws the initial state of an episode.
    virtual void draw_initial_state(std::mt19937_64& rng) = 0;
    // Validates `action` (ValueError without touching the state) and
    // advances the state by one step.
    virtual Transition advance(const Value& action) = 0;

    // A draw uniform in [low, high). Computed from the generator's raw bits
    // rather than through std::uniform_real_distribution, whose results
    // differ between standard libraries, so a seed means the same episode
    // everywhere.
    static double uniform(std::mt19937_64& rng, double low, double high);

    // For state setters: the episode continues (or starts) from the state
    // just set, keeping the step count.
    void resume_episode() noexcept;

private:
    std::string name_;
    std::string summary_;
    std::int64_t max_episode_steps_;
    std::vector<ReadingInfo> readings_;
    ActionInfo action_info_;
    std::int64_t elapsed_steps_ = 0;
    bool started_ = false;
    bool ended_ = false;
    bool ended_by_termination_ = false;
};

// Cart-pole balancing: a pole hinged on a cart that moves along a track; the
// action pushes the cart left (0) or right (1) with a fixed force. The
// episode terminates when the cart leaves the track (|x| > 2.4) or the pole
// leans more than 12 degrees; every step, the terminating one included, is
// worth 1.0. Readings: "x", "x_dot", "theta", "theta_dot" (plain floats).
class CartPole final : public Simulator {
public:
    struct State {
        double x = 0.0;
        double x_dot = 0.0;
        double theta = 0.0;
        double theta_dot = 0.0;
    };

    static constexpr double kGravity = 9.8;
    static constexpr double kCartMass = 1.0;
    static constexpr double kPoleMass = 0.1;
    static constexpr double kHalfPoleLength = 0.5;
    static constexpr double kForceMagnitude = 10.0;
    static constexpr double kTimeStep = 0.02;
    static constexpr double kXThreshold = 2.4;
    static constexpr double kThetaThreshold = 12 * 2 * 3.141592653589793 / 360;
    static constexpr std::int64_t kMaxEpisodeSteps = 500;

    CartPole();

    Dict observation() const override;
    const State& state() const noexcept { return state_; }
    // Places the system in `state` (for tests and diagnostics); the episode
    // continues from there. ValueError for a non-finite component.
    void set_state(const State& state);

protected:
    void draw_initial_state(std::mt19937_64& rng) override;
    Transition advance(const Value& action) override;

private:
    State state_;
};

// Pendulum swing-up: a pendulum on a motorised pivot starts hanging at a
// random angle and must be swung up and held upright (theta = 0) with a
// limited torque. The reward is minus a cost on the angle from upright, the
// speed and the torque; the episode never terminates and is truncated after
// 200 steps. Readings: "cos_theta", "sin_theta", "theta_dot" (plain floats).
class Pendulum final : public Simulator {
public:
    struct State {
        double theta = 0.0;
        double theta_dot = 0.0;
    };

    static constexpr double kMaxSpeed = 8.0;
    static constexpr double kMaxTorque = 2.0;
    static constexpr double kTimeStep = 0.05;
    static constexpr double kGravity = 10.0;
    static constexpr double kMass = 1.0;
    static constexpr double kLength = 1.0;
    static constexpr std::int64_t kMaxEpisodeSteps = 200;

    Pendulum();

    Dict observation() const override;
    const State& state() const noexcept { return state_; }
    // Places the pendulum in `state` (for tests and diagnostics); the episode
    // continues from there. ValueError for a non-finite component.
    void set_state(const State& state);

    // An angle brought into [-pi, pi): how far from upright it is.
    static double normalize_angle(double theta) noexcept;

protected:
    void draw_initial_state(std::mt19937_64& rng) override;
    Transition advance(const Value& action) override;

private:
    State state_;
};

// The names make_simulator accepts, in the order help texts list them.
std::vector<std::string> simulator_names();
// A new simulator by name; ValueError "unknown simulator 'x' (available:
// cartpole, pendulum)" for any other name.
std::unique_ptr<Simulator> make_simulator(std::string_view name);
// A new instance of the simulator a plugin registered in `registry` under
// `name`. KeyError listing the registered simulators when there is none of
// that name; TypeError when the name is another kind of implementation or
// the factory makes something that is not a Simulator.
std::shared_ptr<Simulator> make_simulator(const tarvik_core::Registry& registry, std::string_view name);
// A multi-line help text: the summary, the readings and the action.
std::string describe(const Simulator& simulator);

}  // namespace tarvik_sims
