// The facade's direct steps against the general pipeline: for random
// readings (good and bad), masks and previous actions, a step through
// Runvane::execute and the same step through the processor's own _execute
// (always the general path) give the same action or the same error, on every
// agent of an orchestration that mixes direct levels with one that hands the
// step back to the general path (a skill with a teacher).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/fakes.hpp"
#include "support/model_builder.hpp"
#include "support/temp_dir.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_inference/runvane.hpp"

namespace {

using namespace tarvik_core;
using namespace tarvik_inference;

const char* kOrchestration = R"({
  "id": "direct-steps",
  "sensors": [
    {"name": "pos", "space": {"type": "Box", "low": -2.0, "high": 2.0, "shape": [2]},
     "normalization": {"type": "scale"}},
    {"name": "mode", "space": {"type": "Discrete", "n": 3, "start": 1}},
    {"name": "speed", "space": {"type": "Box", "low": [0.0], "high": ["inf"], "dtype": "float64"},
     "source": {"key": "velocity"}, "normalization": {"type": "standard", "mean": 1.0, "std": 0.5}},
    {"name": "flags", "space": {"type": "MultiBinary", "n": 2}},
    {"name": "gear", "space": {"type": "MultiDiscrete", "nvec": [2, 3]}},
    {"name": "grid", "space": {"type": "Box", "low": -1.0, "high": 1.0, "shape": [2, 2]}}
  ],
  "agents": [
    {"name": "top", "kind": "orchestrator", "children": ["drive", "sub", "combo", "taught"], "checkpoint": "models"},
    {"name": "sub", "kind": "orchestrator", "children": ["pick", "grid_move"], "checkpoint": "models"},
    {"name": "drive", "kind": "skill", "checkpoint": "models",
     "action_space": {"type": "Box", "low": -2.0, "high": 2.0, "shape": [2]}},
    {"name": "pick", "kind": "skill", "checkpoint": "models", "action_space": {"type": "Discrete", "n": 4}},
    {"name": "grid_move", "kind": "skill", "checkpoint": "models",
     "action_space": {"type": "MultiDiscrete", "nvec": [2, 3]}},
    {"name": "combo", "kind": "skill", "checkpoint": "models",
     "action_space": {"type": "Tuple", "spaces": [{"type": "Discrete", "n": 3, "start": 1},
                                                  {"type": "MultiBinary", "n": 2}]}},
    {"name": "taught", "kind": "skill", "teacher": "pass", "checkpoint": "models",
     "action_space": {"type": "Dict", "spaces": {"b": {"type": "Discrete", "n": 2},
                                                 "a": {"type": "Box", "low": -1.0, "high": 1.0, "shape": [1]}}}}
  ],
  "top_agent": "top"
})";

// One step's outcome: the action's text and kind, or the error's kind and text.
std::string outcome(const std::function<Value()>& step) {
    try {
        const Value action = step();
        std::string text = "ok " + action.type_name() + " " + repr(action);
        if (action.is_array()) text += " " + std::string(dtype_name(action.as_array().dtype()));
        return text;
    } catch (const Error& e) {
        return std::string("error ") + e.kind() + ": " + e.what();
    }
}

// Random readings: mostly well formed, sometimes a key missing, a value of
// the wrong length or kind, a non-finite entry, or the flat-vector form.
Value random_readings(std::mt19937& rng) {
    std::uniform_real_distribution<double> u(-2.5, 2.5);
    std::uniform_int_distribution<int> pick(0, 19);
    const int fault = pick(rng);
    if (fault == 0) {
        // The flat-vector form: 2 + 1 + 1 + 2 + 2 + 4 entries, one too many now and then.
        const std::int64_t n = pick(rng) == 0 ? 13 : 12;
        NdArray flat = NdArray::zeros(DType::Float64, Shape{n});
        double* x = flat.mutable_data<double>();
        for (std::int64_t i = 0; i < n; ++i) x[i] = std::round(std::abs(u(rng)));
        x[0] = u(rng);
        return Value(flat);
    }
    Dict d;
    d.set("pos", List{u(rng), fault == 1 ? std::numeric_limits<double>::quiet_NaN() : u(rng)});
    d.set("mode", fault == 2 ? Value(7) : Value(std::int64_t(1 + pick(rng) % 3)));
    if (fault != 3) d.set("velocity", List{fault == 4 ? -1.0 : std::abs(u(rng))});
    d.set("flags", fault == 5 ? Value(List{1, 0, 1}) : Value(NdArray::of<std::int8_t>({std::int8_t(pick(rng) % 2), 1})));
    d.set("gear", fault == 6 ? Value("high") : Value(NdArray::of<std::int64_t>({pick(rng) % 2, pick(rng) % 3})));
    d.set("grid", List{List{u(rng) / 3, u(rng) / 3}, List{u(rng) / 3, fault == 7 ? 5.0 : 0.25}});
    return Value(std::move(d));
}

