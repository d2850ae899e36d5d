// The cart-pole example's plugin: the cart teacher of the two skills, the
// rescue controller and the "tilt" perceptor, registered under the names the
// orchestration file uses. The rules themselves live in cartpole_rules.hpp.
#include <cstdint>
#include <memory>

#include "cartpole_rules.hpp"
#include "sensor_value.hpp"
#include "tarvik_core/implementations.hpp"
#include "tarvik_core/ndarray.hpp"
#include "tarvik_core/value.hpp"

namespace {

namespace rules = tarvik_examples::cartpole;
using tarvik_core::Task;
using tarvik_core::Value;
using tarvik_examples::sensor_value;

// Built outside the coroutines below: braced lists inside a coroutine body
// trip g++ 12.
Value skill_sensor_names() {
    tarvik_core::List names;
    for (auto name : rules::kSkillSensors) names.push_back(Value(name));
    return Value(std::move(names));
}

Value mask_of(const rules::AllowedPushes& allowed) {
    return Value(tarvik_core::NdArray::of<std::int8_t>({allowed.left ? std::int8_t{1} : std::int8_t{0},
                                                        allowed.right ? std::int8_t{1} : std::int8_t{0}}));
}

Value danger_reading(double danger) {
    tarvik_core::Dict derived;
    derived.set("danger", Value(tarvik_core::NdArray::of<float>({static_cast<float>(danger)})));
    return Value(std::move(derived));
}

// Shows the skills the cart and pole readings only, and near the ends of the
// track forbids the push that would take the cart further out.
class CartTeacher : public tarvik_core::Teacher {
public:
    Task<Value> filtered_sensor_space() override { co_return skill_sensor_names(); }

    Task<Value> compute_action_mask(const Value& obs, const Value& /*previous_action*/) override {
        const auto allowed = rules::edge_pushes(sensor_value(obs, "x", "cart_teacher"));
        if (!allowed) co_return Value();
        co_return mask_of(*allowed);
    }
};

class RescueController : public tarvik_core::Controller {
public:
    Task<Value> compute_action(const Value& obs, const Value& /*previous_action*/) override {
        const double theta = sensor_value(obs, "theta", "rescue_controller");
        const double theta_dot = sensor_value(obs, "theta_dot", "rescue_controller");
        co_return Value(rules::rescue_push(theta, theta_dot));
    }
};

// Derives "danger" from the cart position and the pole angle.
class TiltPerceptor : public tarvik_core::Perceptor {
public:
    Task<Value> compute_sensors(const Value& sensors) override {
        const double x = sensor_value(sensors, "x", "tilt");
        const double theta = sensor_value(sensors, "theta", "tilt");
        co_return danger_reading(rules::tilt_danger(x, theta));
    }
};

}  // namespace

extern "C" void tarvik_register(tarvik_core::Registry& registry) {
    registry.add_teacher("cart_teacher", [] { return std::make_shared<CartTeacher>(); });
    registry.add_controller("rescue_controller", [] { return std::make_shared<RescueController>(); });
    registry.add_perceptor("tilt", [] { return std::make_shared<TiltPerceptor>(); });
}
