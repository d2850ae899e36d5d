// Sensors of an orchestration.
//
// A sensor has a name, a space, an optional normalisation, and a source: where
// its value comes from in the raw readings of a step. Raw readings are either
// a name-keyed mapping (the sensor reads `key`, its name unless given) or a
// flat numeric vector (the sensor reads its flat size of consecutive entries
// from `index`). A sensor whose source is a perceptor is not read from the
// raw readings: a perceptor derives it from the other sensors.
//
// Sensor values in the core form: a Discrete sensor's value is an int, every
// other kind's an NdArray of the space's dtype and shape.
//
// Normalisation applies to Box sensors only:
// - "scale":    2 * (x - low) / (high - low) - 1, mapping [low, high] to [-1, 1]
//               (low and high default to the Box's bounds);
// - "standard": (x - mean) / std.
// normalize_sample returns a new float32 array; the input is not modified.
// The constructor checks the parameters (ValueError naming the sensor): a
// Box space, finite scale bounds with high > low, a positive std, parameters
// of 1 value or of the space's size; omitted scale bounds come from the Box.
//
// Readings must be finite: a NaN or infinite value in a reading of a float
// space (as converted to the space's element type, so a float64 beyond
// float32's range counts) is a ValueError naming the sensor and the value.
// Integer kinds refuse such values anyway (they are no whole numbers). A
// sensor whose host encodes missing values as NaN, for a teacher to replace,
// is built with `allow_non_finite`; its readings pass unchecked. Readings
// outside a Box's bounds are accepted either way: simulators overshoot.
//
// Sensors are immutable after loading and shared by every processor.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tarvik_core/ndarray.hpp"
#include "tarvik_core/spaces.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_core {

struct Normalization {
    enum class Kind { none, scale, standard };
    Kind kind = Kind::none;
    // For scale: low/high. For standard: mean/std. Broadcast to the shape.
    NdArray a;
    NdArray b;
};

struct SensorSource {
    enum class Kind { key, index, perceptor };
    Kind kind = Kind::key;
    std::string key;           // kind == key: the mapping key
    std::int64_t index = 0;    // kind == index: first position in a flat vector
    std::string perceptor;     // kind == perceptor: the perceptor node's name
};

class Sensor {
public:
    Sensor(std::string name, spaces::SpacePtr space, SensorSource source = {},
           Normalization normalization = {}, bool allow_non_finite = false);

    std::string name;
    spaces::SpacePtr space;
    SensorSource source;
    Normalization normalization;
    // Readings may hold NaN or infinities (for a teacher to replace).
    bool allow_non_finite = false;

    // Number of raw entries the sensor takes from a flat vector.
    std::int64_t flat_size() const;
    // The normalised value (a new array), or `value` itself when the sensor
    // has no normalisation.
    Value normalize_sample(const Value& value) const;
    // The float32 values normalize_sample returns, written row-major to
    // out[0, size of the space) instead of a new array; the same checks and
    // errors. ValueError for a sensor without normalisation.
    void normalize_into(const Value& value, float* out) const;
    // Brings a raw reading into the core form for this sensor's space
    // (ValueError naming the sensor when the size or kind does not fit).
    Value convert_reading(const Value& reading) const;
    // The readings check every conversion runs on a reading in its converted
    // form: ValueError naming the sensor and the first non-finite value,
    // unless the sensor allows them. Integer arrays always pass.
    void check_finite(std::span<const float> values) const;
    void check_finite(std::span<const double> values) const;
    void check_finite(const NdArray& values) const;
};

// Position of the first NaN or infinite value, or values.size() when every
// value is finite. One pass, no allocation: it runs on every reading of every
// step.
std::size_t find_non_finite(std::span<const float> values) noexcept;
std::size_t find_non_finite(std::span<const double> values) noexcept;

// Number of entries a reading of `space` takes in a flat vector: 1 for
// Discrete, nvec.size() for MultiDiscrete, the product of the shape for Box
// and MultiBinary, the sum of the parts for Tuple and Dict. TypeError for
// other kinds.
std::int64_t raw_reading_size(const spaces::Space& space);

using SensorPtr = std::shared_ptr<const Sensor>;
using SensorList = std::vector<SensorPtr>;

}  // namespace tarvik_core
