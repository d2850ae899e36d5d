// The processor factory: one call turns an agent node into a ready,
// initialised processor of the right kind.
//
// create_actuon(context) looks at context.agent and builds a Conductrix for an
// orchestrator (controller-type or not) and an Actuon for a plain agent or a
// controller, constructs it with the context, awaits its init() and returns
// it. An orchestrator's init() calls this factory for each of its children, so
// one call builds a whole tree of processors.
//
//   AgentProcessorContext context{
//       .orchestration = orchestration, .agent = orchestration->get_top_agent(), .network_mgr = mgr};
//   ProcessorPtr processor = co_await create_actuon(std::move(context));
//
// (Build the context as a named local: g++ 12 destroys a braced temporary
// written inside a co_await expression twice.)
//
// The two processor modules are bound when the factory runs, at every call,
// never when this module loads: the orchestrator module refers back to this
// one, and binding late keeps the two free of a link cycle.
//
// Errors: coordinated sets and populations are NotImplementedError, a node of
// no agent kind a ValueError naming its class; neither is logged, and neither
// is a failure to load a processor module. A failure while constructing or
// initialising the processor is logged and raised as a RuntimeError
// "Failed to create ONNX agent processor for <name>: <message>" whose cause()
// is the original failure. Cancellation passes through untouched.
#pragma once

#include "tarvik_inference/kernova.hpp"

namespace tarvik_inference {

// A new, initialised processor for context.agent. Nothing is cached: each
// call builds afresh.
Task<ProcessorPtr> create_actuon(AgentProcessorContext context);

}  // namespace tarvik_inference
