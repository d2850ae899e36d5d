// Runvane: the inference runtime's front door.
//
// A host constructs one Runvane, loads an orchestration (a graph of trained
// agents), packages it (which builds and initialises the processor tree of the
// chosen agent and loads its models), calls execute once per control step with
// that step's sensor readings, and finally closes it. This header is all a
// host needs from the library; the event loop is the host's own:
//
//   boost::asio::io_context io;
//   tarvik_inference::Runvane runvane;                 // default config, own network manager
//   boost::asio::co_spawn(io, [&]() -> tarvik_core::Task<void> {
//       co_await runvane.load_orchestration("mission/orchestration.json");
//       co_await runvane.package();                    // the top agent
//       Value action;
//       for (const Value& readings : steps) {
//           RunvaneExecuteArgs args{.previous_action = action};
//           action = co_await runvane.execute(readings, std::move(args));
//       }
//       co_await runvane.close();
//   }, [](std::exception_ptr e) { if (e) std::rethrow_exception(e); });
//   io.run();
//
// Inside a coroutine, build PackageArgs and RunvaneExecuteArgs as named
// variables as above: g++ 12 destroys a braced aggregate temporary written
// inside a co_await expression twice. For the same reason package() and
// execute(obs) are overloads rather than calls with a defaulted `{}`.
//
// Ownership: the facade owns its configuration, the network manager it
// created (a host-supplied one is shared) and the packaged processor tree;
// the orchestration is shared with whoever else holds it. Every operation's
// task refers to the facade, which must outlive the tasks it hands out. Steps
// may overlap (one loop or several threads); package/close must not.
//
// Errors: the constructor raises TypeError for a configuration that is not a
// mapping and propagates the configuration's own errors; package and execute
// raise the ValueError and RuntimeError quoted below when called out of order.
// Everything else (file loading, initialisation, node look-up, the processor
// factory, the processors, the network manager) propagates unchanged.
// agent_processor changes only when a package() succeeds.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <variant>

#include "tarvik_core/async.hpp"
#include "tarvik_core/network.hpp"
#include "tarvik_core/orchestration.hpp"
#include "tarvik_core/value.hpp"
#include "tarvik_inference/kernova.hpp"

namespace tarvik_inference {

// An orchestration file's path, or an orchestration object (loaded or not).
using OrchestrationArg = std::variant<std::string, tarvik_core::OrchestrationPtr>;
// No agent (the top agent; a null node means the same), an agent's name, or
// the agent node itself.
using AgentArg = std::variant<std::monostate, std::string, tarvik_core::GraphNodePtr>;

// Keyword arguments of package().
struct PackageArgs {
    tarvik_core::OrchestrationPtr orchestration;  // none: the loaded one
    AgentArg agent;
};

// Keyword arguments of execute(). `explore` is taken by its truth value.
struct RunvaneExecuteArgs {
    Value sim_action_mask;
    Value explore = false;
    Value previous_action;
};

class Runvane {
public:
    // `config`: a settings mapping, or None for the default (the local
    // transport on the loopback host, port 1337). TypeError "config must be a
    // mapping or None, got <type>" for anything else; unknown or malformed
    // settings fail as the configuration reports them. Without a
    // `network_mgr` a Relayon is built from `config`. Logs nothing.
    explicit Runvane(Value config = Value(), tarvik_core::NetworkMgrPtr network_mgr = nullptr);

    // Loads the orchestration file at a path, or adopts an orchestration
    // object (TypeError for a null one), stores it, and initialises it unless
    // it already is. The field is replaced before initialisation, so after a
    // failed init it holds the new, uninitialised orchestration. A processor
    // packaged earlier stays in place. Logs "Loaded orchestration: <id>".
    Task<void> load_orchestration(OrchestrationArg orchestration);

    // Builds the processor of one agent through the processor factory and
    // makes it the one execute() runs. The orchestration is the given one
    // (used for this packaging only) or the loaded one; the agent is the top
    // agent, the node of the given name, or the given node. ValueError "No
    // orchestration provided and no orchestration loaded" when there is
    // neither. The factory module is bound now, so a missing one fails here.
    Task<void> package(PackageArgs args);
    Task<void> package();

    // One control step: runs the packaged processor on `obs` and returns its
    // action unchanged. RuntimeError "No agent processor available. Call
    // package() first." before a successful package(). `explore` is reduced
    // to a bool when execute is called (a ValueError then for an ambiguous
    // truth value).
    Task<Value> execute(Value obs, RunvaneExecuteArgs args);
    Task<Value> execute(Value obs);

    // The same step on readings in a host's own flat buffer, laid out as the
    // flat-vector form of `obs` (each sensor's entries in sensor order, or
    // from its index), with the same checks and errors as a one-dimensional
    // array of that element type: a wrong length or a non-finite reading
    // raises exactly the ValueError the flat-vector form raises. The buffer
    // is read when the step runs: keep it alive and unchanged until the step
    // completes. It is read in place when every sensor converts its entries
    // into arrays of another element type or into numbers (float64 readings
    // for float32 sensors, say), so nothing of the step refers to it
    // afterwards; when a sensor would keep its entries as they are (float32
    // readings for float32 sensors), the buffer is copied once into an array
    // of the runtime's own, as a host would build for the flat-vector form.
    Task<Value> execute(std::span<const double> readings, RunvaneExecuteArgs args);
    Task<Value> execute(std::span<const double> readings);
    Task<Value> execute(std::span<const float> readings, RunvaneExecuteArgs args);
    Task<Value> execute(std::span<const float> readings);

    // Asks the network manager to stop all remote managers (awaiting the
    // answer when it is awaitable), stops its watchdogs, and logs "Inference
    // engine closed". The watchdogs are stopped even when stopping the remote
    // managers fails; that failure then propagates and nothing is logged.
    // Fields are left in place and later calls are not refused.
    Task<void> close();

    tarvik_core::TrainerConfig config;
    tarvik_core::NetworkMgrPtr network_mgr;
    tarvik_core::OrchestrationPtr orchestration;  // none until load_orchestration
    ProcessorPtr agent_processor;                 // none until a successful package

private:
    // Readings in a host's buffer, turned into an array when the step runs.
    struct FlatBuffer {
        const void* data = nullptr;
        std::size_t size = 0;
        tarvik_core::DType dtype = tarvik_core::DType::Float64;
        bool given = false;  // false: the readings are `obs`
    };
    Task<Value> execute_step(Value obs, FlatBuffer buffer, Value sim_action_mask, bool explore,
                             Value previous_action);
};

}  // namespace tarvik_inference