Value random_mask(std::mt19937& rng) {
    std::uniform_int_distribution<int> pick(0, 9);
    switch (pick(rng)) {
    case 0: return Value(NdArray::of<std::int64_t>({0, 1, 1, 0}));
    case 1: return Value(List{1, 0, 0, 1});
    case 2: return Value(NdArray::of<double>({0.0, 0.0, 0.0, 0.0}));
    case 3: return Value(NdArray::of<std::int8_t>({1, 0}));  // shorter than any action mask
    case 4: return Value("all");
    default: return Value();
    }
}

Value random_previous_action(std::mt19937& rng) {
    std::uniform_int_distribution<int> pick(-2, 6);
    const int p = pick(rng);
    return p > 4 ? Value() : Value(std::int64_t(p));
}

Task<void> package(Runvane& runvane, OrchestrationPtr orchestration, std::string agent) {
    co_await runvane.load_orchestration(orchestration);
    PackageArgs args{.agent = std::move(agent)};
    co_await runvane.package(std::move(args));
}

TEST(DirectStep, GivesWhatTheGeneralPathGivesOnEveryAgent) {
    tarvik_test::TempDir dir;
    OrchestrationPtr orchestration = tarvik_test::orchestration_from_json(kOrchestration, dir.path().string());
    // The taught skill's teacher rebuilds the sensors now and then (which
    // takes the general observation path), forbids an action and moves the
    // action it is given.
    int calls = 0;
    tarvik_test::register_fake_teacher(orchestration->registry(), "pass", [&](tarvik_test::FakeTeacher& t) {
        t.mask = Value(NdArray::of<std::int8_t>({1, 0, 1, 1}));
        t.on_transform_sensors = [&](const Value& obs) {
            return ++calls % 3 == 0 ? Value(Dict::from_unique(obs.as_dict().items())) : obs;
        };
        t.on_transform_action = [](const Value&, const Value& action) {
            return Value(Tuple{action, Value(std::int64_t(7))});
        };
    });
    std::uint64_t seed = 1;
    std::int64_t n_in = 0;
    for (const auto& sensor : orchestration->sensors) n_in += sensor->space->flat_dim();
    for (const std::string agent : {"top", "sub", "drive", "pick", "grid_move", "combo", "taught"}) {
        tarvik_test::PolicyIo io;
        const std::int64_t n_out = orchestration->get_node_by_name(agent)->get_action_space()->action_dist_size();
        if (agent == "pick" || agent == "sub") io.mask_size = n_out;
        tarvik_test::mlp_policy({.n_in = n_in, .hidden = {8}, .n_out = n_out, .seed = seed++, .io = io})
            .write(dir / "models" / (agent + ".onnx"));
    }

    int direct_tops = 0;
    for (const std::string agent : {"top", "sub", "pick", "drive", "grid_move", "combo", "taught"}) {
        SCOPED_TRACE(agent);
        Runvane runvane;
        run_sync(package(runvane, orchestration, agent));
        direct_tops += runvane.agent_processor->takes_direct_step();
        std::mt19937 rng(seed++);
        int successes = 0;
        for (int i = 0; i < 150; ++i) {
            const Value readings = random_readings(rng);
            const Value mask = random_mask(rng);
            const Value previous = random_previous_action(rng);
            const std::string direct = outcome([&] {
                RunvaneExecuteArgs args{.sim_action_mask = mask, .previous_action = previous};
                return run_sync(runvane.execute(readings, std::move(args)));
            });
            const std::string general = outcome([&] {
                ExecuteArgs args{.sim_action_mask = mask, .previous_action = previous};
                return run_sync(runvane.agent_processor->_execute(readings, std::move(args)));
            });
            ASSERT_EQ(direct, general) << "readings " << repr(readings) << ", mask " << repr(mask)
                                       << ", previous action " << repr(previous);
            successes += direct.starts_with("ok");
        }
        // Enough of both kinds of outcome for the comparison to mean something.
        EXPECT_GT(successes, 40);
        EXPECT_LT(successes, 150);
    }
    // Every agent but the taught one steps directly from the top.
    EXPECT_EQ(direct_tops, 6);
}

}  // namespace
