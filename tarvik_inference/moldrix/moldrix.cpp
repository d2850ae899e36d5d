#include "tarvik_inference/moldrix.hpp"

#include <exception>
#include <type_traits>
#include <utility>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/logging.hpp"
#include "tarvik_core/modules.hpp"
#include "tarvik_core/orchestration.hpp"

namespace tarvik_inference {

namespace {

tarvik_core::Logger& logger = tarvik_core::get_logger("tarvik_inference.moldrix");

ProcessorConstructorFn* bind_constructor(const char* module, const char* symbol) {
    return tarvik_core::import_module(module).function<ProcessorConstructorFn>(symbol);
}

template <class Kind>
bool is_a(const tarvik_core::GraphNode& node) {
    return dynamic_cast<const Kind*>(&node) != nullptr;
}

// The processor kind for a node, after logging which one is being created.
// The order of the tests decides for nodes of several kinds: a controller is
// recognised before any class test, and an orchestrator is also an Agent.
ProcessorConstructorFn* choose_constructor(const tarvik_core::GraphNode& agent, ProcessorConstructorFn* new_actuon,
                                           ProcessorConstructorFn* new_conductrix) {
    if (agent.is_controller()) {
        if (is_a<tarvik_core::AgentOrchestrator>(agent)) {
            logger.info("Creating Conductrix for orchestrator controller: " + agent.get_name());
            return new_conductrix;
        }
        logger.info("Creating Actuon for controller: " + agent.get_name());
        return new_actuon;
    }
    if (is_a<tarvik_core::AgentOrchestrator>(agent)) {
        logger.info("Creating Conductrix for orchestrator: " + agent.get_name());
        return new_conductrix;
    }
    if (is_a<tarvik_core::AgentCoordinatedSet>(agent)) {
        throw tarvik_core::NotImplementedError(
            "ONNX inference for AgentCoordinatedSet is not yet implemented. Agent: " + agent.get_name());
    }
    if (is_a<tarvik_core::AgentCoordinatedPopulation>(agent)) {
        throw tarvik_core::NotImplementedError(
            "ONNX inference for AgentCoordinatedPopulation is not yet implemented. Agent: " + agent.get_name());
    }
    if (is_a<tarvik_core::Agent>(agent)) {
        logger.info("Creating Actuon for agent: " + agent.get_name());
        return new_actuon;
    }
    throw tarvik_core::ValueError("Unsupported agent type for ONNX inference: " + agent.class_name() +
                                  ". Agent: " + agent.get_name());
}

}  // namespace

Task<ProcessorPtr> create_actuon(AgentProcessorContext context) {
    ProcessorConstructorFn* new_conductrix = bind_constructor(kConductrixModule, kConductrixConstructorSymbol);
    ProcessorConstructorFn* new_actuon = bind_constructor(kActuonModule, kActuonConstructorSymbol);
    const tarvik_core::GraphNodePtr agent = context.agent;
    if (!agent) throw tarvik_core::AttributeError("'NoneType' object has no attribute 'is_controller'");
    ProcessorConstructorFn* construct = choose_constructor(*agent, new_actuon, new_conductrix);

    std::exception_ptr failure;
    try {
        ProcessorPtr agent_processor_instance = construct(context);
        co_await agent_processor_instance->init();
        logger.info("Successfully created and initialized agent processor for: " + agent->get_name());
        co_return agent_processor_instance;
    } catch (...) {
        failure = std::current_exception();
    }
    // Cancellation is not a failure to create: it leaves as it came.
    if (!tarvik_core::is_ordinary_error(failure)) std::rethrow_exception(failure);
    const std::string message = tarvik_core::error_text(failure);
    logger.error("Failed to create agent processor for " + agent->get_name() + ": " + message);
    tarvik_core::RuntimeError wrapped("Failed to create ONNX agent processor for " + agent->get_name() + ": " + message);
    wrapped.set_cause(failure);
    throw wrapped;
}

}  // namespace tarvik_inference

extern "C" tarvik_core::Task<tarvik_inference::ProcessorPtr> tarvik_moldrix_create_actuon(
    tarvik_core::AgentProcessorContext context) {
    return tarvik_inference::create_actuon(std::move(context));
}

static_assert(std::is_same_v<decltype(tarvik_moldrix_create_actuon), tarvik_inference::CreateActuonFn>,
              "the entry point must have the type callers bind it as");
