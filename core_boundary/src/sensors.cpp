#include "tarvik_core/sensors.hpp"

#include <cmath>
#include <optional>
#include <utility>

#include "tarvik_core/errors.hpp"

namespace tarvik_core {
namespace {

using spaces::Kind;
using spaces::kind_of;

std::string who(const Sensor& sensor) { return "sensor '" + sensor.name + "'"; }

// A numeric reading as an array: arrays as they are, numbers and (nested)
// lists through the array constructor in `dtype`. Anything else is a
// ValueError naming the sensor.
NdArray reading_array(const Sensor& sensor, const spaces::Space& space, const Value& reading, DType dtype) {
    if (reading.is_array()) return reading.as_array();
    if (reading.is_number() || reading.is_list() || reading.is_tuple()) {
        try {
            // Integer spaces read numbers in their own types first, so that
            // fractions and out-of-range values are seen before conversion
            // (which would truncate 0.7 to 0 or wrap 256 to 0).
            return dtype_is_float(dtype) ? NdArray::from_value(reading, dtype) : NdArray::from_value(reading);
        } catch (const Error& e) {
            throw ValueError(who(sensor) + " cannot read " + repr(reading) + " for " + space.repr() + ": " + e.what());
        }
    }
    throw ValueError(who(sensor) + " expects a number, list or array for " + space.repr() + ", got " +
                     reading.type_name());
}

void check_count(const Sensor& sensor, const spaces::Space& space, std::int64_t expected, std::int64_t got) {
    if (expected != got) {
        throw ValueError(who(sensor) + " expects " + std::to_string(expected) + " values for " + space.repr() +
                         ", got " + std::to_string(got));
    }
}

std::int64_t discrete_reading(const Sensor& sensor, const spaces::Space& space, const Value& reading) {
    std::optional<std::int64_t> value;
    if (reading.is_int()) {
        value = reading.as_int();
    } else if (reading.is_bool()) {
        value = reading.as_bool() ? 1 : 0;
    } else if (reading.is_float()) {
        value = spaces::detail::whole_number(reading.as_double());
    } else if (reading.is_array()) {
        const NdArray& array = reading.as_array();
        check_count(sensor, space, 1, array.size());
        value = spaces::detail::visit_elements(array, [](const auto* p) { return spaces::detail::whole_number(p[0]); });
    } else {
        throw ValueError(who(sensor) + " expects an int for " + space.repr() + ", got " + reading.type_name());
    }
    if (!value) throw ValueError(who(sensor) + " expects a whole number for " + space.repr() + ", got " + repr(reading));
    const auto* discrete = dynamic_cast<const spaces::Discrete*>(&space);
    const std::int64_t start = discrete ? discrete->start() : 0;
    if (*value < start || *value >= start + space.n()) {
        throw ValueError(who(sensor) + " reading " + std::to_string(*value) + " is outside " + space.repr());
    }
    return *value;
}

// Readings of integer spaces must be whole numbers: truncating 0.7 to 0
// would silently turn a wrong reading into a plausible one.
void check_whole(const Sensor& sensor, const spaces::Space& space, const NdArray& array) {
    spaces::detail::visit_elements(array, [&](const auto* p) {
        for (std::int64_t i = 0; i < array.size(); ++i) {
            if (!spaces::detail::whole_number(p[i])) {
                throw ValueError(who(sensor) + " reading " + array.str() + " for " + space.repr() +
                                 " holds a value that is not a whole number at position " + std::to_string(i));
            }
        }
    });
}

// MultiBinary readings are 0 or 1. Checked before the conversion to the
// space's 8-bit type, which would wrap 256 to a valid-looking 0.
// (MultiDiscrete ranges are checked when the sample is flattened; its int64
// type holds every whole reading as it is.)
void check_binary(const Sensor& sensor, const spaces::Space& space, const NdArray& array) {
    spaces::detail::visit_elements(array, [&](const auto* p) {
        for (std::int64_t i = 0; i < array.size(); ++i) {
            const double v = static_cast<double>(p[i]);
            if (v != 0.0 && v != 1.0) {
                throw ValueError(who(sensor) + " reading " + array.str() + " for " + space.repr() +
                                 " holds a value that is neither 0 nor 1 at position " + std::to_string(i));
            }
        }
    });
}

NdArray array_reading(const Sensor& sensor, const spaces::Space& space, const Value& reading) {
    const Shape& shape = space.shape();
    const DType dtype = space.dtype();
    NdArray array = reading_array(sensor, space, reading, dtype);
    check_count(sensor, space, shape_product(shape), array.size());
    if (array.dtype() != dtype) {
        if (!dtype_is_float(dtype) && dtype_is_float(array.dtype())) check_whole(sensor, space, array);
        if (kind_of(space) == Kind::MultiBinary) check_binary(sensor, space, array);
        array = array.astype(dtype);
    }
    // Checked in the space's own type: a float64 beyond float32's range has
    // become an infinity by now, and the model would see that.
    sensor.check_finite(array);
    if (!(array.shape() == shape)) array = array.reshape(shape);
    return array;
}

Value convert(const Sensor& sensor, const spaces::Space& space, const Value& reading);

// Splits a flat array into consecutive parts, one per sub-space.
template <class Emit>
void split_flat(const Sensor& sensor, const spaces::Space& space, const NdArray& flat,
                const std::vector<const spaces::Space*>& parts, Emit&& emit) {
    check_count(sensor, space, raw_reading_size(space), flat.size());
    const NdArray line = flat.flatten();
    std::int64_t offset = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::int64_t size = raw_reading_size(*parts[i]);
        emit(i, convert(sensor, *parts[i], Value(line.slice(offset, offset + size))));
        offset += size;
    }
}

Value convert_tuple(const Sensor& sensor, const spaces::Space& space, const Value& reading) {
    const auto& subspaces = space.sequence_spaces();
    std::vector<const spaces::Space*> parts;
    for (const auto& s : subspaces) parts.push_back(s.get());
    Tuple::Items items(parts.size());
    if (reading.is_array()) {
        split_flat(sensor, space, reading.as_array(), parts, [&](std::size_t i, Value v) { items[i] = std::move(v); });
        return Tuple(std::move(items));
    }
    const Tuple::Items* given = reading.is_tuple() ? &reading.as_tuple().items()
                                : reading.is_list() ? &reading.as_list().items()
                                                    : nullptr;
    if (!given) {
        throw ValueError(who(sensor) + " expects a tuple, list or array for " + space.repr() + ", got " +
                         reading.type_name());
    }
    if (given->size() != parts.size()) {
        throw ValueError(who(sensor) + " expects " + std::to_string(parts.size()) + " parts for " + space.repr() +
                         ", got " + std::to_string(given->size()));
    }
    for (std::size_t i = 0; i < parts.size(); ++i) items[i] = convert(sensor, *parts[i], (*given)[i]);
    return Tuple(std::move(items));
}

Value convert_dict(const Sensor& sensor, const spaces::Space& space, const Value& reading) {
    const auto& entries = space.mapping_spaces();
    Dict out;
    if (reading.is_array()) {
        std::vector<const spaces::Space*> parts;
        for (const auto& e : entries) parts.push_back(e.second.get());
        split_flat(sensor, space, reading.as_array(), parts,
                   [&](std::size_t i, Value v) { out.set(entries[i].first, std::move(v)); });
        return out;
    }
    if (!reading.is_dict()) {
        throw ValueError(who(sensor) + " expects a mapping or array for " + space.repr() + ", got " +
                         reading.type_name());
    }
    const Dict& given = reading.as_dict();
    for (const auto& [key, sub] : entries) {
        const Value* value = given.find(key);
        if (!value) throw KeyError(who(sensor) + " reading has no key " + repr(Value(key)) + " of " + space.repr());
        out.set(key, convert(sensor, *sub, *value));
    }
    return out;
}

Value convert(const Sensor& sensor, const spaces::Space& space, const Value& reading) {
    switch (kind_of(space)) {
    case Kind::Discrete: return discrete_reading(sensor, space, reading);
    case Kind::MultiDiscrete:
    case Kind::Box:
    case Kind::MultiBinary: return array_reading(sensor, space, reading);
    case Kind::Tuple: return convert_tuple(sensor, space, reading);
    case Kind::Dict: return convert_dict(sensor, space, reading);
    case Kind::Other: break;
    }
    // A space kind without a known form: its readings are taken as they come.
    return reading;
}

// The normalisation parameters as float64 arrays of 1 or `size` entries, with
// omitted scale bounds taken from the Box.
std::pair<NdArray, NdArray> normalization_params(const Sensor& sensor) {
    const Normalization& norm = sensor.normalization;
    const spaces::Space& space = *sensor.space;
    NdArray a = norm.a;
    NdArray b = norm.b;
    if (norm.kind == Normalization::Kind::scale && (a.size() == 0 || b.size() == 0)) {
        const auto* box = dynamic_cast<const spaces::Box*>(&space);
        if (!box) throw ValueError(who(sensor) + ": scale normalization needs low and high for " + space.repr());
        if (a.size() == 0) a = box->low();
        if (b.size() == 0) b = box->high();
    }
    if (norm.kind == Normalization::Kind::standard && (a.size() == 0 || b.size() == 0)) {
        throw ValueError(who(sensor) + ": standard normalization needs mean and std");
    }
    const std::int64_t size = shape_product(space.shape());
    for (const NdArray* p : {&a, &b}) {
        if (p->size() != 1 && p->size() != size) {
            throw ValueError(who(sensor) + ": a normalization parameter of " + std::to_string(p->size()) +
                             " values does not fit " + space.repr() + " (" + std::to_string(size) + " values)");
        }
    }
    return {a.astype(DType::Float64), b.astype(DType::Float64)};
}

void check_params(const Sensor& sensor, const NdArray& a, const NdArray& b) {
    const bool scale = sensor.normalization.kind == Normalization::Kind::scale;
    const std::int64_t n = std::max(a.size(), b.size());
    const double* pa = a.data<double>();
    const double* pb = b.data<double>();
    for (std::int64_t i = 0; i < n; ++i) {
        const double x = pa[a.size() == 1 ? 0 : i];
        const double y = pb[b.size() == 1 ? 0 : i];
        if (!std::isfinite(x) || !std::isfinite(y)) {
            throw ValueError(who(sensor) + ": " + (scale ? "scale normalization needs finite low and high"
                                                          : "standard normalization needs finite mean and std") +
                             ", got " + float_repr(x) + " and " + float_repr(y) + " for " + sensor.space->repr());
        }
        if (scale ? !(y > x) : !(y > 0.0)) {
            throw ValueError(who(sensor) + ": " + (scale ? "scale normalization needs high > low" :
                                                           "standard normalization needs a positive std") +
                             ", got " + float_repr(x) + " and " + float_repr(y) + " at position " +
                             std::to_string(i));
        }
    }
}

template <class T>
std::size_t first_non_finite(std::span<const T> values) noexcept {
    for (std::size_t i = 0; i < values.size(); ++i)
        if (!std::isfinite(values[i])) return i;
    return values.size();
}

template <class T>
void check_finite_values(const Sensor& sensor, std::span<const T> values) {
    if (sensor.allow_non_finite) return;
    const std::size_t at = first_non_finite(values);
    if (at == values.size()) return;
    std::string where = values.size() == 1 ? "" : " at position " + std::to_string(at);
    throw ValueError(who(sensor) + " reading is not finite: " + float_repr(values[at]) + where +
                     " (a sensor whose teacher replaces missing values sets \"allow_non_finite\")");
}

}  // namespace

