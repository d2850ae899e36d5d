#include "tarvik_inference/kernova.hpp"

#include <algorithm>
#include <typeinfo>

#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_core/network.hpp"

namespace tarvik_inference {

using tarvik_core::AttributeError;
using tarvik_core::DType;
using tarvik_core::List;
using tarvik_core::NotImplementedError;
using tarvik_core::Shape;
using tarvik_core::TypeError;
using tarvik_core::ValueError;
namespace space_utils = tarvik_core::space_utils;

namespace {

tarvik_core::Logger& logger = tarvik_core::get_logger("tarvik_inference.kernova");

[[noreturn]] void none_has_no(const char* attribute) {
    throw AttributeError(std::string("'NoneType' object has no attribute '") + attribute + "'");
}

// Unpacks a two-item sequence the way "a, b = value" does.
std::pair<Value, Value> unpack_pair(const Value& value) {
    const std::vector<Value>* items = nullptr;
    if (value.is_tuple()) items = &value.as_tuple().items();
    else if (value.is_list()) items = &value.as_list().items();
    else throw TypeError("cannot unpack non-iterable " + value.type_name() + " object");
    if (items->size() < 2)
        throw ValueError("not enough values to unpack (expected 2, got " + std::to_string(items->size()) + ")");
    if (items->size() > 2) throw ValueError("too many values to unpack (expected 2)");
    return {(*items)[0], (*items)[1]};
}

// The typed implementation behind an object, or null for none; a wrong kind
// is a TypeError naming the agent.
template <class T>
std::shared_ptr<T> implementation_as(const std::shared_ptr<tarvik_core::Object>& object, const char* kind,
                                     const std::string& owner) {
    if (!object) return nullptr;
    auto typed = std::dynamic_pointer_cast<T>(object);
    if (!typed)
        throw TypeError("the implementation of '" + owner + "' is a " + object->class_name() + ", not a " + kind);
    return typed;
}

// The version a remote implementation is served under, or "latest" when it
// cannot be read (cancellation still propagates).
template <class Arg>
Task<std::string> version_or_latest(Arg arg) {
    std::exception_ptr failure;
    try {
        co_return co_await tarvik_core::plugin_util::get_tarvik_version(std::move(arg));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!tarvik_core::is_ordinary_error(failure)) std::rethrow_exception(failure);
    co_return std::string("latest");
}

// Asks a remote manager for a proxy through `create_with_client`.
Task<Value> create_remote(tarvik_core::MaybeTask<Value> call) {
    Value result = co_await std::move(call).task();
    co_return unpack_pair(result).second;
}

// The sensor names a teacher's filtered_sensor_space() result lists, as text.
std::vector<std::string> key_texts(const Value& keys) {
    std::vector<std::string> out;
    auto add_all = [&](const std::vector<Value>& items) {
        for (const auto& k : items) out.push_back(tarvik_core::str(k));
    };
    if (keys.is_list()) add_all(keys.as_list().items());
    else if (keys.is_tuple()) add_all(keys.as_tuple().items());
    else if (keys.is_dict()) out = keys.as_dict().keys();
    else if (keys.is_array()) {
        const NdArray& a = keys.as_array();
        if (a.ndim() == 0) throw TypeError("iteration over a 0-d array");
        for (std::int64_t i = 0; i < a.len(); ++i) out.push_back(tarvik_core::str(Value(a[i])));
    } else {
        // A lone string would otherwise be split into characters.
        throw TypeError("filtered_sensor_space() must return a sequence of sensor names, got " + keys.type_name());
    }
    return out;
}

// GCC 12 miscompiles braced initializer lists inside coroutines ("array used
// as initializer"), so the coroutines build their mappings through these.
Dict create_with_client_kwargs(const std::string& url, const std::string& version) {
    Dict kwargs;
    kwargs.set("env_init", url);
    kwargs.set("version", version);
    return kwargs;
}

Dict single_entry(const std::string& key, Value value) {
    Dict d;
    d.set(key, std::move(value));
    return d;
}

SpacePtr make_observation_space(const SpacePtr& filtered, const SpacePtr& action_mask_space) {
    tarvik_core::spaces::SpaceEntries entries;
    entries.emplace_back("observation", filtered->flatten());
    entries.emplace_back("action_mask", action_mask_space->flatten());
    return std::make_shared<tarvik_core::spaces::Dict>(std::move(entries));
}

}  // namespace

BaseAgentProcessor::BaseAgentProcessor(AgentProcessorContext ctx) : context(std::move(ctx)) {
    if (!context.agent) none_has_no("get_sim_sensor_space");
    sim_sensor_space = context.agent->get_sim_sensor_space();
    action_space = context.agent->get_action_space();
    if (!action_space) throw tarvik_core::Error(kNoActionSpaceMessage);
    action_mask_space = action_space->get_action_mask_space();
    no_action_mask = action_space->get_no_action_mask();
}

BaseAgentProcessor::~BaseAgentProcessor() = default;

Task<void> BaseAgentProcessor::init() {
    auto& agent = *context.agent;
    if (!context.orchestration) none_has_no("perceptors");
    // Named rather than written as {} inside the co_await expressions below,
    // where g++ 12 mishandles braced temporaries.
    const List no_positional_args;

    // Teacher or controller: a proxy from the remote managers, or a local instance.
    if (agent.is_remote()) {
        auto impl_cls = agent.get_impl_cls();
        std::string version = co_await version_or_latest(impl_cls);
        std::string url = tarvik_core::network_util::get_tarvik_url(impl_cls);
        if (!context.network_mgr) none_has_no(agent.is_controller() ? "call_remote_controller_mgr" : "call_remote_agent_mgr");
        Dict kwargs = create_with_client_kwargs(url, version);
        if (agent.is_controller()) {
            Value proxy = co_await create_remote(
                context.network_mgr->call_remote_controller_mgr("create_with_client", no_positional_args, kwargs));
            controller = proxy.as<tarvik_core::Controller>("a remote controller proxy");
        } else {
            Value proxy = co_await create_remote(
                context.network_mgr->call_remote_agent_mgr("create_with_client", no_positional_args, kwargs));
            teacher = proxy.as<tarvik_core::Teacher>("a remote teacher proxy");
        }
    } else if (agent.is_controller()) {
        controller = implementation_as<tarvik_core::Controller>(agent.get_impl_cls_instance(), "Controller",
                                                                agent.get_name());
    } else {
        teacher = implementation_as<tarvik_core::Teacher>(agent.get_impl_cls_instance(), "Teacher", agent.get_name());
    }

    // Perceptors, appended in orchestration order.
    if (context.orchestration->perceptors) {
        for (const auto& node : *context.orchestration->perceptors) {
            if (!node) none_has_no("is_remote");
            if (node->is_remote()) {
                std::string url = tarvik_core::network_util::get_tarvik_url(node->get_impl_cls());
                std::string version = co_await version_or_latest(url);
                if (!context.network_mgr) none_has_no("call_remote_perceptor_mgr");
                Value proxy = co_await create_remote(context.network_mgr->call_remote_perceptor_mgr(
                    "create_with_client", no_positional_args, create_with_client_kwargs(url, version)));
                perceptors.push_back(proxy.as<tarvik_core::Perceptor>("a remote perceptor proxy"));
            } else {
                auto perceptor = implementation_as<tarvik_core::Perceptor>(node->get_impl_cls_instance(),
                                                                           "Perceptor", node->get_name());
                if (!perceptor) throw TypeError("perceptor '" + node->get_name() + "' has no implementation");
                perceptors.push_back(std::move(perceptor));
            }
        }
    }

    agent_group_agent_processors = {};
    post_agent_group_agent_processor = nullptr;

    brennor_sensor_space = co_await space_utils::get_tarvik_space_info(
        sim_sensor_space, context.orchestration->sensors, perceptors, agent_group_agent_processors);

    // The sensors this agent sees: the teacher's (or controller's) choice,
    // else every sensor of the orchestration.
    std::shared_ptr<tarvik_core::AgentImplementation> impl = teacher;
    if (!impl) impl = controller;
    if (impl) {
        Value keys;
        std::exception_ptr failure;
        try {
            keys = co_await impl->filtered_sensor_space();
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            if (!tarvik_core::is_ordinary_error(failure)) std::rethrow_exception(failure);
            logger.warning("filtered_sensor_space() failed (" + tarvik_core::error_text(failure) +
                           ") \u2014 falling back to the full sensor space.");
            keys = Value();
        }
        if (keys.truthy()) filter_keys = key_texts(keys);
    }
    if (filter_keys.empty()) {
        filter_keys.clear();
        for (const auto& sensor : context.orchestration->sensors) filter_keys.push_back(sensor->name);
    }

    filtered_brennor_sensor_space = space_utils::filter_space(brennor_sensor_space, filter_keys);
    observation_space = make_observation_space(filtered_brennor_sensor_space, action_mask_space);

    _is_initialized = true;
    done = false;
}

// Where each sensor of the filtered space lands in the flat observation,
// found once from the orchestration's sensors, filter_keys and
// filtered_brennor_sensor_space. A step uses the plan only while those are
// the ones it was made from (the plan holds them, so none of them can be
// replaced by another object at the same address).
//
// With a plan, a step that sees the converted sensors unchanged (no teacher,
// or a teacher that passes them through) writes the observation directly:
// normalised sensors go straight into their place and the others are
// flattened by their own spaces, instead of building the filtered mapping,
// normalised copies and a flattened copy. The result, and every failure and
// its order, are those of the general path.
struct BaseAgentProcessor::SensorPlan {
    struct Part {
        std::size_t sensor;  // position in the orchestration's sensors
        std::int64_t offset;  // first entry in the flat observation
        bool normalized;
    };

