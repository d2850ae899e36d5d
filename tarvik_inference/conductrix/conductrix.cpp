#include "tarvik_inference/conductrix.hpp"

#include <cmath>
#include <exception>
#include <filesystem>
#include <optional>
#include <system_error>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_core/modelaid.hpp"
#include "tarvik_core/modules.hpp"
#include "tarvik_core/orchestration.hpp"
#include "tarvik_core/space_utils.hpp"
#include "tarvik_core/spaces.hpp"
#include "tarvik_inference/grafex.hpp"

namespace tarvik_inference {

using tarvik_core::AttributeError;
using tarvik_core::DType;
using tarvik_core::IndexError;
using tarvik_core::RuntimeError;
using tarvik_core::Tuple;
using tarvik_core::TypeError;
namespace fs = std::filesystem;
namespace space_utils = tarvik_core::space_utils;

namespace {

tarvik_core::Logger& logger = tarvik_core::get_logger("tarvik_inference.conductrix");

// The logit a forbidden child gets. Deliberately the decimal -3.4e38, not the
// lowest float32: it is representable in float32, so float32 logits stay
// float32 when it is put in.
constexpr double FLOAT_MIN = -3.4e38;

[[noreturn]] void none_has_no(const char* attribute) {
    throw AttributeError(std::string("'NoneType' object has no attribute '") + attribute + "'");
}

AgentProcessorContext child_context(const AgentProcessorContext& parent, tarvik_core::GraphNodePtr child_agent) {
    // Children are never trained through their orchestrator's processor.
    return AgentProcessorContext{.orchestration = parent.orchestration,
                                 .agent = std::move(child_agent),
                                 .network_mgr = parent.network_mgr,
                                 .is_training = false,
                                 .is_validating = parent.is_validating,
                                 .for_agent_group = false,
                                 .model_session = parent.model_session};
}

bool path_exists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// Position of the greatest softmax probability, computed in the logits' own
// element type T on one working copy: masked logits (or a plain copy), then
// exp(x - max) and the division by the pairwise sum in place.
template <class T>
std::int64_t first_max_of_softmax(NdArray work) {
    T* x = work.mutable_data<T>();
    const std::int64_t n = work.size();
    const T top = static_cast<T>(work.max());
    for (std::int64_t i = 0; i < n; ++i) x[i] = std::exp(static_cast<T>(x[i] - top));
    const T total = static_cast<T>(work.sum());
    for (std::int64_t i = 0; i < n; ++i) x[i] = static_cast<T>(x[i] / total);
    return work.argmax();
}

// The masked logits as a new array of their own element type T: a logit
// stays where its mask entry, read as float32, is greater than 0, and becomes
// FLOAT_MIN elsewhere. The mask and the logits have the same size.
template <class T>
NdArray masked_copy(const NdArray& logits, const NdArray& flat_mask) {
    NdArray work = NdArray::zeros(logits.dtype(), logits.shape());
    T* dst = work.mutable_data<T>();
    const T* src = logits.data<T>();
    const T forbidden = static_cast<T>(FLOAT_MIN);
    tarvik_core::spaces::detail::visit_elements(flat_mask, [&](const auto* m) {
        for (std::int64_t i = 0; i < work.size(); ++i)
            dst[i] = static_cast<double>(static_cast<float>(m[i])) > 0.0 ? src[i] : forbidden;
    });
    return work;
}

template <class T>
std::int64_t choose_among(const NdArray& logits, const std::optional<NdArray>& flat_mask) {
    if (!flat_mask) return first_max_of_softmax<T>(logits.copy());
    // One-dimensional logits (the usual output row) are masked in one pass;
    // other shapes go through the elementwise steps, whose checks apply.
    if (logits.ndim() == 1) return first_max_of_softmax<T>(masked_copy<T>(logits, *flat_mask));
    return first_max_of_softmax<T>(NdArray::where(flat_mask->astype(DType::Float32).greater(0.0), logits, FLOAT_MIN));
}

// The child a model output chooses, given the mask that was fed with it.
std::int64_t choose_child(const NdArray& action_dist_inputs, const std::optional<NdArray>& action_mask) {
    NdArray logits = action_dist_inputs.ndim() > 1 ? action_dist_inputs[0] : action_dist_inputs;
    std::optional<NdArray> flat_mask;
    if (action_mask) {
        if (logits.ndim() == 0) throw IndexError("tuple index out of range");
        // A mask that does not line up with the logits is ignored.
        if (action_mask->size() == logits.len()) flat_mask = action_mask->flatten();
    }
    switch (logits.dtype()) {
        case DType::Float32: return choose_among<float>(logits, flat_mask);
        case DType::Float64: return choose_among<double>(logits, flat_mask);
        default:
            // Integer logits promote to float64, as they would against a float.
            return choose_among<double>(logits.astype(DType::Float64), flat_mask);
    }
}

// The model input: a mapping's values in insertion order, or the value itself,
// as float32.
NdArray observation_vector(const Value& obs) {
    if (obs.is_dict()) {
        tarvik_core::List values;
        for (const auto& [key, value] : obs.as_dict()) values.push_back(value);
        return NdArray::from_value(Value(std::move(values)), DType::Float32);
    }
    if (obs.is_array()) return obs.as_array().astype(DType::Float32);
    return NdArray::from_value(obs, DType::Float32);
}

// An orchestrator action as a list position: ints and bools only, like list
// indexing (a 0-d integer array counts as an int).
std::int64_t list_position(const Value& action) {
    if (action.is_int() || action.is_bool()) return action.as_int();
    if (action.is_array()) {
        const NdArray& a = action.as_array();
        if (a.ndim() == 0 && !tarvik_core::dtype_is_float(a.dtype())) return a.item_int(0);
    }
    throw TypeError("list indices must be integers or slices, not " + action.type_name());
}

// The integer a teacher's result stands for: element 1 of a tuple, else the
// result itself.
Value teacher_choice(const Value& transformed) {
    const Value& choice = transformed.is_tuple() ? transformed.as_tuple().at(1) : transformed;
    return Value(tarvik_core::to_int(choice));
}

Value teacher_dict(Value action, Value sensors_filtered, Value tarvik_obs, Value top_orchestrator_action) {
    Dict d;
    d.set("action", std::move(action));
    d.set("sensors_filtered", std::move(sensors_filtered));
    d.set("tarvik_obs", std::move(tarvik_obs));
    d.set("top_orchestrator_action", std::move(top_orchestrator_action));
    return Value(std::move(d));
}

ExecuteArgs child_args(Value sim_action_mask, bool return_as_teacher_dict, const ConvertedSensors* converted) {
    // The caller's exploration, coordination and previous action stay at
    // this level; the child sees only the raw readings and the sim mask
    // (and this step's conversion of the readings, when there is one).
    return ExecuteArgs{.sim_action_mask = std::move(sim_action_mask),
                       .explore = false,
                       .is_coordinated = false,
                       .previous_action = Value(),
                       .return_as_teacher_dict = return_as_teacher_dict,
                       .converted_sensors = converted};
}

// The by-value arguments of these calls are built here, on the ordinary
// stack, rather than in the frame of the coroutine that awaits them (Asio
// recycles small frames only).
Task<Value> start_child_step(BaseAgentProcessor& child, const Value& sim_sensors, const Value& sim_action_mask,
                             bool return_as_teacher_dict, const ConvertedSensors* converted = nullptr) {
    return child._execute(sim_sensors, child_args(sim_action_mask, return_as_teacher_dict, converted));
}

Task<std::int64_t> start_orchestrator_action(Conductrix& p, const Value& sensors_filtered,
                                             const Value& sim_action_mask) {
    return p._get_orchestrator_action(sensors_filtered, sim_action_mask);
}

Task<SensorsResult> start_base_process_sim_sensors(Conductrix& p, const Value& obs, const Value& sim_action_mask,
                                                   const Value& previous_action, const ConvertedSensors* handed,
                                                   ConvertedSensors* record) {
    return p.process_sim_sensors_in_step(obs, sim_action_mask, previous_action, handed, record);
}

Task<Value> start_compute_action_mask(Conductrix& p, const Value& tarvik_obs, const Value& sim_action_mask,
                                      const Value& previous_action) {
    return p.compute_action_mask(tarvik_obs, sim_action_mask, previous_action);
}

Task<Value> start_base_process_action(Conductrix& p, const Value& sim_sensors, const Value& tarvik_obs,
                                      const Value& action, const ProcessActionArgs& args) {
    return p.BaseAgentProcessor::process_action(sim_sensors, tarvik_obs, action, args);
}

// The mask over the children: the orchestrator's mask sets the length; the
// teacher's is padded with allowed entries or cut to it.
Value children_mask(NdArray orchestrator_mask, const Value& teacher_mask) {
    NdArray orchestrator_flat = BaseAgentProcessor::_format_action_mask_for_combine(Value(std::move(orchestrator_mask)));
    NdArray teacher_flat = BaseAgentProcessor::_format_action_mask_for_combine(teacher_mask);
    teacher_flat = BaseAgentProcessor::_align_mask_length(teacher_flat, orchestrator_flat.size());
    return Value(BaseAgentProcessor::_combine_masks_for_onnx(orchestrator_flat, teacher_flat));
}

}  // namespace

Conductrix::Conductrix(AgentProcessorContext ctx) : BaseAgentProcessor(std::move(ctx)) {
    auto& agent = *context.agent;
    if (!dynamic_cast<tarvik_core::AgentOrchestrator*>(&agent)) {
        throw tarvik_core::Error("Conductrix must be used with a AgentOrchestrator, got " + agent.get_name() +
                                 ", <class '" + agent.class_name() + "'>");
    }
    if (!context.orchestration) none_has_no("get_node_by_name");
    for (const auto& name : agent.get_children())
        context.orchestration->get_node_by_name(name)->set_sim_sensor_space(sim_sensor_space);
    action_space = std::make_shared<tarvik_core::spaces::Discrete>(
        static_cast<std::int64_t>(agent.get_children().size()));
    agent.set_action_space(action_space);
}

Conductrix::~Conductrix() = default;

Task<void> Conductrix::init() {
    co_await BaseAgentProcessor::init();
    load_orchestrator_model();

    auto* create_actuon =
        tarvik_core::import_module(kMoldrixModule).function<CreateActuonFn>(kCreateActuonSymbol);
    std::vector<Task<ProcessorPtr>> creations;
    for (const auto& child_agent_name : context.agent->get_children()) {
        auto child_agent = context.orchestration->get_node_by_name(child_agent_name);
        creations.push_back(create_actuon(child_context(context, std::move(child_agent))));
    }
    // gather keeps the order of the children, whichever finishes first.
    child_agent_processors = co_await tarvik_core::gather(std::move(creations));
    _is_initialized = true;
}

void Conductrix::load_orchestrator_model() {
    auto& agent = *context.agent;
    if (agent.is_controller()) {
        logger.info("Agent " + agent.get_name() +
                    " is a controller orchestrator, will use Python implementation instead of ONNX model");
        return;
    }
    const auto checkpoint_uri = agent.get_checkpoint_uri();
    if (!checkpoint_uri) {
        logger.warning("No checkpoint URI found for agent " + agent.get_name() + ", cannot load ONNX model");
        return;
    }
    const std::string agent_name = agent.get_name();
    fs::path onnx_path = fs::path(*checkpoint_uri) / (agent_name + ".onnx");
    if (!path_exists(onnx_path)) onnx_path = fs::path(*checkpoint_uri) / agent_name / (agent_name + ".onnx");
    if (!path_exists(onnx_path)) {
        logger.warning("ONNX model not found at " + onnx_path.string() + " for agent " + agent_name);
        return;
    }

    // Best effort: a model without a mask input still loads.
    try {
        auto* ensure_onnx_model_has_action_mask = tarvik_core::bind_ensure_onnx_model_has_action_mask();
        SpacePtr node_action_space;
        try {
            node_action_space = agent.get_action_space();
        } catch (...) {
            if (!tarvik_core::is_ordinary_error(std::current_exception())) throw;
        }
        ensure_onnx_model_has_action_mask(onnx_path.string(),
                                          {.action_space = node_action_space, .agent = context.agent});
    } catch (...) {
        const auto failure = std::current_exception();
        if (!tarvik_core::is_ordinary_error(failure)) throw;
        logger.warning("Failed to ensure action_mask in ONNX model for orchestrator " + agent_name + ": " +
                       tarvik_core::error_text(failure));
    }

    try {
        onnx_engine = std::make_shared<GrafexEngine>(onnx_path.string(), tarvik_core::model_session_settings(context));
        logger.info("Loaded ONNX model for orchestrator agent " + agent_name + " from " + onnx_path.string());
    } catch (...) {
        const auto failure = std::current_exception();
        if (tarvik_core::is_ordinary_error(failure))
            logger.error("Failed to load ONNX model for orchestrator agent " + agent_name + ": " +
                         tarvik_core::error_text(failure));
        throw;
    }
}

Task<void> Conductrix::reset() {
    std::vector<Task<void>> resets;
    resets.reserve(child_agent_processors.size());
    for (const auto& child : child_agent_processors) resets.push_back(child->reset());
    co_await tarvik_core::gather(std::move(resets));
    co_await BaseAgentProcessor::reset();
}

Task<std::int64_t> Conductrix::_get_orchestrator_action(Value sensors_filtered, Value sim_action_mask) {
    if (!onnx_engine) throw RuntimeError("ONNX model not loaded for orchestrator agent " + context.agent->get_name());
    if (!sensors_filtered.is_dict())
        throw TypeError("sensors_filtered must be a dict, got " + sensors_filtered.type_name());
    const Dict& model_observation = sensors_filtered.as_dict();
    const NdArray obs = observation_vector(model_observation.at("observation"));

    std::optional<NdArray> action_mask;
    if (const Value* mask = model_observation.find("action_mask"); mask && !mask->is_none())
        action_mask = _format_action_mask_for_onnx(*mask);

    const NdArray action_dist_inputs = onnx_engine->get_action_dist_inputs(obs, action_mask);
    co_return choose_child(action_dist_inputs, action_mask);
}

Task<Value> Conductrix::process_action(Value sim_sensors, Value tarvik_obs, Value action, ProcessActionArgs args) {
    Value processed_orchestrator_action = co_await start_base_process_action(*this, sim_sensors, tarvik_obs, action, args);
    ProcessorPtr selected_child_processor = child_at(processed_orchestrator_action);
    Value child_action = co_await start_child_step(*selected_child_processor, sim_sensors, args.sim_action_mask, false);
    co_return Value(Tuple{std::move(child_action), std::move(processed_orchestrator_action)});
}

void Conductrix::check_ready(bool is_controller) const {
    if (is_controller && !controller) {
        throw RuntimeError("Controller not initialized for orchestrator agent " + context.agent->get_name() +
                           ": init() did not set self.controller. This orchestrator is a controller-type agent and "
                           "should not attempt ONNX inference.");
    }
    if (!is_controller && !onnx_engine)
        throw RuntimeError("ONNX model not loaded for orchestrator agent " + context.agent->get_name());
}

namespace {

// What a step returns with return_as_teacher_dict: the child's own mapping
// with this level's choice written over "top_orchestrator_action" (every
// orchestrator on the way up does so, so the caller sees the outermost
// choice), or a new teacher dict around the child's result. Takes the values
// out of its arguments.
Value teacher_result(Value& child_action, SensorsResult& sensors, Value& teacher_action) {
    if (child_action.is_dict()) {
        child_action.as_dict_mut().set("top_orchestrator_action", std::move(teacher_action));
        return std::move(child_action);
    }
    return teacher_dict(std::move(child_action), std::move(sensors.first), std::move(sensors.second),
                        std::move(teacher_action));
}

}  // namespace

Task<Value> Conductrix::_execute(Value sim_sensors, ExecuteArgs args) {
    tarvik_core::ensure_cls_is_initialized(typeid(*this), _is_initialized, "_execute");
    const bool is_controller = context.agent->is_controller();
    check_ready(is_controller);
    // This step's conversion of the readings, for the child it runs: kept
    // with the step, so that steps in flight together never see each
    // other's.
    ConvertedSensors converted;

    // One variable, not a structured binding: g++ 12 miscompiles structured
    // bindings of a co_await result.
    SensorsResult sensors = co_await step_sensors(sim_sensors, args, converted);

    // The orchestrator's choice, then the teacher's rewrite of it.
    Value choice;
    // The teacher and controller are held for their awaits: a reset may
    // replace the fields while this step is suspended in them.
    if (is_controller) {
        const auto current_controller = controller;
        choice = co_await current_controller->compute_action(sensors.second, args.previous_action);
    } else {
        const std::int64_t chosen = co_await start_orchestrator_action(*this, sensors.first, args.sim_action_mask);
        choice = chosen;
    }
    if (teacher) {
        const auto current_teacher = teacher;
        choice = teacher_choice(co_await current_teacher->transform_action(sensors.second, choice));
    }

    // Inside an agent group the choice itself is the result.
    if (context.for_agent_group) co_return choice;

    ProcessorPtr selected_child_processor = child_at(choice);
    Value child_action = co_await start_child_step(*selected_child_processor, sim_sensors, args.sim_action_mask,
                                                   args.return_as_teacher_dict,
                                                   converted.sensors ? &converted : nullptr);
    if (!args.return_as_teacher_dict) co_return child_action;
    co_return teacher_result(child_action, sensors, choice);
}

bool Conductrix::takes_direct_step() const {
    return typeid(*this) == typeid(Conductrix) && onnx_engine && direct_ready();
}

void Conductrix::direct_step(DirectStep& step, ExecuteArgs& args) {
    if (args.return_as_teacher_dict) return stop_direct_step(step, args);
    // The mask compute_action_mask makes without a teacher.
    Value mask;
    const std::optional<NdArray> observation = direct_observation(
        step,
        [&] {
            return children_mask(space_utils::compute_orchestrator_action_mask(*context.agent, args.previous_action),
                                 Value(no_action_mask));
        },
        mask);
    if (!observation) return stop_direct_step(step, args);

    // _get_orchestrator_action on the observation as it stands.
    std::optional<NdArray> action_mask;
    if (!mask.is_none()) action_mask = _format_action_mask_for_onnx(mask);
    std::int64_t chosen = 0;
    onnx_engine->read_action_dist_inputs(*observation, action_mask ? &*action_mask : nullptr,
                                         [&](const NdArray& logits) { chosen = choose_child(logits, action_mask); });

    ProcessorPtr child = child_at(Value(chosen));
    ExecuteArgs next = child_args(step.sim_action_mask, false, nullptr);
    if (child->takes_direct_step()) return child->direct_step(step, next);
    step.handoff = std::move(child);
    step.handoff_args = std::move(next);
}

Task<SensorsResult> Conductrix::process_sim_sensors(Value obs, Value sim_action_mask, Value previous_action) {
    return sensors_in_step(std::move(obs), std::move(sim_action_mask), std::move(previous_action), nullptr, nullptr);
}

Task<SensorsResult> Conductrix::step_sensors(const Value& sim_sensors, const ExecuteArgs& args,
                                             ConvertedSensors& converted) {
    // The conversion is handed on only where process_sim_sensors is known to
    // be this class's: an override may convert differently.
    if (typeid(*this) == typeid(Conductrix))
        return sensors_in_step(sim_sensors, args.sim_action_mask, args.previous_action, args.converted_sensors,
                               &converted);
    return process_sim_sensors(sim_sensors, args.sim_action_mask, args.previous_action);
}

Task<SensorsResult> Conductrix::sensors_in_step(Value obs, Value sim_action_mask, Value previous_action,
                                                const ConvertedSensors* handed, ConvertedSensors* record) {
    SensorsResult sensors =
        co_await start_base_process_sim_sensors(*this, obs, sim_action_mask, previous_action, handed, record);
    // The base pipeline has just stored this class's own mask. Without a
    // teacher that mask involves no call outside this object and nothing was
    // awaited since it was made, so computing it again would give the same
    // values; a teacher (whose calls are visible) or a subclass with its own
    // compute_action_mask gets the second call.
    if (teacher || typeid(*this) != typeid(Conductrix)) {
        Value action_mask = co_await start_compute_action_mask(*this, sensors.second, sim_action_mask, previous_action);
        sensors.first.as_dict_mut().set("action_mask", std::move(action_mask));
    }
    co_return sensors;
}

Task<Value> Conductrix::compute_action_mask(Value tarvik_obs, Value sim_action_mask, Value previous_action) {
    NdArray orchestrator_mask = space_utils::compute_orchestrator_action_mask(*context.agent, previous_action);
    Value teacher_mask;
    if (teacher) {
        const auto current_teacher = teacher;
        teacher_mask = co_await current_teacher->compute_action_mask(tarvik_obs, previous_action);
    }
    co_return children_mask(std::move(orchestrator_mask), teacher_mask.is_none() ? no_action_mask : teacher_mask);
}

std::string Conductrix::get_agent_name() const { return context.agent->get_name(); }

SpacePtr Conductrix::get_action_space() const { return context.agent->get_action_space(); }

ProcessorPtr Conductrix::child_at(const Value& action) const {
    const std::int64_t position = list_position(action);
    const auto count = static_cast<std::int64_t>(child_agent_processors.size());
    const std::int64_t index = position < 0 ? position + count : position;
    if (index < 0 || index >= count) throw IndexError("list index out of range");
    return child_agent_processors[static_cast<std::size_t>(index)];
}

ProcessorPtr Conductrix::get_child_processor_by_index(const Value& index) const {
    if (index.is_int() || index.is_bool()) return get_child_processor_by_index(index.as_int());
    // Fractional positions truncate toward zero (1.9 is the second child);
    // NaN and infinities raise as integer conversion does; a finite value
    // beyond the 64-bit range is simply no child, like any out-of-range one.
    if (index.is_float()) {
        const double position = std::trunc(index.as_double());
        if (std::isfinite(position) && (position >= 0x1p63 || position < -0x1p63)) return nullptr;
        return get_child_processor_by_index(tarvik_core::to_int(index));
    }
    throw TypeError("index must be an int or a float, got " + index.type_name());
}

ProcessorPtr Conductrix::get_child_processor_by_index(std::int64_t index) const {
    if (index < 0 || index >= static_cast<std::int64_t>(child_agent_processors.size())) return nullptr;
    return child_agent_processors[static_cast<std::size_t>(index)];
}

ProcessorPtr Conductrix::get_child_processor_by_name(const Value& name) const {
    if (!name.is_str()) throw TypeError("name must be a str, got " + name.type_name());
    return get_child_processor_by_name(name.as_str());
}

ProcessorPtr Conductrix::get_child_processor_by_name(const std::string& name) const {
    for (const auto& child : child_agent_processors)
        if (child->get_agent_name() == name) return child;
    return nullptr;
}

}  // namespace tarvik_inference

extern "C" tarvik_inference::ProcessorPtr tarvik_conductrix_new(const tarvik_core::AgentProcessorContext& context) {
    return std::make_shared<tarvik_inference::Conductrix>(context);
}

static_assert(std::is_same_v<decltype(tarvik_conductrix_new), tarvik_inference::ProcessorConstructorFn>,
              "the entry point must have the type the factory binds it as");
