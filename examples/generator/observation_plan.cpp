#include "observation_plan.hpp"

#include <algorithm>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/spaces.hpp"

namespace tarvik_examples {

namespace {

const tarvik_core::Sensor& find_sensor(const tarvik_core::Orchestration& orchestration, const std::string& name) {
    for (const auto& sensor : orchestration.sensors)
        if (sensor && sensor->name == name) return *sensor;
    throw tarvik_core::KeyError("the orchestration " + orchestration.source() + " has no sensor '" + name + "'");
}

}  // namespace

ObservationPlan::ObservationPlan(const tarvik_core::Orchestration& orchestration,
                                 const std::vector<std::string>& readings,
                                 const std::vector<std::string>& model_sensors)
    : readings_(readings.size()) {
    for (const std::string& name : model_sensors) {
        const tarvik_core::Sensor& sensor = find_sensor(orchestration, name);
        const auto* box = dynamic_cast<const tarvik_core::spaces::Box*>(sensor.space.get());
        if (!box || box->type_name() != "Box" || box->flat_dim() != 1)
            throw tarvik_core::ValueError("sensor '" + name + "' is " + sensor.space->repr() +
                                          "; the example generator simulates one-number Box sensors only");
        const auto it = std::find(readings.begin(), readings.end(), name);
        if (it == readings.end())
            throw tarvik_core::KeyError("sensor '" + name + "' is not among the readings " +
                                        tarvik_core::repr_names(readings));
        Input input{static_cast<std::size_t>(it - readings.begin()), sensor.normalization.kind, 0.0, 0.0};
        if (input.kind != tarvik_core::Normalization::Kind::none) {
            input.a = sensor.normalization.a.item(0);
            input.b = sensor.normalization.b.item(0);
        }
        inputs_.push_back(input);
    }
}

void ObservationPlan::fill(std::span<const float> readings, std::span<float> observation) const {
    if (readings.size() != readings_ || observation.size() != inputs_.size())
        throw tarvik_core::ValueError("observation plan takes " + std::to_string(readings_) + " readings into " +
                                      std::to_string(inputs_.size()) + " inputs, got " +
                                      std::to_string(readings.size()) + " and " + std::to_string(observation.size()));
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
        const Input& input = inputs_[i];
        const double x = readings[input.reading];
        switch (input.kind) {
            case tarvik_core::Normalization::Kind::none: observation[i] = readings[input.reading]; break;
            case tarvik_core::Normalization::Kind::scale:
                observation[i] = to_float32(2.0 * (x - input.a) / (input.b - input.a) - 1.0);
                break;
            case tarvik_core::Normalization::Kind::standard:
                observation[i] = to_float32((x - input.a) / input.b);
                break;
        }
    }
}

std::vector<std::string> all_sensor_names(const tarvik_core::Orchestration& orchestration) {
    std::vector<std::string> names;
    for (const auto& sensor : orchestration.sensors)
        if (sensor) names.push_back(sensor->name);
    return names;
}

float to_float32(double value) noexcept { return tarvik_core::spaces::detail::to_float32(value); }

std::vector<std::string> to_strings(std::span<const std::string_view> names) {
    return {names.begin(), names.end()};
}

}  // namespace tarvik_examples