    tarvik_core::SensorList sensors;
    std::vector<std::string> filter_keys;
    SpacePtr filtered_space;
    // Parts in the order of the filtered space.
    std::vector<Part> parts;
    // The normalised parts, in the order of the orchestration's sensors (the
    // order the general path normalises, and fails, in).
    std::vector<std::size_t> normalize_order;
    std::int64_t flat_dim = 0;
    // Per sensor: whether filter_keys names it (the general path normalises
    // those, in sensor order).
    std::vector<char> in_filter;
    // False when the fields do not allow the direct path; steps then take
    // the general one.
    bool direct = false;

    // Fills in where the direct path writes each sensor, or leaves `direct`
    // false when it cannot take it.
    void lay_out();

    // True when `converted` holds exactly the plan's sensors, in its order.
    // The conversion read the sensor list before the teacher's await, and the
    // list may have changed since the plan was checked.
    bool lays_out(const Dict& converted) const {
        const auto& items = converted.items();
        if (items.size() != sensors.size()) return false;
        for (std::size_t i = 0; i < items.size(); ++i)
            if (items[i].first != sensors[i]->name) return false;
        return true;
    }

    bool made_for(const BaseAgentProcessor& p) const {
        const auto& current = p.context.orchestration->sensors;
        if (current.size() != sensors.size() || p.filtered_brennor_sensor_space != filtered_space) return false;
        for (std::size_t i = 0; i < sensors.size(); ++i)
            if (current[i] != sensors[i]) return false;
        return p.filter_keys == filter_keys;
    }
};

std::shared_ptr<const BaseAgentProcessor::SensorPlan> BaseAgentProcessor::sensor_plan() {
    std::lock_guard lock(state_mutex_);
    if (!sensor_plan_ || !sensor_plan_->made_for(*this)) {
        auto plan = std::make_shared<SensorPlan>();
        plan->sensors = context.orchestration->sensors;
        plan->filter_keys = filter_keys;
        plan->filtered_space = filtered_brennor_sensor_space;
        plan->lay_out();
        sensor_plan_ = std::move(plan);
    }
    return sensor_plan_;
}

void BaseAgentProcessor::SensorPlan::lay_out() {
    namespace sp = tarvik_core::spaces;
    using tarvik_core::KeyIndex;
    const KeyIndex filter(filter_keys);
    in_filter.assign(sensors.size(), 0);
    for (std::size_t i = 0; i < sensors.size(); ++i)
        in_filter[i] = sensors[i] && filter.find(sensors[i]->name) != KeyIndex::npos;

    const auto& space = filtered_space;
    // flatten_sample is virtual: only the runtime's own Dict is known to
    // flatten entry by entry.
    if (!space || typeid(*space) != typeid(sp::Dict)) return;
    std::vector<std::string_view> names;
    names.reserve(sensors.size());
    for (const auto& sensor : sensors) {
        if (!sensor) return;
        names.push_back(sensor->name);
    }
    const KeyIndex sensor_named(std::move(names));
    if (sensor_named.has_repeats()) return;
    // Per sensor: its part, if the filtered space has one.
    std::vector<std::size_t> part_of(sensors.size(), KeyIndex::npos);
    std::int64_t offset = 0;
    for (const auto& [key, sub_space] : space->mapping_spaces()) {
        const std::size_t index = sensor_named.find(key);
        // Each entry must be a sensor's own space, so that flattening it is
        // flattening the sensor's value.
        if (index == KeyIndex::npos || !sub_space || sensors[index]->space != sub_space) return;
        const auto& sensor = *sensors[index];
        const bool normalized =
            sensor.normalization.kind != tarvik_core::Normalization::Kind::none && in_filter[index];
        // A normalised value is a float32 array a Box copies as it is; a Box
        // subclass might flatten it some other way.
        if (normalized && typeid(*sub_space) != typeid(sp::Box)) return;
        part_of[index] = parts.size();
        parts.push_back({index, offset, normalized});
        offset += sub_space->flat_dim();
    }
    if (offset != space->flat_dim()) return;
    for (std::size_t i = 0; i < sensors.size(); ++i) {
        if (sensors[i]->normalization.kind == tarvik_core::Normalization::Kind::none || !in_filter[i]) continue;
        // A normalised sensor the space leaves out is still normalised (and
        // may fail) on the general path.
        if (part_of[i] == KeyIndex::npos) return;
        normalize_order.push_back(part_of[i]);
    }
    flat_dim = offset;
    direct = true;
}

namespace {

// The filtered, normalised sample of the general path. `in_filter` tells,
// per sensor, whether `keys` names it.
Value filtered_sample(const Value& transformed, const std::vector<std::string>& keys,
                      const tarvik_core::SensorList& sensors, const std::vector<char>& in_filter, bool normalize) {
    Value filtered = space_utils::filter_sample(transformed, keys);
    // Normalisation writes into the filtered mapping, the one that is
    // flattened. A None sample has nothing to normalise and gets the
    // explanatory error further down instead of a bare lookup failure.
    if (normalize && filtered.is_dict()) {
        Dict& values = filtered.as_dict_mut();
        // Only values are replaced, so the positions found stay right.
        tarvik_core::DictFinder positions(values);
        for (std::size_t i = 0; i < sensors.size(); ++i) {
            if (!in_filter[i]) continue;
            const auto& sensor = sensors[i];
            const std::size_t at = positions.position(sensor->name);
            if (at == tarvik_core::KeyIndex::npos) throw tarvik_core::KeyError(tarvik_core::repr(Value(sensor->name)));
            Value normalized = sensor->normalize_sample(values.items()[at].second);
            values.mut_at(at) = std::move(normalized);
        }
    }
    return filtered;
}

// Coroutine frames hold every local and every argument built inside a
// co_await expression, and Asio recycles only small frames; the by-value
// arguments of the calls below are therefore built in these plain functions,
// whose frames are the ordinary stack. (Only calls whose parameters are
// values may be started this way: a coroutine taking references needs its
// arguments alive until it is awaited.)
Task<Value> start_compute_action_mask(BaseAgentProcessor& p, const Value& tarvik_obs, const Value& sim_action_mask,
                                      const Value& previous_action) {
    return p.compute_action_mask(tarvik_obs, sim_action_mask, previous_action);
}

Task<Value> start_post_agent_group_step(BaseAgentProcessor& post, const BaseAgentProcessor& p,
                                        const Value& sim_sensors, const Value& sim_action_mask,
                                        const Value& processed) {
    ExecuteArgs post_args{.sim_action_mask = sim_action_mask,
                          .previous_action = processed,
                          .return_as_teacher_dict = true,
                          .agent_group_action = single_entry(p.context.agent->get_name(), processed)};
    return post._execute(sim_sensors, std::move(post_args));
}

// None, for the arguments that are always None.
const Value& none() {
    static const Value value;
    return value;
}

Dict model_observation(NdArray observation, Value action_mask) {
    Dict::Items entries;
    entries.reserve(2);
    entries.emplace_back("observation", std::move(observation));
    entries.emplace_back("action_mask", std::move(action_mask));
    return Dict::from_unique(std::move(entries));
}

}  // namespace

Task<SensorsResult> BaseAgentProcessor::process_sim_sensors(Value sensors, Value sim_action_mask,
                                                           Value previous_action) {
    return process_sim_sensors_in_step(std::move(sensors), std::move(sim_action_mask), std::move(previous_action),
                                       nullptr, nullptr);
}

Task<SensorsResult> BaseAgentProcessor::process_sim_sensors_in_step(Value sensors, Value sim_action_mask,
                                                                   Value previous_action,
                                                                   const ConvertedSensors* handed,
                                                                   ConvertedSensors* record) {
    // Without perceptors the conversion awaits nothing, so it is called
    // directly rather than as a coroutine of its own. (Written as if/else:
    // g++ 12 mishandles co_await inside a conditional expression.)
    if (!context.orchestration) none_has_no("sensors");
    Value tarvik_sensors;
    if (perceptors.empty()) {
        tarvik_sensors = converted_sensors(sensors, handed, record);
    } else {
        tarvik_sensors = co_await space_utils::convert_sim_sensors_to_tarvik_sensors(
            sensors, sim_sensor_space, context.orchestration->sensors, perceptors, agent_group_agent_processors);
    }

    Value transformed = tarvik_sensors;
    // Awaited through a local copy of the pointer: the field may be replaced
    // (a reset) while the call is suspended, and the object must live on.
    if (auto current_teacher = teacher; !controller && current_teacher)
        transformed = co_await current_teacher->transform_sensors(tarvik_sensors, none());

    ObservationStep observation = begin_observation(tarvik_sensors, transformed);
    observation.action_mask = co_await start_compute_action_mask(*this, transformed, sim_action_mask, previous_action);
    co_return finish_observation(observation, transformed);
}

bool ConvertedSensors::converts(const Value& raw, const SpacePtr& space, const tarvik_core::SensorList& list) const {
    if (!sensors || space != sim_sensor_space || *sensors != list) return false;
    // Identity of storage, not equality of values: the held readings keep
    // their storage alive, and a written copy gets storage of its own. (The
    // arrays in them are not written while a step that was given them runs.)
    if (raw.is_dict() && readings.is_dict()) return raw.as_dict().shares_items_with(readings.as_dict());
    if (raw.is_array() && readings.is_array()) return raw.as_array().is(readings.as_array());
    return false;
}

std::shared_ptr<const tarvik_core::SensorList> BaseAgentProcessor::sensor_list_snapshot(
    const tarvik_core::SensorList& current) {
    std::lock_guard lock(state_mutex_);
    if (!sensor_list_ || *sensor_list_ != current) sensor_list_ = std::make_shared<const tarvik_core::SensorList>(current);
    return sensor_list_;
}

Value BaseAgentProcessor::converted_sensors(const Value& readings, const ConvertedSensors* handed,
                                            ConvertedSensors* record) {
    const tarvik_core::SensorList& sensors = context.orchestration->sensors;
    const bool fits = handed && handed->converts(readings, sim_sensor_space, sensors);
    Value converted = fits ? handed->converted
                           : space_utils::convert_sim_sensors_without_perceptors(readings, sim_sensor_space, sensors);
    if (record) {
        record->readings = readings;
        record->sim_sensor_space = sim_sensor_space;
        // A fitting hand-off was made from this very list.
        record->sensors = fits ? handed->sensors : sensor_list_snapshot(sensors);
        record->converted = converted;
    }
    return converted;
}

BaseAgentProcessor::ObservationStep BaseAgentProcessor::begin_observation(const Value& tarvik_sensors,
                                                                          const Value& transformed) {
    ObservationStep step;
    // The direct path needs the converted sensors as they came out of the
    // conversion: in sensor order, one entry per sensor.
    std::shared_ptr<const SensorPlan> plan = sensor_plan();
    if (plan->direct && transformed.is_dict() && tarvik_sensors.is_dict() &&
        transformed.as_dict().shares_items_with(tarvik_sensors.as_dict()) && plan->lays_out(transformed.as_dict())) {
        NdArray observation = NdArray::zeros(DType::Float32, Shape{plan->flat_dim});
        float* out = observation.mutable_data<float>();
        const auto& values = transformed.as_dict().items();
        for (const std::size_t p : plan->normalize_order) {
            const auto& part = plan->parts[p];
            plan->sensors[part.sensor]->normalize_into(values[part.sensor].second, out + part.offset);
        }
        step.observation = std::move(observation);
        step.plan = std::move(plan);
        return step;
    }
    // The plan was made from the current sensors and filter keys.
    step.filtered = filtered_sample(transformed, plan->filter_keys, plan->sensors, plan->in_filter,
                                    filtered_brennor_sensor_space != nullptr);
    if (step.filtered.is_none()) {
        throw tarvik_core::Error("Sensor values is 'None' (original: " + tarvik_core::str(step.filtered) +
                                 ", filter space: " + tarvik_core::spaces::repr(filtered_brennor_sensor_space) +
                                 ") for agent '" + context.agent->get_name());
    }
    return step;
}

namespace {

// Readings of sensors that allow non-finite values reach the teacher as they
// are, for it to replace. Whatever it leaves would reach the model, so the
// observation of a processor that runs a model is checked then, naming the
// sensor the value belongs to. Processors whose sensors all refuse
// non-finite readings skip the pass: their readings were checked when they
// were converted.
void check_observation_finite(const BaseAgentProcessor& p, const NdArray& observation) {
    if (p.controller || observation.dtype() != DType::Float32) return;
    const auto& sensors = p.context.orchestration->sensors;
    if (std::none_of(sensors.begin(), sensors.end(), [](const auto& s) { return s && s->allow_non_finite; })) return;
    const auto values = observation.values<float>();
    const std::size_t at = tarvik_core::find_non_finite(values);
    if (at == values.size()) return;
    std::string sensor;
    if (const auto& space = p.filtered_brennor_sensor_space; space && space->type_name() == "Dict") {
        std::int64_t end = 0;
        for (const auto& [name, part] : space->mapping_spaces()) {
            end += part->flat_dim();
            if (static_cast<std::int64_t>(at) < end) {
                sensor = " (sensor '" + name + "')";
                break;
            }
        }
    }
    throw ValueError("agent '" + p.context.agent->get_name() + "': the observation holds " +
                     tarvik_core::float_repr(values[at]) + " at position " + std::to_string(at) + sensor +
                     ": a sensor that allows non-finite readings needs a teacher that replaces them before the "
                     "model runs");
}

}  // namespace

SensorsResult BaseAgentProcessor::finish_observation(ObservationStep& step, Value& transformed) {
    NdArray observation = flatten_observation(step, transformed);
    check_observation_finite(*this, observation);
    return SensorsResult{Value(model_observation(std::move(observation), std::move(step.action_mask))),
                         std::move(transformed)};
}

NdArray BaseAgentProcessor::flatten_observation(ObservationStep& step, const Value& transformed) {
    if (!filtered_brennor_sensor_space) none_has_no("flatten_sample");
    const auto& plan = step.plan;
    if (plan && filtered_brennor_sensor_space == plan->filtered_space) {
        float* out = step.observation->mutable_data<float>();
        const auto& values = transformed.as_dict().items();
        for (const auto& part : plan->parts) {
            if (part.normalized) continue;
            plan->sensors[part.sensor]->space->flatten_into(values[part.sensor].second, out + part.offset);
        }
        return std::move(*step.observation);
    }
    // The filtered space was replaced while the mask was computed: the sample
    // as the general path built it, flattened by the new space.
    if (plan) step.filtered = filtered_sample(transformed, plan->filter_keys, plan->sensors, plan->in_filter, true);
    return filtered_brennor_sensor_space->flatten_sample(step.filtered);
}

namespace {

// Observation buffers of direct steps, per thread: a step takes one when it
// starts and gives it back when it ends, so steady steps reuse them.
thread_local std::vector<std::vector<float>> observation_buffers;

}  // namespace

DirectStep::DirectStep(Value readings_, Value sim_action_mask_)
    : readings(std::move(readings_)), sim_action_mask(std::move(sim_action_mask_)) {
    if (!observation_buffers.empty()) {
        observation = std::move(observation_buffers.back());
        observation_buffers.pop_back();
    }
}

DirectStep::~DirectStep() {
    // A handful per thread is all that steps in flight together need.
    if (observation.capacity() != 0 && observation_buffers.size() < 8) {
        try {
            observation_buffers.push_back(std::move(observation));
        } catch (...) {
        }
    }
}

Value start_direct_step(BaseAgentProcessor& processor, Value obs, ExecuteArgs args,
                        std::unique_ptr<DirectStep>& stopped) {
    // On this stack rather than in a calling coroutine's frame.
    DirectStep step(std::move(obs), args.sim_action_mask);
    processor.direct_step(step, args);
    if (!step.handoff) return std::move(step.action);
    stopped = std::make_unique<DirectStep>(std::move(step));
    return Value();
}

Task<Value> finish_direct_step(std::unique_ptr<DirectStep> stopped) {
    DirectStep& step = *stopped;
    step.handoff_args.converted_sensors = step.converted.sensors ? &step.converted : nullptr;
    co_return co_await step.handoff->finish_step(step.readings, std::move(step.handoff_args));
}

Task<Value> BaseAgentProcessor::finish_step(Value sim_sensors, ExecuteArgs args) {
    return _execute(std::move(sim_sensors), std::move(args));
}

bool BaseAgentProcessor::taught_ready() const {
    return _is_initialized && teacher && !controller && perceptors.empty() && agent_group_agent_processors.empty() &&
           !post_agent_group_agent_processor && context.orchestration && context.agent && !context.for_agent_group &&
           !context.agent->is_controller();
}

Task<Value> BaseAgentProcessor::taught_step(Value sim_sensors, ExecuteArgs args,
                                            std::function<Value(const Value&)> act) {
    // process_sim_sensors without perceptors. Each teacher call is made
    // through a local copy of the field, as the general path makes it: a
    // reset may replace the field while a call is suspended.
    Value tarvik_sensors = converted_sensors(sim_sensors, args.converted_sensors, nullptr);
    Value transformed = tarvik_sensors;
    if (auto current_teacher = teacher; !controller && current_teacher)
        transformed = co_await current_teacher->transform_sensors(tarvik_sensors, none());
    ObservationStep observation = begin_observation(tarvik_sensors, transformed);
    // compute_action_mask of the base.
    Value teacher_mask;
    if (auto current_teacher = teacher)
        teacher_mask = co_await current_teacher->compute_action_mask(transformed, args.previous_action);
    const Value& sim_action_mask =
        context.agent->has_custom_action_space() ? Value(no_action_mask) : args.sim_action_mask;
    observation.action_mask = combined_mask(teacher_mask.is_none() ? Value(no_action_mask) : teacher_mask,
                                            sim_action_mask.is_none() ? Value(no_action_mask) : sim_action_mask);
    SensorsResult sensors = finish_observation(observation, transformed);

    // process_action of the base, for a model's action.
    Value unsquashed = space_utils::unsquash_action(act(sensors.first), action_space);
    const auto current_teacher = teacher;
    if (!current_teacher) co_return unsquashed;
    Value processed = co_await current_teacher->transform_action(sensors.second, unsquashed);
    {
        std::optional<Value> replaced(processed);
        std::lock_guard lock(state_mutex_);
        previous_action.swap(replaced);
    }
    co_return processed;
}

bool BaseAgentProcessor::takes_direct_step() const { return false; }

void BaseAgentProcessor::direct_step(DirectStep& step, ExecuteArgs& args) { stop_direct_step(step, args); }

void BaseAgentProcessor::stop_direct_step(DirectStep& step, ExecuteArgs& args) {
    step.handoff = shared_from_this();
    step.handoff_args = std::move(args);
}

bool BaseAgentProcessor::direct_ready() const {
    return _is_initialized && !teacher && !controller && perceptors.empty() && agent_group_agent_processors.empty() &&
           !post_agent_group_agent_processor && context.orchestration && context.agent &&
           !context.for_agent_group && !context.agent->is_controller() && filtered_brennor_sensor_space;
}

std::optional<NdArray> BaseAgentProcessor::direct_observation(DirectStep& step,
                                                              const std::function<Value()>& compute_mask,
                                                              Value& mask) {
    // The conversion the previous level made is taken when it fits, as the
    // general path takes a handed one; this level's goes on to the next.
    ConvertedSensors record;
    const Value sensors =
        converted_sensors(step.readings, step.converted.sensors ? &step.converted : nullptr, &record);
    step.converted = std::move(record);

    std::shared_ptr<const SensorPlan> plan = sensor_plan();
    if (!plan->direct || !sensors.is_dict() || !plan->lays_out(sensors.as_dict())) return std::nullopt;

    step.observation.assign(static_cast<std::size_t>(plan->flat_dim), 0.0f);
    float* out = step.observation.data();
    const auto& values = sensors.as_dict().items();
    for (const std::size_t p : plan->normalize_order) {
        const auto& part = plan->parts[p];
        plan->sensors[part.sensor]->normalize_into(values[part.sensor].second, out + part.offset);
    }
    mask = compute_mask();
    for (const auto& part : plan->parts) {
        if (part.normalized) continue;
        plan->sensors[part.sensor]->space->flatten_into(values[part.sensor].second, out + part.offset);
    }
    // A view without an owner: the buffer belongs to the step, and the model
    // copies what it reads.
    NdArray observation = NdArray::wrap(DType::Float32, Shape{plan->flat_dim}, out,
                                        std::shared_ptr<const void>(std::shared_ptr<const void>(), out));
    check_observation_finite(*this, observation);
    return observation;
}

Value BaseAgentProcessor::mask_without_teacher(const Value& sim_action_mask) {
    const Value no_mask(no_action_mask);
    if (context.agent->has_custom_action_space() || sim_action_mask.is_none()) return combined_mask(no_mask, no_mask);
    return combined_mask(no_mask, sim_action_mask);
}

Task<Value> BaseAgentProcessor::compute_action_mask(Value tarvik_obs, Value sim_action_mask, Value previous_action) {
    Value teacher_mask;
    if (auto current_teacher = teacher) teacher_mask = co_await current_teacher->compute_action_mask(tarvik_obs, previous_action);
    // Agents with their own action space ignore the simulator's mask.
    if (context.agent->has_custom_action_space()) sim_action_mask = no_action_mask;
    co_return combined_mask(teacher_mask.is_none() ? no_action_mask : teacher_mask,
                            sim_action_mask.is_none() ? no_action_mask : sim_action_mask);
}

namespace {

// The int8 combine form, except that an int8 array comes back as a flat view
// of its own buffer. For the processors' own combining, which only reads it.
NdArray int8_mask_for_reading(const Value& mask) {
    // An array goes to float64 and then to int8. Every element type but
    // int64 survives the float64 step unchanged, so those go to int8 at once.
    if (mask.is_array() && mask.as_array().dtype() != DType::Int64)
        return mask.as_array().astype(DType::Int8).flatten();
    auto formatted = BaseAgentProcessor::_format_action_mask_for_onnx(mask);
    if (!formatted) return NdArray::zeros(DType::Int8, Shape{0});
    return formatted->astype(DType::Int8).flatten();
}

}  // namespace

Value BaseAgentProcessor::combined_mask(const Value& teacher_mask, const Value& sim_action_mask) {
    NdArray teacher_flat = int8_mask_for_reading(teacher_mask);
    NdArray sim_flat = int8_mask_for_reading(sim_action_mask);
    if (teacher_flat.size() != sim_flat.size()) {
        std::int64_t target = std::max(teacher_flat.size(), sim_flat.size());
        teacher_flat = _align_mask_length(teacher_flat, target);
        sim_flat = _align_mask_length(sim_flat, target);
    }
    return Value(_combine_masks_for_onnx(teacher_flat, sim_flat));
}

NdArray BaseAgentProcessor::_combine_masks_for_onnx(const NdArray& a, const NdArray& b) {
    // Checked as combine_masks checks; its failures are the ones raised.
    if (a.dtype() != DType::Int8 || b.dtype() != DType::Int8 || a.ndim() != 1 || b.ndim() != 1 ||
        a.size() != b.size())
        return *_format_action_mask_for_onnx(Value(space_utils::combine_masks(a, b)));
    NdArray out = NdArray::zeros(DType::Float64, a.shape());
    double* o = out.mutable_data<double>();
    const std::int8_t* pa = a.data<std::int8_t>();
    const std::int8_t* pb = b.data<std::int8_t>();
    for (std::int64_t i = 0; i < a.size(); ++i) o[i] = (pa[i] != 0 && pb[i] != 0) ? 1.0 : 0.0;
    return out;
}

NdArray BaseAgentProcessor::_align_mask_length(const NdArray& mask, std::int64_t target_size) {
    if (mask.ndim() != 1)
        throw ValueError("a mask to align must be one-dimensional, got shape " + tarvik_core::shape_repr(mask.shape()));
    if (target_size < 0) throw ValueError("target_size must not be negative, got " + std::to_string(target_size));
    if (mask.size() == target_size) return mask;
    if (mask.size() > target_size) return mask.slice(0, target_size);
    // Missing entries are allowed actions.
    NdArray tail = NdArray::ones(DType::Int8, Shape{target_size - mask.size()});
    return NdArray::concatenate(std::vector<NdArray>{mask, tail}).astype(DType::Int8);
}


NdArray BaseAgentProcessor::_format_action_mask_for_combine(const Value& mask) {
    // Always a new array: a caller may write into it without touching the
    // mask it passed in.
    if (mask.is_array() && mask.as_array().dtype() == DType::Int8) return mask.as_array().flatten().copy();
    return int8_mask_for_reading(mask);
}

std::optional<NdArray> BaseAgentProcessor::_format_action_mask_for_onnx(const Value& mask) {
    if (mask.is_none()) return std::nullopt;
    if (mask.is_array()) return mask.as_array().astype(DType::Float64);

    const std::vector<Value>* items = nullptr;
    std::vector<Value> dict_values;
    if (mask.is_dict()) {
        for (const auto& [key, value] : mask.as_dict()) dict_values.push_back(value);
        items = &dict_values;
    } else if (mask.is_list()) {
        items = &mask.as_list().items();
    } else if (mask.is_tuple()) {
        items = &mask.as_tuple().items();
    }
    if (items) {
        if (items->empty()) return NdArray::zeros(DType::Float64, Shape{0});
        // A flat sequence of numbers is the common case: one pass, no parts.
        if (std::all_of(items->begin(), items->end(), [](const Value& v) { return v.is_number(); })) {
            NdArray out = NdArray::zeros(DType::Float64, Shape{static_cast<std::int64_t>(items->size())});
            double* dst = out.mutable_data<double>();
            for (std::size_t i = 0; i < items->size(); ++i) dst[i] = (*items)[i].as_double();
            return out;
        }
        std::vector<NdArray> parts;
        parts.reserve(items->size());
        for (const auto& item : *items) {
            auto part = _format_action_mask_for_onnx(item);
            if (!part) throw ValueError("cannot concatenate a mask part that is None");
            parts.push_back(std::move(*part));
        }
        return NdArray::concatenate(parts).astype(DType::Float64);
    }
    if (mask.is_str()) throw ValueError("could not convert string to float: " + tarvik_core::repr(mask));
    NdArray scalar = NdArray::from_value(mask, DType::Float64);
    return scalar.ndim() == 0 ? scalar.reshape(Shape{1}) : scalar;
}

Task<Value> BaseAgentProcessor::process_action(Value sim_sensors, Value tarvik_obs, Value action,
                                               ProcessActionArgs args) {
    Value unsquashed = args.unsquash_action ? space_utils::unsquash_action(action, action_space) : action;
    const auto current_teacher = teacher;
    if (!current_teacher) co_return unsquashed;
    Value processed = co_await current_teacher->transform_action(tarvik_obs, unsquashed);
    {
        // Steps on other threads may write it too; the value replaced is
        // released after the lock.
        std::optional<Value> replaced(processed);
        std::lock_guard lock(state_mutex_);
        previous_action.swap(replaced);
    }
    if (context.for_agent_group) co_return processed;
    const auto post_processor = post_agent_group_agent_processor;
    if (!post_processor) co_return processed;
    Value teacher_state =
        co_await start_post_agent_group_step(*post_processor, *this, sim_sensors, args.sim_action_mask, processed);
    co_return teacher_state.as_dict().at("action");
}

Task<StepResult> BaseAgentProcessor::step(Value sim_sensors, Value sim_reward, Value, Value, Dict info,
                                          Value action) {
    Value mask;
    if (const Value* given = info.find("action_mask")) mask = *given;
    SensorsResult sensors = co_await this->process_sim_sensors(sim_sensors, mask, action);
    StepResult result;
    result.sensors_filtered = sensors.first;
    result.tarvik_obs = sensors.second;
    result.teacher_reward = 0.0;
    result.teacher_success = false;
    result.teacher_terminated = false;
    if (teacher) {
        // Held here, so that a reset replacing the field while a call is
        // suspended cannot free the teacher under it.
        const auto current_teacher = teacher;
        result.teacher_reward = co_await current_teacher->compute_reward(result.tarvik_obs, action, sim_reward);
        result.teacher_success = co_await current_teacher->compute_success_criteria(result.tarvik_obs, action);
        result.teacher_terminated = co_await current_teacher->compute_termination(result.tarvik_obs, action);
    }
    result.truncated = result.teacher_success.truthy() ? result.teacher_success : result.teacher_terminated;
    co_return result;
}

Task<void> BaseAgentProcessor::reset() {
    auto& agent = *context.agent;
    // Held for their awaits, like the perceptor list below: whatever replaces
    // the fields meanwhile, the objects being reset stay alive.
    if (agent.is_remote()) {
        if (const auto current_teacher = teacher) co_await current_teacher->reset();
        if (const auto current_controller = controller) co_await current_controller->reset();
    } else if (agent.is_controller()) {
        controller = implementation_as<tarvik_core::Controller>(agent.get_impl_cls_instance(), "Controller",
                                                                agent.get_name());
    } else {
        teacher = implementation_as<tarvik_core::Teacher>(agent.get_impl_cls_instance(), "Teacher", agent.get_name());
    }
    const auto current_perceptors = perceptors;
    for (const auto& perceptor : current_perceptors) {
        std::exception_ptr failure;
        try {
            co_await perceptor->reset();
        } catch (...) {
            failure = std::current_exception();
        }
        // One perceptor failing to reset must not keep the others from it.
        if (failure && !tarvik_core::is_ordinary_error(failure)) std::rethrow_exception(failure);
    }
    done = false;
}

Value BaseAgentProcessor::execute(Value obs, ExecuteOptions options) {
    if (tarvik_core::in_running_loop()) tarvik_core::detail::refuse_nested_run("execute");
    ExecuteArgs args{.sim_action_mask = std::move(options.sim_action_mask),
                     .explore = options.explore,
                     .previous_action = std::move(options.previous_action),
                     .return_as_teacher_dict = options.return_as_teacher_dict};
    // A step that awaits nothing needs no event loop at all; one that stops
    // at a processor needing the general path gets a loop for the rest.
    if (!args.return_as_teacher_dict && takes_direct_step()) {
        std::unique_ptr<DirectStep> stopped;
        Value action = start_direct_step(*this, std::move(obs), std::move(args), stopped);
        if (!stopped) return action;
        return tarvik_core::run_sync(finish_direct_step(std::move(stopped)), "execute");
    }
    return tarvik_core::run_sync(this->_execute(std::move(obs), std::move(args)), "execute");
}

Task<Value> BaseAgentProcessor::_execute(Value, ExecuteArgs) {
    throw NotImplementedError("");
    co_return Value();
}

std::string BaseAgentProcessor::get_name() const {
    if (context.name) return *context.name;
    return context.agent->get_name();
}

std::string BaseAgentProcessor::get_agent_name() const { return context.agent->get_name(); }

SpacePtr BaseAgentProcessor::get_action_space() const { return context.agent->get_action_space(); }

}  // namespace tarvik_inference
