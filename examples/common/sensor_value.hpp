// Reading one sensor out of the observation that the example plugins'
// teachers, controllers and perceptors receive.
//
// That observation is a mapping from sensor name to the sensor's value in the
// core form: a one-element float32 array for the examples' Box sensors. A
// plain number is accepted as well, so a host or a test may hand numbers in
// directly. Anything else is refused with an error that names the
// implementation asking (`who`) and the sensor: a TypeError when the
// observation is not a mapping, a KeyError when the sensor is missing, a
// ValueError when the value is not one finite number. A NaN or infinite
// reading is refused rather than passed on, since every rule downstream would
// turn it into a confident but meaningless decision.
#pragma once

#include <cmath>
#include <string>
#include <string_view>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_examples {

inline double sensor_value(const tarvik_core::Value& obs, std::string_view sensor, std::string_view who) {
    const std::string quoted = "'" + std::string(sensor) + "'";
    if (!obs.is_dict())
        throw tarvik_core::TypeError(std::string(who) + " expects the observation as a mapping of sensor values, got " +
                                     obs.type_name());
    const tarvik_core::Value* value = obs.as_dict().find(sensor);
    if (!value) throw tarvik_core::KeyError(std::string(who) + ": the observation has no sensor " + quoted);
    double number = 0.0;
    if (value->is_int() || value->is_float()) {
        number = value->as_double();
    } else if (value->is_array() && value->as_array().size() == 1) {
        number = value->as_array().item(0);
    } else {
        throw tarvik_core::ValueError(std::string(who) + ": sensor " + quoted + " should hold one number, got " +
                                      tarvik_core::repr(*value));
    }
    if (!std::isfinite(number))
        throw tarvik_core::ValueError(std::string(who) + ": sensor " + quoted + " is not finite: " +
                                      tarvik_core::float_repr(number));
    return number;
}

}  // namespace tarvik_examples