std::size_t find_non_finite(std::span<const float> values) noexcept { return first_non_finite(values); }
std::size_t find_non_finite(std::span<const double> values) noexcept { return first_non_finite(values); }

void Sensor::check_finite(std::span<const float> values) const { check_finite_values(*this, values); }
void Sensor::check_finite(std::span<const double> values) const { check_finite_values(*this, values); }

void Sensor::check_finite(const NdArray& values) const {
    if (values.dtype() == DType::Float32) check_finite_values(*this, values.values<float>());
    else if (values.dtype() == DType::Float64) check_finite_values(*this, values.values<double>());
}

std::int64_t raw_reading_size(const spaces::Space& space) {
    switch (kind_of(space)) {
    case Kind::Discrete: return 1;
    case Kind::MultiDiscrete: return space.nvec().size();
    case Kind::Box:
    case Kind::MultiBinary: return shape_product(space.shape());
    case Kind::Tuple: {
        std::int64_t total = 0;
        for (const auto& s : space.sequence_spaces()) total += raw_reading_size(*s);
        return total;
    }
    case Kind::Dict: {
        std::int64_t total = 0;
        for (const auto& e : space.mapping_spaces()) total += raw_reading_size(*e.second);
        return total;
    }
    case Kind::Other: break;
    }
    throw TypeError(space.repr() + " has no flat reading layout: its kind '" + space.type_name() + "' is not one of "
                    "Discrete, MultiDiscrete, Box, MultiBinary, Tuple, Dict");
}

