// AgentProcessorContext: what a processor is built for.
//
// One context per processor: the orchestration, the agent node it runs, the
// network manager for remote implementations, and three flags. Build it with
// designated initializers:
//
//   AgentProcessorContext ctx{.orchestration = orch, .agent = node, .network_mgr = mgr};
//
// A plain aggregate of shared pointers; copying it shares the graph.
#pragma once

#include <optional>
#include <string>

#include "tarvik_core/model_session.hpp"
#include "tarvik_core/network.hpp"
#include "tarvik_core/orchestration.hpp"

namespace tarvik_core {

struct AgentProcessorContext {
    OrchestrationPtr orchestration;
    GraphNodePtr agent;
    NetworkMgrPtr network_mgr;
    bool is_training = false;
    bool is_validating = false;
    bool for_agent_group = false;
    // A display name that overrides the agent's name, or none.
    std::optional<std::string> name;
    // The host's model-session settings; each field set here overrides the
    // orchestration file's. Children inherit them from their orchestrator.
    ModelSessionSettings model_session;
};

// What the processor's models run with: the context's settings over the
// orchestration's over the defaults, field by field.
ModelSessionSettings model_session_settings(const AgentProcessorContext& context);

}  // namespace tarvik_core
