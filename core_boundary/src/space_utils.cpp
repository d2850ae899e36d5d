#include "tarvik_core/space_utils.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <unordered_set>

#include "tarvik_core/errors.hpp"

namespace tarvik_core::space_utils {
namespace {

using spaces::Kind;
using spaces::kind_of;

std::string who(const Sensor& sensor) { return "sensor '" + sensor.name + "'"; }

const Sensor& sensor_at(const SensorList& sensors, std::size_t i) {
    if (!sensors[i]) throw TypeError("orchestration sensor " + std::to_string(i) + " is None");
    return *sensors[i];
}

// Flat readings as one row-major numeric array: arrays as they are, lists and
// tuples of numbers through the array constructor.
NdArray flat_readings(const Value& readings) {
    if (readings.is_array()) return readings.as_array().flatten();
    try {
        return NdArray::from_value(readings).flatten();
    } catch (const TypeError& e) {
        throw TypeError(std::string("flat sensor readings must hold numbers only: ") + e.what());
    } catch (const ValueError& e) {
        throw ValueError(std::string("flat sensor readings must be a regular numeric array: ") + e.what());
    }
}

// The sensor values being read, one entry per sensor in sensor order; the
// entries become the resulting mapping.
using SensorValues = Dict::Items;

void read_mapping(const Dict& raw, const SensorList& sensors, SensorValues& values) {
    // Hosts usually send their readings in sensor order, which the finder
    // follows at one comparison per sensor; any other order is indexed once.
    DictFinder readings(raw);
    for (std::size_t i = 0; i < sensors.size(); ++i) {
        const Sensor& sensor = sensor_at(sensors, i);
        if (sensor.source.kind == SensorSource::Kind::perceptor) continue;
        const std::string& key =
            sensor.source.kind == SensorSource::Kind::key && !sensor.source.key.empty() ? sensor.source.key : sensor.name;
        const Value* reading = readings.find(key);
        if (!reading) throw KeyError(who(sensor) + " has no value: the readings have no key " + repr(Value(key)));
        values[i].second = sensor.convert_reading(*reading);
    }
}

void read_flat(const NdArray& flat, const spaces::SpacePtr& sim_sensor_space, const SensorList& sensors,
               SensorValues& values) {
    const std::int64_t total = flat.size();
    if (sim_sensor_space) {
        // A flat reading holds one entry per Discrete value (not its one-hot
        // block), so it is measured against the raw reading size.
        const std::int64_t expected = raw_reading_size(*sim_sensor_space);
        if (total != expected) {
            throw ValueError("flat sensor readings have " + std::to_string(total) + " values, but the sim sensor space " +
                             sim_sensor_space->repr() + " takes " + std::to_string(expected));
        }
    }
    std::int64_t next = 0;  // sensors without an index follow the previous one
    for (std::size_t i = 0; i < sensors.size(); ++i) {
        const Sensor& sensor = sensor_at(sensors, i);
        if (sensor.source.kind == SensorSource::Kind::perceptor) continue;
        const std::int64_t size = sensor.flat_size();
        const std::int64_t start = sensor.source.kind == SensorSource::Kind::index ? sensor.source.index : next;
        if (start < 0 || size > total || start > total - size) {
            throw ValueError(who(sensor) + " reads " + std::to_string(size) + " values from position " +
                             std::to_string(start) + " of flat readings that have " + std::to_string(total) + " values");
        }
        values[i].second = sensor.convert_reading(Value(flat.slice(start, start + size)));
        next = start + size;
    }
}

// The sensors known so far, in sensor order.
Dict known_sensors(const SensorValues& values, const std::vector<char>& known) {
    SensorValues out;
    out.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (known[i]) out.push_back(values[i]);
    }
    return Dict::from_entries(std::move(out));
}

template <class T>
T store_as(double v) {
    if constexpr (std::is_same_v<T, float>) {
        return spaces::detail::to_float32(v);
    } else if constexpr (std::is_same_v<T, double>) {
        return v;
    } else if constexpr (std::is_same_v<T, bool>) {
        return v != 0.0;
    } else {
        // Whole numbers, kept inside the type's range so the conversion is defined.
        const double r = std::nearbyint(v);
        if (r <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
        if (r >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
        return static_cast<T>(r);
    }
}

template <class Fn>
void visit_mutable(NdArray& out, Fn&& fn) {
    switch (out.dtype()) {
    case DType::Bool: return fn(out.mutable_data<bool>());
    case DType::Int8: return fn(out.mutable_data<std::int8_t>());
    case DType::UInt8: return fn(out.mutable_data<std::uint8_t>());
    case DType::Int32: return fn(out.mutable_data<std::int32_t>());
    case DType::Int64: return fn(out.mutable_data<std::int64_t>());
    case DType::Float32: return fn(out.mutable_data<float>());
    case DType::Float64: return fn(out.mutable_data<double>());
    }
}

Value unsquash(const Value& action, const spaces::Space& space);

Value unsquash_box(const Value& action, const spaces::Space& space) {
    const auto* box = dynamic_cast<const spaces::Box*>(&space);
    if (!box) throw TypeError("unsquash_action cannot read the bounds of " + space.repr() + ": it is not a Box class");
    if (!box->is_bounded()) return action;

    NdArray x;
    if (action.is_array()) {
        x = action.as_array();
    } else if (action.is_number() || action.is_list() || action.is_tuple()) {
        x = NdArray::from_value(action, DType::Float64);
    } else {
        throw TypeError("unsquash_action expects a number, list or array for " + box->repr() + ", got " +
                        action.type_name());
    }
    if (x.size() != box->flat_dim()) {
        throw ValueError("unsquash_action expects " + std::to_string(box->flat_dim()) + " values for " + box->repr() +
                         ", got " + std::to_string(x.size()));
    }
    const double* low = box->low().data<double>();
    const double* high = box->high().data<double>();
    const bool integral = !dtype_is_float(box->dtype());
    NdArray out = NdArray::zeros(box->dtype(), box->shape());
    visit_mutable(out, [&](auto* dst) {
        using T = std::remove_pointer_t<decltype(dst)>;
        spaces::detail::visit_elements(x, [&](const auto* src) {
            for (std::int64_t i = 0; i < x.size(); ++i) {
                const double v = static_cast<double>(src[i]);
                if (integral && std::isnan(v)) {
                    throw ValueError("unsquash_action got NaN at position " + std::to_string(i) + " for " + box->repr());
                }
                const double mapped = low[i] + (v + 1.0) * (high[i] - low[i]) / 2.0;
                dst[i] = store_as<T>(std::isnan(mapped) ? mapped : std::clamp(mapped, low[i], high[i]));
            }
        });
    });
    return out;
}

Value unsquash_tuple(const Value& action, const spaces::Space& space) {
    const auto& parts = space.sequence_spaces();
    const std::vector<Value>* items = action.is_tuple() ? &action.as_tuple().items()
                                      : action.is_list() ? &action.as_list().items()
                                                         : nullptr;
    if (!items) {
        throw TypeError("unsquash_action expects a tuple or list for " + space.repr() + ", got " + action.type_name());
    }
    if (items->size() != parts.size()) {
        throw ValueError("unsquash_action expects " + std::to_string(parts.size()) + " parts for " + space.repr() +
                         ", got " + std::to_string(items->size()));
    }
    std::vector<Value> out;
    out.reserve(parts.size());
    for (std::size_t i = 0; i < parts.size(); ++i) out.push_back(unsquash((*items)[i], *parts[i]));
    if (action.is_tuple()) return Tuple(std::move(out));
    return List(std::move(out));
}

Value unsquash_dict(const Value& action, const spaces::Space& space) {
    if (!action.is_dict()) {
        throw TypeError("unsquash_action expects a mapping for " + space.repr() + ", got " + action.type_name());
    }
    const Dict& given = action.as_dict();
    const auto& entries = space.mapping_spaces();
    for (const auto& entry : entries) {
        if (!given.contains(entry.first)) {
            throw KeyError("unsquash_action: the action has no key " + repr(Value(entry.first)) + " of " + space.repr());
        }
    }
    Dict out;
    for (const auto& [key, value] : given) {
        const auto it = std::find_if(entries.begin(), entries.end(), [&key = key](const auto& e) { return e.first == key; });
        out.set(key, it == entries.end() ? value : unsquash(value, *it->second));
    }
    return out;
}

Value unsquash(const Value& action, const spaces::Space& space) {
    switch (kind_of(space)) {
    case Kind::Box: return unsquash_box(action, space);
    case Kind::Tuple: return unsquash_tuple(action, space);
    case Kind::Dict: return unsquash_dict(action, space);
    default: return action;
    }
}

}  // namespace

Task<spaces::SpacePtr> get_tarvik_space_info(spaces::SpacePtr sim_sensor_space, const SensorList& sensors,
                                            const PerceptorList& perceptors,
                                            const AgentGroupProcessors& agent_group_agent_processors) {
    spaces::SpaceEntries entries;
    entries.reserve(sensors.size());
    std::unordered_set<std::string_view> seen;
    for (std::size_t i = 0; i < sensors.size(); ++i) {
        const Sensor& sensor = sensor_at(sensors, i);
        if (!seen.insert(sensor.name).second) {
            throw ValueError("the orchestration has two sensors named '" + sensor.name + "'");
        }
        entries.emplace_back(sensor.name, sensor.space);
    }
    co_return std::make_shared<spaces::Dict>(std::move(entries));
}

spaces::SpacePtr filter_space(const spaces::SpacePtr& space, const std::vector<std::string>& filter_keys) {
    if (!space || kind_of(*space) != Kind::Dict) {
        throw TypeError("filter_space expects a Dict space, got " + spaces::repr(space));
    }
    const auto& entries = space->mapping_spaces();
    spaces::SpaceEntries kept;
    kept.reserve(filter_keys.size());
    std::unordered_set<std::string_view> seen;
    for (const std::string& key : filter_keys) {
        if (!seen.insert(key).second) continue;  // a repeated key keeps its first position
        const auto it = std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.first == key; });
        if (it == entries.end()) throw KeyError(repr(Value(key)) + " is not a sensor of " + space->repr());
        kept.push_back(*it);
    }
    return std::make_shared<spaces::Dict>(std::move(kept));
}

