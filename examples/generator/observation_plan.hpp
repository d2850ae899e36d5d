// ObservationPlan: how the runtime turns the readings of one step into one
// model's observation, for the generator's simulation of an orchestration.
//
// The runtime holds every Box sensor in float32, normalises the sensors a
// model sees ("scale": 2 (x - low) / (high - low) - 1; "standard":
// (x - mean) / std; both computed in double and rounded to float32) and lays
// them out in the model's sensor order. A plan does the same for one-number
// Box sensors, the only kind the examples use. It takes the sensors and their
// normalisation from the loaded orchestration file, so an edit to the file
// changes the simulation as it changes the runtime.
//
// Errors: a model sensor that the orchestration lacks, or that is not among
// the readings the caller provides, is a tarvik_core::KeyError; a sensor that
// is not a one-number Box is a tarvik_core::ValueError; readings or an
// observation buffer of the wrong length are a tarvik_core::ValueError.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tarvik_core/orchestration.hpp"
#include "tarvik_core/sensors.hpp"

namespace tarvik_examples {

class ObservationPlan {
public:
    // `readings`: the names of the values `fill` will be handed, in that
    // order; `model_sensors`: the model's sensors, in observation order.
    ObservationPlan(const tarvik_core::Orchestration& orchestration, const std::vector<std::string>& readings,
                    const std::vector<std::string>& model_sensors);

    std::size_t size() const noexcept { return inputs_.size(); }
    // The model's observation: observation[i] is model sensor i, normalised.
    void fill(std::span<const float> readings, std::span<float> observation) const;

private:
    struct Input {
        std::size_t reading;
        tarvik_core::Normalization::Kind kind;
        double a;  // scale: low;  standard: mean
        double b;  // scale: high; standard: std
    };
    std::size_t readings_ = 0;
    std::vector<Input> inputs_;
};

// Every sensor of the orchestration in file order: what a model sees when
// its agent's teacher or controller filters nothing.
std::vector<std::string> all_sensor_names(const tarvik_core::Orchestration& orchestration);

std::vector<std::string> to_strings(std::span<const std::string_view> names);

// A double rounded to float32 the way the runtime stores readings: values
// beyond the float range become infinities (a plain cast would be undefined).
float to_float32(double value) noexcept;

}  // namespace tarvik_examples