Sensor::Sensor(std::string name_, spaces::SpacePtr space_, SensorSource source_, Normalization normalization_,
               bool allow_non_finite_)
    : name(std::move(name_)), space(std::move(space_)), source(std::move(source_)),
      normalization(std::move(normalization_)), allow_non_finite(allow_non_finite_) {
    if (!space) throw ValueError(who(*this) + " has no space");
    if (normalization.kind == Normalization::Kind::none) return;
    if (kind_of(*space) != Kind::Box) {
        throw ValueError(who(*this) + ": normalization applies to Box sensors only, not " + space->repr());
    }
    auto [a, b] = normalization_params(*this);
    check_params(*this, a, b);
    normalization.a = std::move(a);
    normalization.b = std::move(b);
}

std::int64_t Sensor::flat_size() const { return raw_reading_size(*space); }

Value Sensor::convert_reading(const Value& reading) const { return convert(*this, *space, reading); }

Value Sensor::normalize_sample(const Value& value) const {
    if (normalization.kind == Normalization::Kind::none) return value;
    NdArray out = NdArray::zeros(DType::Float32, space->shape());
    normalize_into(value, out.mutable_data<float>());
    return out;
}

void Sensor::normalize_into(const Value& value, float* o) const {
    if (normalization.kind == Normalization::Kind::none) throw ValueError(who(*this) + " has no normalization");
    const Shape& shape = space->shape();
    const std::int64_t size = shape_product(shape);
    const NdArray x = reading_array(*this, *space, value, DType::Float64);
    if (x.size() != size) {
        throw ValueError(who(*this) + " normalization expects " + std::to_string(size) + " values for " +
                         space->repr() + ", got " + std::to_string(x.size()));
    }
    // The constructor settles the parameters (float64, one value or one per
    // element); only parameters changed since then are derived again.
    auto settled = [size](const NdArray& p) {
        return p.dtype() == DType::Float64 && (p.size() == 1 || (p.size() == size && size > 0));
    };
    const NdArray* a = &normalization.a;
    const NdArray* b = &normalization.b;
    std::optional<std::pair<NdArray, NdArray>> derived;
    if (!settled(*a) || !settled(*b)) {
        derived = normalization_params(*this);
        a = &derived->first;
        b = &derived->second;
    }
    const double* pa = a->data<double>();
    const double* pb = b->data<double>();
    const std::int64_t step_a = a->size() == 1 ? 0 : 1;
    const std::int64_t step_b = b->size() == 1 ? 0 : 1;
    const bool scale = normalization.kind == Normalization::Kind::scale;

    spaces::detail::visit_elements(x, [&](const auto* p) {
        for (std::int64_t i = 0; i < x.size(); ++i) {
            const double v = static_cast<double>(p[i]);
            const double first = pa[i * step_a];
            const double second = pb[i * step_b];
            const double r = scale ? 2.0 * (v - first) / (second - first) - 1.0 : (v - first) / second;
            o[i] = spaces::detail::to_float32(r);
        }
    });
}

}  // namespace tarvik_core