namespace {

// Reads the raw sensors of one step into `values` (perceptor-derived sensors
// stay None).
void read_raw_sensors(const Value& sensors, const spaces::SpacePtr& sim_sensor_space,
                      const SensorList& orchestration_sensors, SensorValues& values) {
    values.resize(orchestration_sensors.size());
    if (sensors.is_none()) {
        throw TypeError("sensor readings are None: expected a mapping or a flat numeric vector");
    } else if (sensors.is_dict()) {
        read_mapping(sensors.as_dict(), orchestration_sensors, values);
    } else if (sensors.is_array() || sensors.is_list() || sensors.is_tuple()) {
        read_flat(flat_readings(sensors), sim_sensor_space, orchestration_sensors, values);
    } else {
        throw TypeError("sensor readings must be a mapping or a flat numeric vector, got " + sensors.type_name());
    }
    // Reading visited every sensor, so none of them is null here.
    for (std::size_t i = 0; i < values.size(); ++i) values[i].first = orchestration_sensors[i]->name;
}

[[noreturn]] void no_value(const Sensor& sensor) {
    const std::string from =
        sensor.source.perceptor.empty() ? "" : " (its source is perceptor '" + sensor.source.perceptor + "')";
    throw KeyError(who(sensor) + " has no value: no perceptor provided it" + from);
}

}  // namespace

