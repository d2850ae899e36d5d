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
                                 .for_agent_group = false};
}

bool path_exists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// Position of the greatest softmax probability, computed in the logits' own
// element type T on one working copy: masked logits (or a plain copy), then
// exp(x - max) and the division by the pairwise sum in place.
template <class T>
std::int64_t first_max_of_softmax(const NdArray& logits, const std::optional<NdArray>& allowed) {
    NdArray work = allowed ? NdArray::where(*allowed, logits, FLOAT_MIN) : logits.copy();
    T* x = work.mutable_data<T>();
    const std::int64_t n = work.size();
    const T top = static_cast<T>(work.max());
    for (std::int64_t i = 0; i < n; ++i) x[i] = std::exp(static_cast<T>(x[i] - top));
    const T total = static_cast<T>(work.sum());
    for (std::int64_t i = 0; i < n; ++i) x[i] = static_cast<T>(x[i] / total);
    return work.argmax();
}

// The child a model output chooses, given the mask that was fed with it.
std::int64_t choose_child(const NdArray& action_dist_inputs, const std::optional<NdArray>& action_mask) {
    NdArray logits = action_dist_inputs.ndim() > 1 ? action_dist_inputs[0] : action_dist_inputs;
    std::optional<NdArray> allowed;
    if (action_mask) {
        if (logits.ndim() == 0) throw IndexError("tuple index out of range");
        NdArray flat_mask = action_mask->flatten().astype(DType::Float32);
        // A mask that does not line up with the logits is ignored.
        if (flat_mask.len() == logits.len()) allowed = flat_mask.greater(0.0);
    }
    switch (logits.dtype()) {
        case DType::Float32: return first_max_of_softmax<float>(logits, allowed);
        case DType::Float64: return first_max_of_softmax<double>(logits, allowed);
        default:
            // Integer logits promote to float64, as they would against a float.
            return first_max_of_softmax<double>(logits.astype(DType::Float64), allowed);
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

ExecuteArgs child_args(Value sim_action_mask, bool return_as_teacher_dict) {
    // The caller's exploration, coordination and previous action stay at
    // this level; the child sees only the raw readings and the sim mask.
    return ExecuteArgs{.sim_action_mask = std::move(sim_action_mask),
                       .explore = false,
                       .is_coordinated = false,
                       .previous_action = Value(),
                       .return_as_teacher_dict = return_as_teacher_dict};
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
        onnx_engine = std::make_shared<GrafexEngine>(onnx_path.string());
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
    Value processed_orchestrator_action =
        co_await BaseAgentProcessor::process_action(sim_sensors, tarvik_obs, action, args);
    ProcessorPtr selected_child_processor = child_at(processed_orchestrator_action);
    Value child_action = co_await selected_child_processor->_execute(sim_sensors, child_args(args.sim_action_mask, false));
    co_return Value(Tuple{std::move(child_action), std::move(processed_orchestrator_action)});
}

Task<Value> Conductrix::_execute(Value sim_sensors, ExecuteArgs args) {
    tarvik_core::ensure_cls_is_initialized(typeid(*this), _is_initialized, "_execute");
    const bool is_controller = context.agent->is_controller();
    if (is_controller && !controller) {
        throw RuntimeError("Controller not initialized for orchestrator agent " + context.agent->get_name() +
                           ": init() did not set self.controller. This orchestrator is a controller-type agent and "
                           "should not attempt ONNX inference.");
    }
    if (!is_controller && !onnx_engine)
        throw RuntimeError("ONNX model not loaded for orchestrator agent " + context.agent->get_name());

    auto [sensors_filtered, tarvik_obs] =
        co_await this->process_sim_sensors(sim_sensors, args.sim_action_mask, args.previous_action);

    Value orchestrator_action;
    if (is_controller)
        orchestrator_action = co_await controller->compute_action(tarvik_obs, args.previous_action);
    else
        orchestrator_action = Value(co_await this->_get_orchestrator_action(sensors_filtered, args.sim_action_mask));

    Value teacher_action = orchestrator_action;
    if (teacher) teacher_action = teacher_choice(co_await teacher->transform_action(tarvik_obs, orchestrator_action));

    // Inside an agent group the choice itself is the result.
    if (context.for_agent_group) co_return teacher_action;

    ProcessorPtr selected_child_processor = child_at(teacher_action);
    Value child_action =
        co_await selected_child_processor->_execute(sim_sensors, child_args(args.sim_action_mask, args.return_as_teacher_dict));

    if (!args.return_as_teacher_dict) co_return child_action;
    if (child_action.is_dict()) {
        // Every orchestrator on the way up overwrites this, so the caller
        // sees the outermost choice.
        child_action.as_dict_mut().set("top_orchestrator_action", teacher_action);
        co_return child_action;
    }
    co_return teacher_dict(std::move(child_action), std::move(sensors_filtered), std::move(tarvik_obs),
                           std::move(teacher_action));
}

Task<SensorsResult> Conductrix::process_sim_sensors(Value obs, Value sim_action_mask, Value previous_action) {
    auto [filtered_obs, tarvik_obs] =
        co_await BaseAgentProcessor::process_sim_sensors(obs, sim_action_mask, previous_action);
    Value action_mask = co_await this->compute_action_mask(tarvik_obs, sim_action_mask, previous_action);
    filtered_obs.as_dict_mut().set("action_mask", std::move(action_mask));
    co_return SensorsResult{std::move(filtered_obs), std::move(tarvik_obs)};
}

Task<Value> Conductrix::compute_action_mask(Value tarvik_obs, Value sim_action_mask, Value previous_action) {
    NdArray orchestrator_mask = space_utils::compute_orchestrator_action_mask(*context.agent, previous_action);
    Value teacher_mask;
    if (teacher) teacher_mask = co_await teacher->compute_action_mask(tarvik_obs, previous_action);
    if (teacher_mask.is_none()) teacher_mask = no_action_mask;

    // The orchestrator's mask sets the length; the teacher's is padded with
    // allowed entries or cut to it.
    NdArray orchestrator_flat = _format_action_mask_for_combine(Value(std::move(orchestrator_mask)));
    NdArray teacher_flat = _format_action_mask_for_combine(teacher_mask);
    teacher_flat = _align_mask_length(teacher_flat, orchestrator_flat.size());
    NdArray total_mask = space_utils::combine_masks(orchestrator_flat, teacher_flat);
    auto formatted = _format_action_mask_for_onnx(Value(std::move(total_mask)));
    co_return formatted ? Value(std::move(*formatted)) : Value();
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
    // NaN and infinities raise as integer conversion does.
    if (index.is_float()) return get_child_processor_by_index(tarvik_core::to_int(index));
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
