// Runvane: load, package, execute, close.
#include "tarvik_inference/runvane.hpp"

#include <cstring>
#include <exception>
#include <memory>
#include <typeinfo>
#include <utility>

#include "tarvik_core/context.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_core/modules.hpp"
#include "tarvik_inference/relayon.hpp"

namespace tarvik_inference {

namespace {

tarvik_core::Logger& logger = tarvik_core::get_logger("tarvik_inference.runvane");

using tarvik_core::GraphNodePtr;
using tarvik_core::OrchestrationPtr;

tarvik_core::TrainerConfig trainer_config_from(const Value& config) {
    if (config.is_none()) return tarvik_core::TrainerConfig(tarvik_core::default_trainer_settings());
    if (!config.is_dict())
        throw tarvik_core::TypeError("config must be a mapping or None, got " + config.type_name());
    // TrainerConfig copies the mapping; the caller's Dict is never written.
    return tarvik_core::TrainerConfig(config.as_dict());
}

OrchestrationPtr orchestration_from(const OrchestrationArg& argument) {
    if (const auto* path = std::get_if<std::string>(&argument)) return tarvik_core::Orchestration::load(*path);
    OrchestrationPtr given = std::get<OrchestrationPtr>(argument);
    if (!given)
        throw tarvik_core::TypeError(
            "load_orchestration() needs an orchestration or a path to an orchestration file, got None");
    return given;
}

GraphNodePtr agent_node(const tarvik_core::Orchestration& orchestration, const AgentArg& agent) {
    if (std::holds_alternative<std::monostate>(agent)) return orchestration.get_top_agent();
    if (const auto* name = std::get_if<std::string>(&agent)) return orchestration.get_node_by_name(*name);
    // A null node is the C++ spelling of "no agent given": the top agent.
    GraphNodePtr node = std::get<GraphNodePtr>(agent);
    return node ? node : orchestration.get_top_agent();
}

tarvik_core::AgentProcessorContext processor_context(OrchestrationPtr orchestration, GraphNodePtr agent,
                                                     tarvik_core::NetworkMgrPtr network_mgr,
                                                     const tarvik_core::ModelSessionSettings& model_session) {
    return tarvik_core::AgentProcessorContext{.orchestration = std::move(orchestration),
                                              .agent = std::move(agent),
                                              .network_mgr = std::move(network_mgr),
                                              .is_training = false,
                                              .is_validating = false,
                                              .for_agent_group = false,
                                              .model_session = model_session};
}

// Built outside the coroutine: g++ 12 destroys a braced aggregate temporary
// that appears in a co_await expression twice.
ExecuteArgs step_args(Value sim_action_mask, bool explore, Value previous_action) {
    return ExecuteArgs{.sim_action_mask = std::move(sim_action_mask),
                       .explore = explore,
                       .previous_action = std::move(previous_action)};
}

}  // namespace

Runvane::Runvane(Value config, tarvik_core::NetworkMgrPtr network_mgr)
    : config(trainer_config_from(config)),
      network_mgr(network_mgr ? std::move(network_mgr) : std::make_shared<Relayon>(this->config)) {}

Task<void> Runvane::load_orchestration(OrchestrationArg argument) {
    // Held locally as well: a second load while this one awaits init() must
    // not change which orchestration this call initialises and reports.
    OrchestrationPtr loaded = orchestration_from(argument);
    orchestration = loaded;
    if (!loaded->is_initialized()) co_await loaded->init();
    logger.info("Loaded orchestration: " + loaded->id());
}

Task<void> Runvane::package(PackageArgs args) {
    OrchestrationPtr target = args.orchestration ? args.orchestration : orchestration;
    if (!target) throw tarvik_core::ValueError("No orchestration provided and no orchestration loaded");
    if (!target->is_initialized()) co_await target->init();
    GraphNodePtr node = agent_node(*target, args.agent);

    auto* create_actuon = tarvik_core::import_module(kMoldrixModule).function<CreateActuonFn>(kCreateActuonSymbol);
    ProcessorPtr processor = co_await create_actuon(processor_context(target, node, network_mgr, config.model_session()));
    if (!processor)
        throw tarvik_core::RuntimeError("the processor factory returned no processor for agent '" + node->get_name() +
                                        "'");

    agent_processor = processor;
    logger.info("Packaged orchestration for inference with agent: " + node->get_name() +
                " (processor type: " + tarvik_core::class_name_of(typeid(*processor)) + ")");
}

Task<void> Runvane::package() { return package(PackageArgs()); }

Task<Value> Runvane::execute(Value obs) { return execute_step(std::move(obs), {}, Value(), false, Value()); }

Task<Value> Runvane::execute(Value obs, RunvaneExecuteArgs args) {
    // Not a coroutine itself, so that `explore` is judged when the call is made.
    const bool explore = args.explore.truthy();
    return execute_step(std::move(obs), {}, std::move(args.sim_action_mask), explore,
                        std::move(args.previous_action));
}

Task<Value> Runvane::execute(std::span<const double> readings) {
    return execute_step(Value(), {readings.data(), readings.size(), tarvik_core::DType::Float64, true}, Value(),
                        false, Value());
}

Task<Value> Runvane::execute(std::span<const double> readings, RunvaneExecuteArgs args) {
    const bool explore = args.explore.truthy();
    return execute_step(Value(), {readings.data(), readings.size(), tarvik_core::DType::Float64, true},
                        std::move(args.sim_action_mask), explore, std::move(args.previous_action));
}

Task<Value> Runvane::execute(std::span<const float> readings) {
    return execute_step(Value(), {readings.data(), readings.size(), tarvik_core::DType::Float32, true}, Value(),
                        false, Value());
}

Task<Value> Runvane::execute(std::span<const float> readings, RunvaneExecuteArgs args) {
    const bool explore = args.explore.truthy();
    return execute_step(Value(), {readings.data(), readings.size(), tarvik_core::DType::Float32, true},
                        std::move(args.sim_action_mask), explore, std::move(args.previous_action));
}

namespace {

// Whether converting flat entries of element type `dtype` for `space` may
// hand back the entries themselves rather than a converted copy: arrays of
// the same element type are taken as they are, and kinds without a known
// form keep the reading unchanged. Discrete readings become numbers.
bool conversion_keeps_entries(const tarvik_core::spaces::Space& space, tarvik_core::DType dtype) {
    using tarvik_core::spaces::Kind;
    switch (tarvik_core::spaces::kind_of(space)) {
    case Kind::Discrete: return false;
    case Kind::MultiDiscrete:
    case Kind::Box:
    case Kind::MultiBinary: return space.dtype() == dtype;
    case Kind::Tuple:
        for (const auto& part : space.sequence_spaces())
            if (!part || conversion_keeps_entries(*part, dtype)) return true;
        return false;
    case Kind::Dict:
        for (const auto& entry : space.mapping_spaces())
            if (!entry.second || conversion_keeps_entries(*entry.second, dtype)) return true;
        return false;
    case Kind::Other: break;
    }
    return true;
}

// True when no sensor value the processor's conversion makes can refer to
// the readings, so that they may be read in place.
bool readable_in_place(const BaseAgentProcessor& processor, tarvik_core::DType dtype) {
    const auto& orchestration = processor.context.orchestration;
    if (!orchestration) return false;
    for (const auto& sensor : orchestration->sensors) {
        if (!sensor || !sensor->space) return false;
        if (sensor->source.kind == tarvik_core::SensorSource::Kind::perceptor) continue;
        if (conversion_keeps_entries(*sensor->space, dtype)) return false;
    }
    return true;
}

// The host's buffer as a one-dimensional array: in place, or copied once.
Value buffer_readings(const void* data, std::size_t size, tarvik_core::DType dtype, bool in_place) {
    const tarvik_core::Shape shape{static_cast<std::int64_t>(size)};
    if (!in_place) {
        NdArray copy = NdArray::zeros(dtype, shape);
        if (size) std::memcpy(copy.mutable_raw_data(), data, size * tarvik_core::dtype_size(dtype));
        return Value(std::move(copy));
    }
    // The runtime only reads arrays it did not make. The owner holds no
    // reference, only the buffer's address, so that views of the buffer
    // know they share it without keeping anything alive.
    std::shared_ptr<const void> owner(std::shared_ptr<const void>(), data);
    return Value(NdArray::wrap(dtype, shape, const_cast<void*>(data), std::move(owner)));
}

}  // namespace

Task<Value> Runvane::execute_step(Value obs, FlatBuffer buffer, Value sim_action_mask, bool explore,
                                  Value previous_action) {
    // A local reference keeps the processor alive through the step even if a
    // concurrent package() replaces it.
    ProcessorPtr processor = agent_processor;
    if (!processor) throw tarvik_core::RuntimeError("No agent processor available. Call package() first.");
    // Decided against the processor that runs the step, not the one there
    // was when the step was made.
    if (buffer.given)
        obs = buffer_readings(buffer.data, buffer.size, buffer.dtype, readable_in_place(*processor, buffer.dtype));
    if (!processor->takes_direct_step())
        co_return co_await processor->finish_step(
            std::move(obs), step_args(std::move(sim_action_mask), explore, std::move(previous_action)));

    // Processors that await nothing take the step directly, down to the
    // first one that needs the general path, which then finishes it.
    std::unique_ptr<DirectStep> stopped;
    Value action = start_direct_step(*processor, std::move(obs),
                                     step_args(std::move(sim_action_mask), explore, std::move(previous_action)), stopped);
    if (!stopped) co_return action;
    co_return co_await finish_direct_step(std::move(stopped));
}

Task<void> Runvane::close() {
    if (tarvik_core::NetworkMgrPtr manager = network_mgr) {
        std::exception_ptr failure;
        try {
            tarvik_core::MaybeTask<Value> stopping = manager->stop_all();
            if (stopping.is_awaitable()) co_await std::move(stopping).task();
        } catch (...) {
            failure = std::current_exception();
        }
        // Watchdogs are local resources: release them even when a remote
        // manager could not be stopped, then report that failure unchanged.
        manager->stop_watchdogs();
        if (failure) std::rethrow_exception(failure);
    }
    logger.info("Inference engine closed");
}

}  // namespace tarvik_inference