Task<Value> convert_sim_sensors_to_tarvik_sensors(const Value& sensors, spaces::SpacePtr sim_sensor_space,
                                                  const SensorList& orchestration_sensors,
                                                  const PerceptorList& perceptors,
                                                  const AgentGroupProcessors& agent_group_agent_processors) {
    // Without perceptors nothing is awaited: the common case stays one
    // synchronous pass.
    if (perceptors.empty())
        co_return convert_sim_sensors_without_perceptors(sensors, sim_sensor_space, orchestration_sensors);

    const std::size_t count = orchestration_sensors.size();
    SensorValues values;
    read_raw_sensors(sensors, sim_sensor_space, orchestration_sensors, values);

    std::vector<char> known(count);
    for (std::size_t i = 0; i < count; ++i) {
        known[i] = orchestration_sensors[i]->source.kind != SensorSource::Kind::perceptor;
    }
    for (std::size_t p = 0; p < perceptors.size(); ++p) {
        if (!perceptors[p]) throw TypeError("perceptor " + std::to_string(p) + " is None");
        const Value so_far = known_sensors(values, known);
        const Value derived = co_await perceptors[p]->compute_sensors(so_far);
        if (!derived.is_dict()) {
            throw TypeError("perceptor " + perceptors[p]->class_name() + " returned " + derived.type_name() +
                            " from compute_sensors, expected a mapping");
        }
        DictFinder found(derived.as_dict());
        for (std::size_t i = 0; i < count; ++i) {
            const Sensor& sensor = *orchestration_sensors[i];
            if (sensor.source.kind != SensorSource::Kind::perceptor) continue;
            if (const Value* value = found.find(sensor.name)) {
                values[i].second = sensor.convert_reading(*value);
                known[i] = 1;
            }
        }
    }

    for (std::size_t i = 0; i < count; ++i) {
        if (!known[i]) no_value(*orchestration_sensors[i]);
    }
    co_return Value(Dict::from_entries(std::move(values)));
}

