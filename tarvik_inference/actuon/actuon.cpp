#include "tarvik_inference/actuon.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <typeinfo>
#include <vector>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_core/modelaid.hpp"
#include "tarvik_core/modules.hpp"
#include "tarvik_core/space_utils.hpp"

namespace tarvik_inference {

using tarvik_core::DType;
using tarvik_core::List;
using tarvik_core::Shape;
namespace fs = std::filesystem;
namespace spaces = tarvik_core::spaces;
namespace space_utils = tarvik_core::space_utils;

namespace {

tarvik_core::Logger& logger = tarvik_core::get_logger("tarvik_inference.actuon");

// Given to the logits of forbidden actions: the decimal -3.4e38 as a double,
// deliberately not the exact lowest float32. Added to any logit of ordinary
// size it stays exactly -3.4e38, so an all-forbidden segment ties and its
// first position wins.
constexpr double FLOAT_MIN = -3.4e38;

// offset + length without signed overflow; only absurd user spaces get here.
std::int64_t segment_end(std::int64_t offset, std::int64_t length) {
    std::int64_t end = 0;
    if (__builtin_add_overflow(offset, length, &end))
        throw tarvik_core::OverflowError("action segment of length " + std::to_string(length) + " at offset " +
                                         std::to_string(offset) + " ends beyond the int64 range");
    return end;
}

// The observation the model takes: float32, without a copy when it already is.
// A mapping contributes its values in its own order, not sorted by key.
NdArray observation_array(const Value& obs) {
    if (obs.is_dict()) {
        List values;
        for (const auto& [key, value] : obs.as_dict()) values.push_back(value);
        return NdArray::from_value(Value(std::move(values)), DType::Float32);
    }
    if (obs.is_array()) return obs.as_array().astype(DType::Float32);
    return NdArray::from_value(obs, DType::Float32);
}

// A mask entry allows its action when, read as float32, it is greater than 0.
template <class T>
bool allows(T entry) noexcept {
    return spaces::detail::to_float32(static_cast<double>(entry)) > 0.0f;
}

// logits + inf_mask for a one-dimensional vector, in one pass and one
// allocation: float64 (what float32 + float64 promotes to), the logit where
// the mask allows, the logit + FLOAT_MIN where it forbids.
NdArray add_inf_mask(const NdArray& logits, const NdArray& flat_mask) {
    const std::int64_t n = logits.size();
    NdArray out = NdArray::zeros(DType::Float64, Shape{n});
    double* dst = out.mutable_data<double>();
    spaces::detail::visit_elements(logits, [&](const auto* x) {
        spaces::detail::visit_elements(flat_mask, [&](const auto* m) {
            for (std::int64_t i = 0; i < n; ++i)
                dst[i] = static_cast<double>(x[i]) + (allows(m[i]) ? 0.0 : FLOAT_MIN);
        });
    });
    return out;
}

// The logits with forbidden positions pushed down, or the logits themselves
// when there is no mask or the mask does not line up with them.
NdArray mask_logits(const NdArray& action_dist_inputs, const std::optional<NdArray>& action_mask) {
    NdArray flat_action_dist_inputs = action_dist_inputs.ndim() > 1 ? action_dist_inputs[0] : action_dist_inputs;
    if (!action_mask) return flat_action_dist_inputs;
    if (flat_action_dist_inputs.ndim() == 0) throw tarvik_core::IndexError("tuple index out of range");
    const NdArray flat_mask = action_mask->flatten();
    if (flat_mask.len() != flat_action_dist_inputs.len()) return flat_action_dist_inputs;
    if (flat_action_dist_inputs.ndim() == 1) return add_inf_mask(flat_action_dist_inputs, flat_mask);
    // Outputs of three or more dimensions: the plain elementwise steps, whose
    // shape checks apply.
    NdArray inf_mask =
        NdArray::where(flat_mask.astype(DType::Float32).greater(0.0), 0.0, FLOAT_MIN, DType::Float64);
    return flat_action_dist_inputs.add(inf_mask);
}

// Clipping keeps NaN, and unsquashing maps it to NaN again: a model that
// emits NaN would otherwise hand the host a NaN action as a success. The
// Box parts of the decoded action (as far as it has the space's form) are
// checked; every other kind decodes to whole numbers.
void check_action_finite(const Value& action, const spaces::Space& space, const std::string& agent) {
    switch (spaces::kind_of(space)) {
    case spaces::Kind::Box: {
        if (!action.is_array()) return;
        const NdArray& values = action.as_array();
        const auto check = [&](auto span) {
            const std::size_t at = tarvik_core::find_non_finite(span);
            if (at < span.size())
                throw tarvik_core::ValueError("agent '" + agent + "': the model's action for " + space.repr() +
                                              " is not finite: " + tarvik_core::float_repr(span[at]) +
                                              " at position " + std::to_string(at));
        };
        if (values.dtype() == DType::Float32) check(values.values<float>());
        else if (values.dtype() == DType::Float64) check(values.values<double>());
        return;
    }
    case spaces::Kind::Tuple: {
        const auto& parts = space.sequence_spaces();
        if (!action.is_tuple() || action.as_tuple().items().size() != parts.size()) return;
        for (std::size_t i = 0; i < parts.size(); ++i) check_action_finite(action.as_tuple().items()[i], *parts[i], agent);
        return;
    }
    case spaces::Kind::Dict: {
        if (!action.is_dict()) return;
        for (const auto& entry : space.mapping_spaces())
            if (const Value* part = action.as_dict().find(entry.first)) check_action_finite(*part, *entry.second, agent);
        return;
    }
    default: return;
    }
}

bool refers_to(const Value& action, const NdArray& buffer) {
    if (action.is_array()) return action.as_array().shares_memory_with(buffer);
    if (action.is_tuple())
        return std::any_of(action.as_tuple().begin(), action.as_tuple().end(),
                           [&](const Value& item) { return refers_to(item, buffer); });
    if (action.is_dict())
        return std::any_of(action.as_dict().begin(), action.as_dict().end(),
                           [&](const auto& entry) { return refers_to(entry.second, buffer); });
    return false;
}

// `action` with every array that shares memory with `buffer` copied.
Value detached(Value action, const NdArray& buffer) {
    if (!refers_to(action, buffer)) return action;
    if (action.is_array()) {
        if (action.as_array().shares_memory_with(buffer)) return Value(action.as_array().copy());
        return action;
    }
    if (action.is_tuple()) {
        std::vector<Value> items;
        items.reserve(action.as_tuple().size());
        for (const Value& item : action.as_tuple()) items.push_back(detached(item, buffer));
        return Value(tarvik_core::Tuple(std::move(items)));
    }
    if (action.is_dict()) {
        Dict out;
        for (const auto& [key, value] : action.as_dict()) out.set(key, detached(value, buffer));
        return Value(std::move(out));
    }
    return action;
}

// What a step returns when asked for the teacher dict, keys in this order.
Value teacher_dict(Value action, Value sensors_filtered, Value tarvik_obs) {
    Dict d;
    d.set("action", std::move(action));
    d.set("sensors_filtered", std::move(sensors_filtered));
    d.set("tarvik_obs", std::move(tarvik_obs));
    return d;
}

}  // namespace

std::string _space_type_name(const spaces::Space& action_space) { return action_space.type_name(); }

Actuon::Actuon(AgentProcessorContext context) : BaseAgentProcessor(std::move(context)) {
    onnx_engine = nullptr;
    _is_initialized = false;
}

Task<void> Actuon::init() {
    if (!context.orchestration)
        throw tarvik_core::AttributeError("'NoneType' object has no attribute 'is_initialized'");
    if (!context.orchestration->is_initialized()) co_await context.orchestration->init();
    co_await BaseAgentProcessor::init();
    load_onnx_model();
    _is_initialized = true;
}

void Actuon::load_onnx_model() {
    const tarvik_core::GraphNode& agent = *context.agent;
    if (agent.is_controller()) {
        logger.info("Agent " + agent.get_name() + " is a controller, will use Python implementation instead of ONNX model");
        return;
    }
    const std::optional<std::string> checkpoint_uri = agent.get_checkpoint_uri();
    if (!checkpoint_uri) {
        logger.warning("No checkpoint URI found for agent " + agent.get_name() + ", cannot load ONNX model");
        return;
    }
    const std::string agent_name = agent.get_name();
    const std::string file_name = agent_name + ".onnx";

    // Any entry counts, a directory too; a probe that fails counts as absent.
    auto exists = [](const fs::path& candidate) {
        std::error_code ec;
        return fs::exists(candidate, ec);
    };
    // Each candidate is built only when the ones before it are absent.
    const fs::path root(*checkpoint_uri);
    fs::path onnx_path = root / file_name;
    if (!exists(onnx_path)) {
        onnx_path = root / agent_name / file_name;
        if (!exists(onnx_path)) {
            onnx_path = root / "checkpoint" / file_name;
            if (!exists(onnx_path)) {
                logger.warning("ONNX model not found at " + onnx_path.string() + " for agent " + agent_name);
                return;
            }
        }
    }
    const std::string path = onnx_path.string();

    // Best effort: a model without a mask input gets one; failing that, the
    // file is loaded as it is.
    std::exception_ptr failure;
    try {
        auto* ensure_onnx_model_has_action_mask = tarvik_core::bind_ensure_onnx_model_has_action_mask();
        SpacePtr space;
        try {
            space = agent.get_action_space();
        } catch (...) {
            if (!tarvik_core::is_ordinary_error(std::current_exception())) throw;
        }
        ensure_onnx_model_has_action_mask(path, {.action_space = space, .agent = context.agent});
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        if (!tarvik_core::is_ordinary_error(failure)) std::rethrow_exception(failure);
        logger.warning("Failed to ensure action_mask in ONNX model for agent " + agent_name + ": " +
                       tarvik_core::error_text(failure));
    }

    try {
        onnx_engine = std::make_shared<GrafexEngine>(path, tarvik_core::model_session_settings(context));
        logger.info("Loaded ONNX model for agent " + agent_name + " from " + path);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (tarvik_core::is_ordinary_error(error))
            logger.error("Failed to load ONNX model for agent " + agent_name + ": " + tarvik_core::error_text(error));
        throw;
    }
}

std::pair<Value, std::int64_t> Actuon::_decode_action_dist_inputs(const NdArray& action_dist_inputs,
                                                                  const SpacePtr& action_space, std::int64_t offset) {
    // kind_of answers exactly what comparing _space_type_name() with the six
    // names would, without building the name for the built-in classes. A null
    // space has no such name and decodes like any other kind.
    const spaces::Kind kind = action_space ? spaces::kind_of(*action_space) : spaces::Kind::Other;
    switch (kind) {
    case spaces::Kind::Discrete: {
        const std::int64_t n = action_space->n();
        const std::int64_t end = segment_end(offset, n);
        const NdArray logits = action_dist_inputs.slice(offset, end);
        return {Value(logits.argmax()), end};
    }
    case spaces::Kind::Box: {
        const std::int64_t size = tarvik_core::shape_product(action_space->shape());
        const NdArray means = action_dist_inputs.slice(offset, segment_end(offset, size));
        NdArray action = means.clip(-1.0, 1.0).reshape(action_space->shape()).astype(action_space->dtype());
        // The spread parameters that follow the means are skipped.
        return {Value(std::move(action)), segment_end(segment_end(offset, size), size)};
    }
    case spaces::Kind::MultiDiscrete: {
        const NdArray nvec = action_space->nvec().flatten();
        NdArray action = NdArray::zeros(DType::Int64, Shape{nvec.size()});
        std::int64_t* chosen = action.mutable_data<std::int64_t>();
        for (std::int64_t i = 0; i < nvec.size(); ++i) {
            const std::int64_t end = segment_end(offset, nvec.item_int(i));
            chosen[i] = action_dist_inputs.slice(offset, end).argmax();
            offset = end;
        }
        return {Value(action.reshape(action_space->shape())), offset};
    }
    case spaces::Kind::MultiBinary: {
        const std::int64_t size = tarvik_core::shape_product(action_space->shape());
        const std::int64_t end = segment_end(offset, size);
        const NdArray logits = action_dist_inputs.slice(offset, end);
        // (logits > 0) as int8 in one pass; a short segment fails in reshape.
        NdArray bits = NdArray::zeros(DType::Int8, Shape{logits.size()});
        std::int8_t* dst = bits.mutable_data<std::int8_t>();
        spaces::detail::visit_elements(logits, [&](const auto* x) {
            for (std::int64_t i = 0; i < logits.size(); ++i) dst[i] = static_cast<double>(x[i]) > 0.0 ? 1 : 0;
        });
        return {Value(bits.reshape(action_space->shape())), end};
    }
    case spaces::Kind::Tuple: {
        const auto& sub_spaces = action_space->sequence_spaces();
        std::vector<Value> values;
        values.reserve(sub_spaces.size());
        for (const auto& sub_space : sub_spaces) {
            auto [value, next] = this->_decode_action_dist_inputs(action_dist_inputs, sub_space, offset);
            values.push_back(std::move(value));
            offset = next;
        }
        return {Value(tarvik_core::Tuple(std::move(values))), offset};
    }
    case spaces::Kind::Dict: {
        Dict action;
        for (const auto& [key, sub_space] : action_space->mapping_spaces()) {
            auto [value, next] = this->_decode_action_dist_inputs(action_dist_inputs, sub_space, offset);
            action.set(key, std::move(value));
            offset = next;
        }
        return {Value(std::move(action)), offset};
    }
    case spaces::Kind::Other:
        break;
    }
    // Unknown kinds take the raw rest of the vector.
    const std::int64_t length = action_dist_inputs.len();
    return {Value(action_dist_inputs.slice(offset, length).astype(DType::Float32)), length};
}

Value Actuon::model_action(const Value& sensors_filtered) {
    if (!onnx_engine) throw tarvik_core::RuntimeError("ONNX model not loaded for agent " + context.agent->get_name());
    const Dict& model_input = sensors_filtered.as_dict();
    const NdArray obs = observation_array(model_input.at("observation"));
    return model_action(obs, model_input.find("action_mask"));
}

Value Actuon::model_action(const NdArray& obs, const Value* mask) {
    std::optional<NdArray> action_mask;
    if (mask && !mask->is_none()) action_mask = BaseAgentProcessor::_format_action_mask_for_onnx(*mask);

    Value action;
    const auto decode = [&](const NdArray& action_dist_inputs) {
        const NdArray vector = space_utils::make_np_array(mask_logits(action_dist_inputs, action_mask));
        action = this->_decode_action_dist_inputs(vector, action_space).first;
    };
    if (typeid(*this) == typeid(Actuon)) {
        // The runtime's own decoding reads the logits where the engine left
        // them; a part of the action that still refers to them (a kind
        // without a known form takes the rest of the vector as it is) is
        // copied before the engine's next run can overwrite them.
        onnx_engine->read_action_dist_inputs(obs, action_mask ? &*action_mask : nullptr,
                                             [&](const NdArray& logits) {
                                                 decode(logits);
                                                 action = detached(std::move(action), logits);
                                             });
    } else {
        // An override of the decoding may keep what it is given.
        decode(onnx_engine->get_action_dist_inputs(obs, action_mask));
    }
    if (action_space) check_action_finite(action, *action_space, context.agent->get_name());
    return action;
}

namespace {

// The by-value arguments of these calls are built here, on the ordinary
// stack, rather than in the frame of the coroutine that awaits them (Asio
// recycles small frames only).
// A conversion handed down by the parent's step is taken only where
// process_sim_sensors is known to be the base's: an override may convert
// differently.
Task<SensorsResult> start_process_sim_sensors(BaseAgentProcessor& p, const Value& sim_sensors, const ExecuteArgs& args) {
    if (typeid(p) == typeid(Actuon))
        return p.process_sim_sensors_in_step(sim_sensors, args.sim_action_mask, args.previous_action,
                                             args.converted_sensors, nullptr);
    return p.process_sim_sensors(sim_sensors, args.sim_action_mask, args.previous_action);
}

// Takes the action out of `raw_action`.
Task<Value> start_process_action(BaseAgentProcessor& p, const Value& sim_sensors, const Value& tarvik_obs,
                                 Value& raw_action, const Value& sim_action_mask, bool unsquash_action) {
    ProcessActionArgs options{.sim_action_mask = sim_action_mask, .unsquash_action = unsquash_action};
    return p.process_action(sim_sensors, tarvik_obs, std::move(raw_action), std::move(options));
}

// The teacher dict of a step, taking the values out of its arguments.
Value teacher_dict_of(Value& action, SensorsResult& sensors) {
    return teacher_dict(std::move(action), std::move(sensors.first), std::move(sensors.second));
}

}  // namespace

Task<Value> Actuon::_execute(Value sim_sensors, ExecuteArgs args) {
    tarvik_core::ensure_cls_is_initialized(typeid(*this), _is_initialized, "_execute");
    // One variable, not a structured binding: g++ 12 miscompiles structured
    // bindings of a co_await result.
    SensorsResult sensors = co_await start_process_sim_sensors(*this, sim_sensors, args);

    // A controller's action is taken as it is; a decoded model action is
    // squashed into [-1, 1] and mapped back by process_action.
    Value action;
    bool unsquash_action = false;
    if (context.agent->is_controller() && controller) {
        const auto current_controller = controller;  // alive even if a reset replaces the field
        action = co_await current_controller->compute_action(sensors.second, args.previous_action);
    } else {
        action = model_action(sensors.first);
        unsquash_action = true;
    }
    action = co_await start_process_action(*this, sim_sensors, sensors.second, action, args.sim_action_mask,
                                           unsquash_action);

    if (args.return_as_teacher_dict) co_return teacher_dict_of(action, sensors);
    co_return action;
}

bool Actuon::takes_direct_step() const {
    return typeid(*this) == typeid(Actuon) && onnx_engine && direct_ready();
}

Task<Value> Actuon::finish_step(Value sim_sensors, ExecuteArgs args) {
    if (typeid(*this) != typeid(Actuon) || !onnx_engine || args.return_as_teacher_dict || !taught_ready())
        return _execute(std::move(sim_sensors), std::move(args));
    return taught_step(std::move(sim_sensors), std::move(args),
                       [this](const Value& sensors_filtered) { return model_action(sensors_filtered); });
}

void Actuon::direct_step(DirectStep& step, ExecuteArgs& args) {
    if (args.return_as_teacher_dict) return stop_direct_step(step, args);
    Value mask;
    const std::optional<NdArray> observation =
        direct_observation(step, [&] { return mask_without_teacher(args.sim_action_mask); }, mask);
    if (!observation) return stop_direct_step(step, args);
    // What process_action does without a teacher: a model's action is
    // mapped back from [-1, 1].
    step.action = space_utils::unsquash_action(model_action(*observation, &mask), action_space);
}

}  // namespace tarvik_inference

extern "C" tarvik_inference::ProcessorPtr tarvik_actuon_new(const tarvik_core::AgentProcessorContext& context) {
    return std::make_shared<tarvik_inference::Actuon>(context);
}
