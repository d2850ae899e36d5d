// Actuon: the processor of one plain agent (a skill or a controller).
//
// On top of the shared pipeline of BaseAgentProcessor it adds what depends on
// the agent's trained model. init() finds the agent's ONNX file under its
// checkpoint folder (<ckpt>/<name>.onnx, then <ckpt>/<name>/<name>.onnx, then
// <ckpt>/checkpoint/<name>.onnx), makes sure the model has an action-mask
// input (best effort) and loads it into a GrafexEngine. _execute() turns one
// step's raw readings into an action: a controller agent asks its controller;
// every other agent runs its model once, pushes the logits of forbidden
// actions down to -3.4e38 and decodes the vector against the action space
// (_decode_action_dist_inputs), deterministically: first maximum for discrete
// parts, the clipped means for Box parts.
//
//   auto actuon = std::make_shared<Actuon>(context);
//   co_await actuon->init();
//   Value action = co_await actuon->_execute(readings, {.sim_action_mask = mask});
//
// Ownership: the processor owns its engine (shared so hosts may hold on to it);
// the engine lives as long as the processor, with no reload.
//
// Errors: a missing model, a missing checkpoint or a controller agent are
// logged, not raised; a model file that cannot be loaded is logged and its
// error raised again from init(). _execute() before init() is a RuntimeError,
// and so is the model path without a loaded model. Decoding a vector too short
// for the space fails with the array error (argmax of an empty segment, or a
// reshape ValueError); a space lacking an attribute its kind needs raises
// AttributeError. Nothing reads outside the vector.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "tarvik_inference/grafex.hpp"
#include "tarvik_inference/kernova.hpp"

namespace tarvik_inference {

class Actuon : public BaseAgentProcessor {
public:
    explicit Actuon(AgentProcessorContext context);

    // Initialises the orchestration when needed, runs the base set-up, then
    // locates and loads the model.
    Task<void> init() override;

    // Decodes the segment of `action_dist_inputs` that starts at `offset` into
    // an action of `action_space`; returns the action and the offset just past
    // the segment. Tuple and Dict parts are decoded through this same virtual
    // call, so an override sees every level.
    virtual std::pair<Value, std::int64_t> _decode_action_dist_inputs(const NdArray& action_dist_inputs,
                                                                      const SpacePtr& action_space,
                                                                      std::int64_t offset = 0);

    // One step: the controller's action or the decoded model output, through
    // process_action; a teacher dict when args.return_as_teacher_dict is set.
    // `explore` and `is_coordinated` have no effect: decoding is deterministic.
    Task<Value> _execute(Value sim_sensors, ExecuteArgs args = {}) override;

    // Direct steps (see DirectStep): an Actuon itself, not a subclass, with a
    // model and nothing to await.
    bool takes_direct_step() const override;
    void direct_step(DirectStep& step, ExecuteArgs& args) override;
    // A taught Actuon (itself, with a model, and nothing else to await)
    // finishes a step in one coroutine; anything else through _execute.
    Task<Value> finish_step(Value sim_sensors, ExecuteArgs args) override;

    // The loaded model; null for controller agents and when no model was found.
    std::shared_ptr<GrafexEngine> onnx_engine;

private:
    void load_onnx_model();
    // The decoded action of the model's output for one model observation.
    Value model_action(const Value& sensors_filtered);
    Value model_action(const NdArray& observation, const Value* action_mask);
};

// The kind of a space: its class's own name ("Discrete", "Box", ...), so a
// subclass with another name is another kind.
std::string _space_type_name(const tarvik_core::spaces::Space& action_space);

}  // namespace tarvik_inference

// Entry point through which the processor factory builds an Actuon.
extern "C" tarvik_inference::ProcessorPtr tarvik_actuon_new(const tarvik_core::AgentProcessorContext& context);
