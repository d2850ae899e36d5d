// Conductrix: the processor of an orchestrator agent.
//
// An orchestrator does not act itself: at every step it picks one of its
// child agents and hands the step to that child's processor. The choice comes
// from the orchestrator's own policy model (the first maximum of the masked
// softmax over the children) or, for a controller-type orchestrator, from its
// controller; a teacher may rewrite it. A child may be another Conductrix, so
// one step walks down the tree until a single-agent processor acts, and the
// action travels back up unchanged (or as a teacher dict, whose
// "top_orchestrator_action" every orchestrator on the way up overwrites).
//
// Construction binds the orchestrator to its children in the graph: each
// child node gets the orchestrator's simulator sensor space, and the action
// space becomes Discrete(number of children), on the processor and on the
// node. init() loads the model (unless controller-type; a missing checkpoint
// or model file only logs a warning) and then builds every child's processor
// through the processor factory, concurrently, keeping child order.
//
//   ProcessorPtr top = co_await create_actuon(context);   // builds the tree
//   Value action = co_await top->_execute(readings, {.sim_action_mask = mask});
//
// Ownership: the processor owns its model session and its child processors.
//
// Errors: a non-orchestrator node is the generic Error "Conductrix must be used
// with a AgentOrchestrator, got <name>, <class '...'>"; a failed model load is
// logged and propagates out of init(); a step without its model (or, for a
// controller-type orchestrator, without its controller) is a RuntimeError; a
// choice outside the children is an IndexError and no child runs.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "tarvik_inference/kernova.hpp"

namespace tarvik_inference {

class GrafexEngine;

class Conductrix : public BaseAgentProcessor {
public:
    explicit Conductrix(AgentProcessorContext context);
    ~Conductrix() override;

    // Base set-up, the orchestrator's model, then one processor per child.
    Task<void> init() override;
    // Every child's reset (concurrently), then the orchestrator's own.
    Task<void> reset() override;

    // The model's choice of child for one model observation (a Dict with
    // "observation" and optionally "action_mask"). TypeError when
    // `sensors_filtered` is not a Dict; `sim_action_mask` is not used.
    virtual Task<std::int64_t> _get_orchestrator_action(Value sensors_filtered, Value sim_action_mask = {});

    // Runs the child at the position the base action processing makes of
    // `action`; returns Tuple(child result, that position).
    Task<Value> process_action(Value sim_sensors, Value tarvik_obs, Value action,
                               ProcessActionArgs args = {}) override;

    Task<Value> _execute(Value sim_sensors, ExecuteArgs args = {}) override;

    // The base pipeline, with "action_mask" replaced by the mask over children.
    Task<SensorsResult> process_sim_sensors(Value obs, Value sim_action_mask = {},
                                            Value previous_action = {}) override;
    // Which children may be chosen: the orchestrator's mask combined with the
    // teacher's; the simulator's mask does not apply to this choice.
    Task<Value> compute_action_mask(Value tarvik_obs, Value sim_action_mask = {},
                                    Value previous_action = {}) override;

    // Direct steps (see DirectStep): a Conductrix itself, not a subclass,
    // with a model and nothing to await; the chosen child continues the walk.
    bool takes_direct_step() const override;
    void direct_step(DirectStep& step, ExecuteArgs& args) override;

    std::string get_agent_name() const override;
    SpacePtr get_action_space() const override;

    // The list itself, not a copy; empty before init().
    std::vector<ProcessorPtr>& get_child_agent_processors() noexcept { return child_agent_processors; }
    // The child at `index` (an int, a bool, or a float truncated toward zero),
    // or null when out of range, negative included. TypeError naming `index`
    // for any other kind.
    ProcessorPtr get_child_processor_by_index(const Value& index) const;
    ProcessorPtr get_child_processor_by_index(std::int64_t index) const;
    // Plain C++ numbers take the same rules: without these, a double would
    // convert to int64 silently (undefined beyond its range, NaN included)
    // instead of truncating or raising as a float index does.
    ProcessorPtr get_child_processor_by_index(double index) const { return get_child_processor_by_index(Value(index)); }
    template <std::integral I>
    ProcessorPtr get_child_processor_by_index(I index) const {
        if constexpr (std::is_unsigned_v<I> && sizeof(I) >= sizeof(std::int64_t))
            if (index > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return nullptr;
        return get_child_processor_by_index(static_cast<std::int64_t>(index));
    }
    // The first child whose get_agent_name() equals `name`, or null. TypeError
    // naming `name` when it is not a string.
    ProcessorPtr get_child_processor_by_name(const Value& name) const;
    ProcessorPtr get_child_processor_by_name(const std::string& name) const;
    ProcessorPtr get_child_processor_by_name(const char* name) const { return get_child_processor_by_name(std::string(name)); }

    // Position i holds the processor of the node's i-th child.
    std::vector<ProcessorPtr> child_agent_processors;
    // The orchestrator's policy model; null for a controller-type orchestrator
    // and when no model was found.
    std::shared_ptr<GrafexEngine> onnx_engine;

private:
    void load_orchestrator_model();
    // process_sim_sensors within one step (see process_sim_sensors_in_step).
    Task<SensorsResult> sensors_in_step(Value obs, Value sim_action_mask, Value previous_action,
                                        const ConvertedSensors* handed, ConvertedSensors* record);
    // The sensors of a step: this class's own pipeline with the step's
    // conversion hand-off, or an override's process_sim_sensors without it.
    // `converted` receives the conversion for the child.
    Task<SensorsResult> step_sensors(const Value& sim_sensors, const ExecuteArgs& args, ConvertedSensors& converted);
    // The RuntimeError of a step that has neither its controller (controller
    // type) nor its model.
    void check_ready(bool is_controller) const;
    // The child processor at an orchestrator action, with list indexing:
    // negative positions count from the end; IndexError beyond either end.
    ProcessorPtr child_at(const Value& action) const;
};

}  // namespace tarvik_inference
