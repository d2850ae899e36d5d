// The pendulum example's plugin: the phase controller of the orchestrator,
// the energy pump that swings the pendulum up, and the teacher of the
// stabilising skill, registered under the names the orchestration file uses.
// The rules themselves live in pendulum_rules.hpp.
#include <memory>

#include "pendulum_rules.hpp"
#include "sensor_value.hpp"
#include "tarvik_core/implementations.hpp"
#include "tarvik_core/ndarray.hpp"
#include "tarvik_core/value.hpp"

namespace {

namespace rules = tarvik_examples::pendulum;
using tarvik_core::Task;
using tarvik_core::Value;
using tarvik_examples::sensor_value;

// Built outside the coroutines below: braced lists inside a coroutine body
// trip g++ 12.
Value stabilize_sensor_names() {
    tarvik_core::List names;
    for (auto name : rules::kStabilizeSensors) names.push_back(Value(name));
    return Value(std::move(names));
}

// The torque in the form of the agent's Box(-2, 2, (1,)) action space.
Value torque_action(double torque) {
    return Value(tarvik_core::NdArray::of<float>({static_cast<float>(torque)}));
}

// Chooses the orchestrator's child: the position of "stabilize" near the top,
// of "swing_up" elsewhere.
class PhaseController : public tarvik_core::Controller {
public:
    Task<Value> compute_action(const Value& obs, const Value& /*previous_action*/) override {
        co_return Value(rules::phase_choice(sensor_value(obs, "cos_theta", "phase_controller")));
    }
};

class EnergyPump : public tarvik_core::Controller {
public:
    Task<Value> compute_action(const Value& obs, const Value& /*previous_action*/) override {
        const double cos_theta = sensor_value(obs, "cos_theta", "energy_pump");
        const double theta_dot = sensor_value(obs, "theta_dot", "energy_pump");
        co_return torque_action(rules::energy_pump_torque(cos_theta, theta_dot));
    }
};

// Shows the stabilising skill the two readings its model was made for.
class StabilizeTeacher : public tarvik_core::Teacher {
public:
    Task<Value> filtered_sensor_space() override { co_return stabilize_sensor_names(); }
};

}  // namespace

extern "C" void tarvik_register(tarvik_core::Registry& registry) {
    registry.add_controller("phase_controller", [] { return std::make_shared<PhaseController>(); });
    registry.add_controller("energy_pump", [] { return std::make_shared<EnergyPump>(); });
    registry.add_teacher("stabilize_teacher", [] { return std::make_shared<StabilizeTeacher>(); });
}
