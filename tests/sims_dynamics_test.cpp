// The built-in simulators: physics against values worked out independently
// from the equations of motion, episode limits, seeding and action checks.
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/expect_error.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_sims/simulator.hpp"

namespace {

using tarvik_core::DType;
using tarvik_core::List;
using tarvik_core::NdArray;
using tarvik_core::Tuple;
using tarvik_core::Value;
using tarvik_sims::CartPole;
using tarvik_sims::Dict;
using tarvik_sims::Pendulum;

constexpr double kTolerance = 1e-12;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double reading(const Dict& observation, const char* name) { return observation.at(name).as_double(); }

using tarvik_test::expect_error;

// ---- cart-pole ----------------------------------------------------------------

class CartPoleTest : public ::testing::Test {
protected:
    void expect_state(const CartPole::State& want) {
        const CartPole::State& got = sim.state();
        EXPECT_NEAR(got.x, want.x, kTolerance);
        EXPECT_NEAR(got.x_dot, want.x_dot, kTolerance);
        EXPECT_NEAR(got.theta, want.theta, kTolerance);
        EXPECT_NEAR(got.theta_dot, want.theta_dot, kTolerance);
    }

    CartPole sim;
};

TEST_F(CartPoleTest, EulerStepsMatchTheEquationsOfMotion) {
    struct Case {
        const char* name;
        CartPole::State start;
        std::vector<std::pair<int, CartPole::State>> steps;  // action, state after it
    };
    const std::vector<Case> cases = {
        {"from rest, right then left",
         {0.0, 0.0, 0.0, 0.0},
         {{1, {0.0, 0.1951219512195122, 0.0, -0.2926829268292683}},
          {0, {0.0039024390243902443, 0.0, -0.005853658536585366, 0.0}}}},
        {"moving and leaning, left then right",
         {0.01, -0.2, 0.03, 0.4},
         {{0, {0.006, -0.3955343820057583, 0.038, 0.7019882742589485}},
          {1, {-0.0019106876401151652, -0.2009591657566117, 0.05203976548517897, 0.4215054609545296}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim.reset(0);
        sim.set_state(c.start);
        for (const auto& [action, want] : c.steps) {
            const auto outcome = sim.step(action);
            expect_state(want);
            // The observation reports the new state, reading by reading.
            EXPECT_EQ(reading(outcome.observation, "x"), sim.state().x);
            EXPECT_EQ(reading(outcome.observation, "x_dot"), sim.state().x_dot);
            EXPECT_EQ(reading(outcome.observation, "theta"), sim.state().theta);
            EXPECT_EQ(reading(outcome.observation, "theta_dot"), sim.state().theta_dot);
            EXPECT_EQ(outcome.reward, 1.0);
            EXPECT_FALSE(outcome.terminated);
            EXPECT_FALSE(outcome.truncated);
        }
    }
}

TEST_F(CartPoleTest, TerminatesOnlyStrictlyBeyondTheLimits) {
    // With zero velocities a step leaves x and theta exactly where they were,
    // so the limits can be probed at the last representable value.
    const double x_max = CartPole::kXThreshold;
    const double theta_max = 12 * 2 * std::numbers::pi / 360;
    struct Case {
        const char* name;
        double x;
        double theta;
        bool terminated;
    };
    const std::vector<Case> cases = {
        {"x at +2.4", x_max, 0.0, false},
        {"x just beyond +2.4", std::nextafter(x_max, 3.0), 0.0, true},
        {"x at -2.4", -x_max, 0.0, false},
        {"x just beyond -2.4", std::nextafter(-x_max, -3.0), 0.0, true},
        {"theta at +12 degrees", 0.0, theta_max, false},
        {"theta just beyond +12 degrees", 0.0, std::nextafter(theta_max, 1.0), true},
        {"theta at -12 degrees", 0.0, -theta_max, false},
        {"theta just beyond -12 degrees", 0.0, std::nextafter(-theta_max, -1.0), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim.reset(0);
        sim.set_state({c.x, 0.0, c.theta, 0.0});
        const auto outcome = sim.step(1);
        EXPECT_EQ(sim.state().x, c.x);
        EXPECT_EQ(sim.state().theta, c.theta);
        EXPECT_EQ(outcome.terminated, c.terminated);
        EXPECT_EQ(outcome.reward, 1.0);  // the terminating step is rewarded too
        EXPECT_FALSE(outcome.truncated);
        EXPECT_EQ(sim.episode_running(), !c.terminated);
    }
}

TEST_F(CartPoleTest, PushingOneWayFromRestTopplesThePoleAtStepNine) {
    sim.reset(0);
    sim.set_state({});
    for (int step = 1; step <= 8; ++step) {
        SCOPED_TRACE(step);
        EXPECT_FALSE(sim.step(1).terminated);
    }
    const auto outcome = sim.step(1);
    EXPECT_TRUE(outcome.terminated);
    EXPECT_NEAR(sim.state().theta, -0.21518604988500967, kTolerance);
    EXPECT_EQ(sim.elapsed_steps(), 9);

    expect_error<tarvik_core::Error>([&] { sim.step(1); },
                         "cartpole: the episode has terminated; call reset(seed) before stepping again");
    sim.reset(0);
    EXPECT_TRUE(sim.episode_running());
    EXPECT_EQ(sim.elapsed_steps(), 0);
    EXPECT_NO_THROW(sim.step(0));
}

TEST_F(CartPoleTest, TruncatesAtFiveHundredSteps) {
    sim.reset(0);
    for (int step = 1; step <= 500; ++step) {
        // Holding the system at rest keeps the pole up however long it runs.
        sim.set_state({});
        const auto outcome = sim.step(step % 2);
        ASSERT_FALSE(outcome.terminated) << "step " << step;
        ASSERT_EQ(outcome.truncated, step == 500) << "step " << step;
    }
    EXPECT_EQ(sim.max_episode_steps(), 500);
    expect_error<tarvik_core::Error>([&] { sim.step(0); },
                         "cartpole: the episode was truncated after 500 steps; call reset(seed) before stepping again");
}

TEST_F(CartPoleTest, BalancingControllerLastsTheWholeEpisode) {
    // A proportional-derivative rule keeps the pole up only if the pushes
    // and the pole respond with the right signs and magnitudes.
    for (std::uint64_t seed : {0u, 1u, 2u}) {
        SCOPED_TRACE(seed);
        sim.reset(seed);
        tarvik_sims::StepOutcome outcome;
        int steps = 0;
        do {
            const CartPole::State& s = sim.state();
            const bool right = s.theta + 0.5 * s.theta_dot + 0.05 * s.x + 0.1 * s.x_dot > 0;
            outcome = sim.step(right ? 1 : 0);
            ++steps;
        } while (!outcome.terminated && !outcome.truncated);
        EXPECT_FALSE(outcome.terminated);
        EXPECT_EQ(steps, 500);
    }
}

TEST_F(CartPoleTest, StepBeforeResetIsRefused) {
    expect_error<tarvik_core::Error>([&] { sim.step(0); },
                         "cartpole: step() called before reset(); call reset(seed) first");
}

TEST_F(CartPoleTest, AcceptsEveryIntegerFormOfTheTwoPushes) {
    struct Case {
        const char* name;
        Value action;
        int push;
    };
    const std::vector<Case> cases = {
        {"int 1", 1, 1},
        {"int 0", 0, 0},
        {"true", true, 1},
        {"false", false, 0},
        {"list [1]", List{1}, 1},
        {"tuple (0,)", Tuple{0}, 0},
        {"int64 array [1]", NdArray::of<std::int64_t>({1}), 1},
        {"int32 array [0]", NdArray::of<std::int32_t>({0}), 0},
        {"uint8 array [1]", NdArray::of<std::uint8_t>({1}), 1},
        {"zero-dimensional int8 array", NdArray::scalar(DType::Int8, 1), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CartPole reference;
        reference.reset(5);
        reference.step(c.push);
        sim.reset(5);
        sim.step(c.action);
        expect_state(reference.state());
    }
}

TEST_F(CartPoleTest, RejectsOtherActionsAndKeepsTheState) {
    const std::string expected = ": expected 0 (push left) or 1 (push right) as an int, a bool, "
                                 "or a one-element integer array or list";
    struct Case {
        Value action;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {2, "2"},
        {-1, "-1"},
        {1.0, "1.0"},
        {Value(), "None"},
        {"1", "'1'"},
        {List{}, "[]"},
        {List{1, 0}, "[1, 0]"},
        {List{List{1}}, "[[1]]"},
        {List{1.0}, "[1.0]"},
        {NdArray::of<double>({1.0}), tarvik_core::repr(NdArray::of<double>({1.0}))},
        {NdArray::of<std::int64_t>({2}), tarvik_core::repr(NdArray::of<std::int64_t>({2}))},
        {NdArray::zeros(DType::Int64, {1, 1}), tarvik_core::repr(NdArray::zeros(DType::Int64, {1, 1}))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        sim.reset(2);
        sim.step(1);
        const CartPole::State before = sim.state();
        try {
            sim.step(c.action);
            ADD_FAILURE() << "accepted";
        } catch (const tarvik_core::ValueError& error) {
            EXPECT_EQ(error.what(), "invalid cartpole action " + c.shown + expected);
        }
        EXPECT_EQ(sim.elapsed_steps(), 1);
        EXPECT_EQ(sim.state().x_dot, before.x_dot);
        EXPECT_EQ(sim.state().theta_dot, before.theta_dot);
        EXPECT_TRUE(sim.episode_running());
    }
}

TEST_F(CartPoleTest, SetStateRefusesNonFiniteValues) {
    expect_error<tarvik_core::Error>([&] { sim.set_state({0.0, kNaN, 0.0, 0.0}); },
                         "cartpole: set_state needs finite x, x_dot, theta and theta_dot");
    expect_error<tarvik_core::Error>([&] { sim.set_state({0.0, 0.0, 0.0, -kInf}); },
                         "cartpole: set_state needs finite x, x_dot, theta and theta_dot");
}

// ---- seeding (both simulators) ------------------------------------------------

TEST(SimulatorSeeding, SameSeedReplaysTheEpisodeAndOtherSeedsDiffer) {
    for (const std::string& name : tarvik_sims::simulator_names()) {
        SCOPED_TRACE(name);
        auto first = tarvik_sims::make_simulator(name);
        auto second = tarvik_sims::make_simulator(name);
        const Value action = name == "cartpole" ? Value(1) : Value(0.5);

        const Dict start = first->reset(42);
        EXPECT_EQ(Value(second->reset(42)), Value(start));
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(Value(first->step(action).observation), Value(second->step(action).observation));
        }
        // Resetting again with the seed starts the same episode, not a
        // continuation of the generator.
        EXPECT_EQ(Value(first->reset(42)), Value(start));
        EXPECT_NE(Value(second->reset(43)), Value(start));
    }
}

TEST(SimulatorSeeding, CartPoleStartsUniformlyWithinAHundredthOfRest) {
    CartPole sim;
    double low = 1.0;
    double high = -1.0;
    for (std::uint64_t seed = 0; seed < 300; ++seed) {
        sim.reset(seed);
        const CartPole::State& s = sim.state();
        for (double v : {s.x, s.x_dot, s.theta, s.theta_dot}) {
            ASSERT_GE(v, -0.05) << "seed " << seed;
            ASSERT_LT(v, 0.05) << "seed " << seed;
            low = std::min(low, v);
            high = std::max(high, v);
        }
    }
    // The draws cover the whole interval, not one side of it.
    EXPECT_LT(low, -0.049);
    EXPECT_GT(high, 0.049);
}

TEST(SimulatorSeeding, PendulumStartsAnywhereOnTheCircleWithALowSpeed) {
    Pendulum sim;
    double theta_low = 0.0, theta_high = 0.0, speed_low = 0.0, speed_high = 0.0;
    for (std::uint64_t seed = 0; seed < 300; ++seed) {
        const Dict observation = sim.reset(seed);
        const Pendulum::State& s = sim.state();
        ASSERT_GE(s.theta, -std::numbers::pi) << "seed " << seed;
        ASSERT_LT(s.theta, std::numbers::pi) << "seed " << seed;
        ASSERT_GE(s.theta_dot, -1.0) << "seed " << seed;
        ASSERT_LT(s.theta_dot, 1.0) << "seed " << seed;
        EXPECT_EQ(reading(observation, "cos_theta"), std::cos(s.theta));
        EXPECT_EQ(reading(observation, "sin_theta"), std::sin(s.theta));
        EXPECT_EQ(reading(observation, "theta_dot"), s.theta_dot);
        theta_low = std::min(theta_low, s.theta);
        theta_high = std::max(theta_high, s.theta);
        speed_low = std::min(speed_low, s.theta_dot);
        speed_high = std::max(speed_high, s.theta_dot);
    }
    EXPECT_LT(theta_low, -3.0);
    EXPECT_GT(theta_high, 3.0);
    EXPECT_LT(speed_low, -0.95);
    EXPECT_GT(speed_high, 0.95);
}

// ---- pendulum -----------------------------------------------------------------

class PendulumTest : public ::testing::Test {
protected:
    Pendulum sim;
};

TEST_F(PendulumTest, StepMatchesTheEquationsAndCostsTheOldState) {
    struct Case {
        const char* name;
        Pendulum::State start;
        double torque;
        Pendulum::State after;
        double reward;
        double cos_after;
        double sin_after;
    };
    const double half_pi = std::numbers::pi / 2;
    const std::vector<Case> cases = {
        {"inside all limits", {0.5, -0.3}, 1.5, {0.5142284576976576, 0.28456915395315224}, -0.26125,
         0.8706724746989368, 0.4918632348545977},
        {"angle past pi is measured the short way", {4.0, 2.0}, -0.7, {4.066369906425953, 1.3273981285190537},
         -5.613425146920742, -0.6020124679602256, -0.7984866864390654},
        {"negative angle past -pi, torque clipped to 2", {-4.0, 0.0}, 5.0,
         {-3.956619906425953, 0.8676018714809463}, -5.216935146920741, -0.6858485606155289, 0.727744290188255},
        {"speed clipped to 8", {half_pi, 7.9}, 2.0, {1.9707963267948965, 8.0}, -8.71240110027234,
         -0.38941834230865036, 0.9210609940028851},
        {"speed clipped to -8, torque clipped to -2", {-half_pi, -7.9}, -3.0, {-1.9707963267948965, -8.0},
         -8.71240110027234, -0.38941834230865036, -0.9210609940028851},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim.reset(0);
        sim.set_state(c.start);
        const auto outcome = sim.step(c.torque);
        EXPECT_NEAR(sim.state().theta, c.after.theta, kTolerance);
        EXPECT_NEAR(sim.state().theta_dot, c.after.theta_dot, kTolerance);
        EXPECT_NEAR(outcome.reward, c.reward, kTolerance);
        EXPECT_NEAR(reading(outcome.observation, "cos_theta"), c.cos_after, kTolerance);
        EXPECT_NEAR(reading(outcome.observation, "sin_theta"), c.sin_after, kTolerance);
        EXPECT_NEAR(reading(outcome.observation, "theta_dot"), c.after.theta_dot, kTolerance);
        EXPECT_FALSE(outcome.terminated);
        EXPECT_FALSE(outcome.truncated);
    }
}

TEST_F(PendulumTest, NormalizedAnglesLieInMinusPiToPi) {
    const double pi = std::numbers::pi;
    const std::vector<std::pair<double, double>> cases = {
        {0.0, 0.0},
        {1.0, 1.0},
        {4.0, 4.0 - 2 * pi},
        {-4.0, 2 * pi - 4.0},
        {pi, -pi},
        {-pi, -pi},
        {7 * pi, -pi},
        {-2.5 * pi, -0.5 * pi},
    };
    for (const auto& [angle, want] : cases) {
        SCOPED_TRACE(angle);
        EXPECT_NEAR(Pendulum::normalize_angle(angle), want, 1e-12);
    }
}

TEST_F(PendulumTest, UprightAndStillCostsOnlyTheTorque) {
    sim.reset(0);
    sim.set_state({2 * std::numbers::pi, 0.0});
    EXPECT_NEAR(sim.step(1.0).reward, -0.001, kTolerance);
}

TEST_F(PendulumTest, NeverTerminatesAndTruncatesAtTwoHundredSteps) {
    sim.reset(9);
    for (int step = 1; step <= 200; ++step) {
        const auto outcome = sim.step(step % 3 - 1.0);
        ASSERT_FALSE(outcome.terminated) << "step " << step;
        ASSERT_EQ(outcome.truncated, step == 200) << "step " << step;
        ASSERT_LE(std::abs(sim.state().theta_dot), 8.0) << "step " << step;
    }
    EXPECT_EQ(sim.max_episode_steps(), 200);
    expect_error<tarvik_core::Error>([&] { sim.step(0.0); },
                         "pendulum: the episode was truncated after 200 steps; call reset(seed) before stepping again");
    sim.reset(9);
    EXPECT_FALSE(sim.step(0.0).truncated);
}

TEST_F(PendulumTest, AcceptsEveryNumericFormOfOneTorque) {
    struct Case {
        const char* name;
        Value action;
        double torque;
    };
    const std::vector<Case> cases = {
        {"float", 1.5, 1.5},
        {"int", -1, -1.0},
        {"list [1.5]", List{1.5}, 1.5},
        {"tuple (1,)", Tuple{1}, 1.0},
        {"float32 array", NdArray::of<float>({1.5f}), 1.5},
        {"float64 zero-dimensional array", NdArray::scalar(DType::Float64, -0.25), -0.25},
        {"int64 array", NdArray::of<std::int64_t>({1}), 1.0},
        {"+inf is full torque", kInf, 2.0},
        {"-inf is full reverse torque", List{-kInf}, -2.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pendulum reference;
        reference.reset(4);
        const double reward = reference.step(c.torque).reward;
        sim.reset(4);
        EXPECT_EQ(sim.step(c.action).reward, reward);
        EXPECT_EQ(sim.state().theta_dot, reference.state().theta_dot);
    }
}

TEST_F(PendulumTest, RejectsNaNAndOtherShapesAndKeepsTheState) {
    const std::string shape_reason = ": expected a torque as a float or a one-element numeric array or list";
    struct Case {
        Value action;
        std::string message_tail;
    };
    const NdArray pair = NdArray::of<double>({0.5, 0.5});
    const NdArray column = NdArray::zeros(DType::Float32, {1, 1});
    const NdArray nan_array = NdArray::of<double>({kNaN});
    const std::vector<Case> cases = {
        {kNaN, "nan: the torque is NaN"},
        {List{kNaN}, "[nan]: the torque is NaN"},
        {nan_array, tarvik_core::repr(nan_array) + ": the torque is NaN"},
        {Value(), "None" + shape_reason},
        {true, "True" + shape_reason},
        {"0.5", "'0.5'" + shape_reason},
        {List{}, "[]" + shape_reason},
        {List{0.5, 0.5}, "[0.5, 0.5]" + shape_reason},
        {List{List{0.5}}, "[[0.5]]" + shape_reason},
        {pair, tarvik_core::repr(pair) + shape_reason},
        {column, tarvik_core::repr(column) + shape_reason},
        {NdArray::of<bool>({true}), tarvik_core::repr(NdArray::of<bool>({true})) + shape_reason},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message_tail);
        sim.reset(1);
        const Pendulum::State before = sim.state();
        try {
            sim.step(c.action);
            ADD_FAILURE() << "accepted";
        } catch (const tarvik_core::ValueError& error) {
            EXPECT_EQ(error.what(), "invalid pendulum action " + c.message_tail);
        }
        EXPECT_EQ(sim.elapsed_steps(), 0);
        EXPECT_EQ(sim.state().theta, before.theta);
        EXPECT_EQ(sim.state().theta_dot, before.theta_dot);
    }
}

TEST_F(PendulumTest, SetStateRefusesNonFiniteValues) {
    expect_error<tarvik_core::Error>([&] { sim.set_state({kInf, 0.0}); },
                         "pendulum: set_state needs finite theta and theta_dot");
}

// ---- registry and help --------------------------------------------------------

TEST(SimulatorRegistry, MakesEachSimulatorByName) {
    EXPECT_EQ(tarvik_sims::simulator_names(), (std::vector<std::string>{"cartpole", "pendulum"}));
    for (const std::string& name : tarvik_sims::simulator_names()) {
        SCOPED_TRACE(name);
        const auto sim = tarvik_sims::make_simulator(name);
        EXPECT_EQ(sim->name(), name);
        // The help description lists exactly the readings an observation has.
        std::vector<std::string> described;
        for (const auto& info : sim->readings()) described.push_back(info.name);
        const Dict observation = sim->reset(0);
        EXPECT_EQ(observation.keys(), described);
        for (const auto& [reading_name, value] : observation) EXPECT_TRUE(value.is_float()) << reading_name;
        EXPECT_TRUE(sim->action_mask().is_none());
    }
}

TEST(SimulatorRegistry, UnknownNamesListTheAvailableOnes) {
    for (const char* name : {"x", "", "CartPole", "pendulum "}) {
        SCOPED_TRACE(name);
        try {
            tarvik_sims::make_simulator(name);
            ADD_FAILURE() << "made a simulator";
        } catch (const tarvik_core::ValueError& error) {
            EXPECT_EQ(error.what(), "unknown simulator '" + std::string(name) +
                                        "' (available: cartpole, pendulum)");
        }
    }
}

TEST(SimulatorRegistry, DescribeShowsReadingsAndActionBounds) {
    EXPECT_EQ(tarvik_sims::describe(Pendulum()),
              "pendulum: swing a pendulum up with a limited torque and hold it upright\n"
              "episodes: truncated after 200 steps\n"
              "readings:\n"
              "  cos_theta  cosine of the angle from upright\n"
              "  sin_theta  sine of the angle from upright\n"
              "  theta_dot  angular velocity (rad/s), within -8 to 8\n"
              "action: continuous, clipped to -2.0 to 2.0: torque applied at the pivot\n");
    const std::string cartpole = tarvik_sims::describe(CartPole());
    EXPECT_NE(cartpole.find("action: discrete, an integer from 0 to 1: 0 pushes the cart left"),
              std::string::npos)
        << cartpole;
}

}  // namespace
