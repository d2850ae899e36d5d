// Runvane: load, package, execute, close.
#include "tarvik_inference/runvane.hpp"

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

Task<Value> Runvane::execute(Value obs) { return execute_step(std::move(obs), Value(), false, Value()); }

Task<Value> Runvane::execute(Value obs, RunvaneExecuteArgs args) {
    // Not a coroutine itself, so that `explore` is judged when the call is made.
    const bool explore = args.explore.truthy();
    return execute_step(std::move(obs), std::move(args.sim_action_mask), explore, std::move(args.previous_action));
}

Task<Value> Runvane::execute_step(Value obs, Value sim_action_mask, bool explore, Value previous_action) {
    // A local reference keeps the processor alive through the step even if a
    // concurrent package() replaces it.
    ProcessorPtr processor = agent_processor;
    if (!processor) throw tarvik_core::RuntimeError("No agent processor available. Call package() first.");
    co_return co_await processor->_execute(
        std::move(obs), step_args(std::move(sim_action_mask), explore, std::move(previous_action)));
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