Value convert_sim_sensors_without_perceptors(const Value& sensors, const spaces::SpacePtr& sim_sensor_space,
                                             const SensorList& orchestration_sensors) {
    SensorValues values;
    read_raw_sensors(sensors, sim_sensor_space, orchestration_sensors, values);
    // No perceptor runs, so a sensor whose source is a perceptor has no value.
    for (const auto& sensor : orchestration_sensors) {
        if (sensor->source.kind == SensorSource::Kind::perceptor) no_value(*sensor);
    }
    return Dict::from_entries(std::move(values));
}

Value filter_sample(const Value& sample, const std::vector<std::string>& filter_keys) {
    if (sample.is_none()) return Value();
    if (!sample.is_dict()) throw TypeError("filter_sample expects a mapping, got " + sample.type_name());
    DictFinder given(sample.as_dict());
    Dict::Items kept;
    kept.reserve(filter_keys.size());
    for (const std::string& key : filter_keys) {
        if (const Value* value = given.find(key)) kept.emplace_back(key, *value);
    }
    // A repeated key keeps its first position, as set() keeps it.
    return Dict::from_entries(std::move(kept));
}

NdArray combine_masks(const NdArray& a, const NdArray& b) {
    if (a.dtype() != DType::Int8 || b.dtype() != DType::Int8) {
        throw TypeError("combine_masks expects int8 masks, got " + std::string(dtype_name(a.dtype())) + " and " +
                        std::string(dtype_name(b.dtype())));
    }
    if (a.ndim() != 1 || b.ndim() != 1) {
        throw ValueError("combine_masks expects one-dimensional masks, got shapes " + shape_repr(a.shape()) + " and " +
                         shape_repr(b.shape()));
    }
    if (a.size() != b.size()) {
        throw ValueError("cannot combine action masks of lengths " + std::to_string(a.size()) + " and " +
                         std::to_string(b.size()));
    }
    NdArray out = NdArray::zeros(DType::Int8, a.shape());
    std::int8_t* o = out.mutable_data<std::int8_t>();
    const std::int8_t* pa = a.data<std::int8_t>();
    const std::int8_t* pb = b.data<std::int8_t>();
    for (std::int64_t i = 0; i < a.size(); ++i) o[i] = (pa[i] != 0 && pb[i] != 0) ? 1 : 0;
    return out;
}

Value unsquash_action(const Value& action, const spaces::SpacePtr& action_space) {
    if (!action_space) throw TypeError("unsquash_action needs an action space, got None");
    return unsquash(action, *action_space);
}

NdArray compute_orchestrator_action_mask(const GraphNode& agent, const Value& previous_action) {
    return NdArray::ones(DType::Int8, Shape{static_cast<std::int64_t>(agent.get_children().size())});
}

NdArray make_np_array(const NdArray& array) { return array.flatten(); }

NdArray make_np_array(const Value& value) {
    if (value.is_array()) return value.as_array().flatten();
    return NdArray::from_value(value).flatten();
}

}  // namespace tarvik_core::space_utils
