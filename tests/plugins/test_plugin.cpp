// A plugin library for the tests: registers the teachers, controllers and
// perceptor that the every-kind example orchestration names, plus one broken
// teacher whose factory makes nothing.
//
// It also counts how often its entry point ran (`tarvik_test_plugin_calls`),
// so tests can tell "loaded and registered once" from "registered again".
#include <atomic>
#include <memory>

#include "tarvik_core/implementations.hpp"
#include "tarvik_core/ndarray.hpp"
#include "tarvik_core/value.hpp"

namespace {

using tarvik_core::Task;
using tarvik_core::Value;

std::atomic<int> g_register_calls{0};

// Sees only the position and battery sensors; doubles every reward.
class MissionTeacher : public tarvik_core::Teacher {
public:
    Task<Value> filtered_sensor_space() override { co_return Value(tarvik_core::List{"position", "battery"}); }
    Task<Value> compute_reward(const Value&, const Value&, const Value& sim_reward) override {
        co_return Value(2.0 * sim_reward.as_double());
    }
};

class DriveTeacher : public tarvik_core::Teacher {};

class ScoutTeacher : public tarvik_core::Teacher {
public:
    Task<Value> compute_success_criteria(const Value&, const Value&) override { co_return Value(true); }
};

// Always picks the first child.
class RoutePlanner : public tarvik_core::Controller {
public:
    Task<Value> compute_action(const Value&, const Value&) override { co_return Value(0); }
};

// Always asks for the middle of both docking axes.
class DockingController : public tarvik_core::Controller {
public:
    Task<Value> compute_action(const Value&, const Value&) override {
        co_return Value(tarvik_core::NdArray::of<std::int64_t>({1, 1}));
    }
};

class GoalDistance : public tarvik_core::Perceptor {
public:
    Task<Value> compute_sensors(const Value&) override {
        tarvik_core::Dict out;
        out.set("distance_to_goal", tarvik_core::NdArray::of<float>({1.5f}));
        co_return Value(std::move(out));
    }
};

}  // namespace

extern "C" int tarvik_test_plugin_calls() { return g_register_calls.load(); }

extern "C" void tarvik_register(tarvik_core::Registry& registry) {
    ++g_register_calls;
    registry.add_teacher("mission_teacher", [] { return std::make_shared<MissionTeacher>(); }, "2.1.0");
    registry.add_teacher("drive_teacher", [] { return std::make_shared<DriveTeacher>(); });
    registry.add_teacher("scout_teacher", [] { return std::make_shared<ScoutTeacher>(); });
    registry.add_teacher("broken_teacher", []() -> std::shared_ptr<tarvik_core::Teacher> { return nullptr; });
    registry.add_controller("route_planner", [] { return std::make_shared<RoutePlanner>(); });
    registry.add_controller("docking_controller", [] { return std::make_shared<DockingController>(); });
    registry.add_perceptor("goal_distance", [] { return std::make_shared<GoalDistance>(); });
}
