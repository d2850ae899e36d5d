// BaseAgentProcessor: the per-agent pipeline every processor shares.
//
// A processor turns one step's raw sensor readings into an action for one
// agent node. The base sets up the agent's teacher or controller (local, or a
// proxy from the remote managers), its perceptors and its sensor spaces
// (init), converts and filters sensors into the model observation
// (process_sim_sensors), combines the teacher's and the simulator's action
// masks (compute_action_mask and three static helpers), and passes decoded
// actions through the teacher (process_action). Concrete processors (Actuon
// for one agent's model, Conductrix for an orchestrator) implement _execute.
//
// Keyword arguments are option structs with designated initializers:
//
//   co_await processor->_execute(obs, {.sim_action_mask = mask, .return_as_teacher_dict = true});
//   Value action = processor->execute(obs, {.explore = true});   // synchronous
//
// Overrides reach through the object: the pipeline calls process_sim_sensors,
// compute_action_mask and process_action virtually; the mask helpers are
// static and always the base's.
//
// Ownership: a processor owns its local teacher, controller and perceptor
// instances (remote ones are proxies owned by the remote managers) and shares
// the orchestration graph through its context.
//
// Concurrency: steps (_execute, execute) may be in flight together on one
// processor, interleaved on one event loop or on several threads at once.
// Each step keeps its own state with it; the little that steps share (the
// cached sensor plan, the previous_action field) is guarded by a lock held
// only briefly. Teachers, controllers and perceptors serve every step in
// flight: hosts that step from several threads need them thread-safe.
// init, reset and writes to the public fields must not overlap steps.
//
// Errors: construction without an action space raises the generic Error with
// the message quoted in the constructor; other failures of teachers, space
// utilities and remote managers propagate unchanged. execute() called inside a
// running event loop raises RuntimeError instead of deadlocking.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tarvik_core/async.hpp"
#include "tarvik_core/context.hpp"
#include "tarvik_core/implementations.hpp"
#include "tarvik_core/ndarray.hpp"
#include "tarvik_core/space_utils.hpp"
#include "tarvik_core/spaces.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_inference {

using tarvik_core::AgentProcessorContext;
using tarvik_core::Dict;
using tarvik_core::NdArray;
using tarvik_core::Task;
using tarvik_core::Value;
using tarvik_core::spaces::SpacePtr;

struct ConvertedSensors;
class BaseAgentProcessor;

// Keyword arguments of _execute.
struct ExecuteArgs {
    Value sim_action_mask;
    bool explore = false;
    bool is_coordinated = false;
    Value previous_action;
    bool return_as_teacher_dict = false;
    // Set only when a processor runs after an agent group (mapping agent name
    // -> action); the processors of this runtime ignore it.
    Value agent_group_action;
    // Set only by an orchestrator for the child it runs: the sensors it
    // converted from these readings in this step, which the child takes
    // instead of converting them again when they fit. Valid for this one
    // call only; it lives in the calling step.
    const ConvertedSensors* converted_sensors = nullptr;
};

// The sensors one step's raw readings converted to, with what they were
// converted from. Without perceptors the conversion depends on nothing else,
// so a processor run in the same step, with the same readings (the same
// storage: values are copy-on-write), the same simulator sensor space and
// the same sensor list, would convert them to the same result. It belongs to
// the step that made it, never to a processor: steps in flight together (on
// one event loop or on several threads) each hand on their own.
struct ConvertedSensors {
    Value readings;  // held, so that its storage is not reused for other readings
    SpacePtr sim_sensor_space;
    std::shared_ptr<const tarvik_core::SensorList> sensors;  // null: nothing recorded
    Value converted;

    // True when converting `raw` with `space` and `list` gives `converted`.
    bool converts(const Value& raw, const SpacePtr& space, const tarvik_core::SensorList& list) const;
};

// One step taken directly: synchronously, without coroutines and without
// the mappings that carry values between the stages of the general pipeline.
// A processor that needs nothing awaited (its own class exactly, no teacher,
// controller, perceptor or agent group) writes its observation into a
// buffer of the step's, runs its model on it, and hands the step to the
// child it chooses. Where a processor cannot take it, the walk stops and
// names that processor and its arguments: the caller finishes the step
// there through the general path, which sees the same conversion of the
// readings. Results and failures are those of the general path, stage for
// stage. Belongs to one step; never shared between steps.
struct DirectStep {
    DirectStep(Value readings, Value sim_action_mask);
    ~DirectStep();
    DirectStep(DirectStep&&) = default;
    DirectStep& operator=(DirectStep&&) = delete;

    Value readings;
    Value sim_action_mask;
    // The conversion of the readings by the last processor that ran.
    ConvertedSensors converted;
    // Where the observation of the running level is written; taken from a
    // per-thread pool, so steady steps do not allocate it.
    std::vector<float> observation;
    // Set when the walk stopped: the processor whose _execute finishes the
    // step, with its arguments (the caller points converted_sensors at
    // `converted`). Otherwise `action` holds the step's result.
    std::shared_ptr<BaseAgentProcessor> handoff;
    ExecuteArgs handoff_args;
    Value action;
};

// A step of `processor` taken directly as far as the processors allow: the
// action, or None with the rest of the step left in `stopped` for
// finish_direct_step. Only after processor.takes_direct_step() said yes.
Value start_direct_step(BaseAgentProcessor& processor, Value obs, ExecuteArgs args,
                        std::unique_ptr<DirectStep>& stopped);
// The rest of a stopped direct step, through the general path of the
// processor it stopped at, with the conversion made so far.
Task<Value> finish_direct_step(std::unique_ptr<DirectStep> stopped);

// Keyword arguments of the synchronous execute.
struct ExecuteOptions {
    Value sim_action_mask;
    bool explore = false;
    Value previous_action;
    bool return_as_teacher_dict = false;
};

// Keyword arguments of process_action.
struct ProcessActionArgs {
    Value sim_action_mask;
    bool unsquash_action = false;
};

// What step() returns.
struct StepResult {
    Value sensors_filtered;
    Value tarvik_obs;
    Value teacher_reward;
    Value teacher_success;
    Value teacher_terminated;
    Value truncated;
};

// The pair process_sim_sensors returns: the model observation (a mapping with
// "observation" and "action_mask") and the processed observation.
using SensorsResult = std::pair<Value, Value>;

class BaseAgentProcessor : public tarvik_core::Object,
                           public std::enable_shared_from_this<BaseAgentProcessor> {
public:
    explicit BaseAgentProcessor(AgentProcessorContext context);
    ~BaseAgentProcessor() override;

    // Teacher or controller, perceptors, agent groups, sensor spaces, filter.
    virtual Task<void> init();

    virtual Task<SensorsResult> process_sim_sensors(Value sensors, Value sim_action_mask = {},
                                                    Value previous_action = {});
    // The combined mask in model form (float64).
    virtual Task<Value> compute_action_mask(Value tarvik_obs, Value sim_action_mask, Value previous_action);

    // Pads (with allowed entries) or truncates a flat mask to target_size.
    static NdArray _align_mask_length(const NdArray& mask, std::int64_t target_size);
    // Any mask form to a new flat int8 vector (empty for none).
    static NdArray _format_action_mask_for_combine(const Value& mask);
    // Any mask form to float64 (none stays none; arrays keep their shape).
    static std::optional<NdArray> _format_action_mask_for_onnx(const Value& mask);
    // space_utils::combine_masks followed by _format_action_mask_for_onnx, in
    // one pass: a float64 vector with 1 where both int8 masks allow. Fails as
    // combine_masks does.
    static NdArray _combine_masks_for_onnx(const NdArray& a, const NdArray& b);

    virtual Task<Value> process_action(Value sim_sensors, Value tarvik_obs, Value action,
                                       ProcessActionArgs args = {});

    Task<StepResult> step(Value sim_sensors, Value sim_reward, Value _sim_terminated, Value _truncated,
                          Dict info, Value action);
    virtual Task<void> reset();
    bool is_done() const noexcept { return done; }

    // Runs _execute on a fresh event loop and returns its result.
    Value execute(Value obs, ExecuteOptions options = {});
    // One step: raw readings to action (or teacher dict). The base raises
    // NotImplementedError.
    virtual Task<Value> _execute(Value sim_sensors, ExecuteArgs args = {});

    std::string get_name() const;
    virtual std::string get_agent_name() const;
    SpacePtr get_agent_sensor_space() const { return observation_space; }
    SpacePtr get_brennor_sensor_space() const { return brennor_sensor_space; }
    std::shared_ptr<tarvik_core::Teacher> get_teacher() const { return teacher; }
    tarvik_core::GraphNodePtr get_agent() const { return context.agent; }
    virtual SpacePtr get_action_space() const;

    // The base class's process_sim_sensors (never an override) within one
    // step: `handed` is the conversion of the same readings that the parent
    // made in this step, taken when it fits; `record`, when given, receives
    // this step's conversion for the child the step runs next. Both belong to
    // the calling step. process_sim_sensors is this with neither.
    Task<SensorsResult> process_sim_sensors_in_step(Value sensors, Value sim_action_mask, Value previous_action,
                                                    const ConvertedSensors* handed, ConvertedSensors* record);

    // The rest of a step handed to this processor by a direct walk (or a
    // whole step the facade could not take directly): _execute in the base.
    virtual Task<Value> finish_step(Value sim_sensors, ExecuteArgs args);

    // Whether a step of this processor can be taken directly (see
    // DirectStep). The base: never.
    virtual bool takes_direct_step() const;
    // One level of a direct step with this level's arguments; only after
    // takes_direct_step() said yes. Either sets step.action or stops the
    // walk at a processor (possibly this one) and its arguments.
    virtual void direct_step(DirectStep& step, ExecuteArgs& args);

    // Fields, in the order the constructor sets them.
    AgentProcessorContext context;
    std::shared_ptr<tarvik_core::Teacher> teacher;
    std::shared_ptr<tarvik_core::Controller> controller;
    SpacePtr observation_space;
    SpacePtr brennor_sensor_space;
    tarvik_core::PerceptorList perceptors;
    tarvik_core::AgentGroupProcessors agent_group_agent_processors;
    std::shared_ptr<BaseAgentProcessor> post_agent_group_agent_processor;
    SpacePtr sim_sensor_space;
    SpacePtr action_space;
    SpacePtr action_mask_space;
    NdArray no_action_mask;
    SpacePtr filtered_brennor_sensor_space;
    std::vector<std::string> filter_keys;
    bool done = false;
    bool _is_initialized = false;
    // The last action a teacher returned from process_action; unset until then.
    std::optional<Value> previous_action;

protected:
    // What the shared pipeline needs for a direct level: an initialised
    // processor whose step awaits nothing and calls out to nothing.
    bool direct_ready() const;
    // The observation of a direct level, written into step.observation and
    // returned as a view of it (valid until the level's model has run), with
    // the level's mask from `compute_mask`, in the general path's order:
    // conversion, normalisation, mask, flattening, finiteness. Nothing when
    // the level's sensors do not fit the direct layout (the step then
    // continues through the general path); failures are the general path's.
    std::optional<NdArray> direct_observation(DirectStep& step, const std::function<Value()>& compute_mask,
                                              Value& mask);
    // compute_action_mask of the base without a teacher.
    Value mask_without_teacher(const Value& sim_action_mask);
    // Stops the walk of `step` at this processor with `args`.
    void stop_direct_step(DirectStep& step, ExecuteArgs& args);
    // The step of a processor whose only awaits are its teacher's calls (no
    // controller, perceptors or agent groups; the base's own
    // process_sim_sensors, compute_action_mask and process_action): the
    // general path's stages in one coroutine, `act` turning the model
    // observation into the raw action, which is then unsquashed and passed
    // through the teacher.
    Task<Value> taught_step(Value sim_sensors, ExecuteArgs args, std::function<Value(const Value&)> act);
    // Whether taught_step may stand in for this processor's step.
    bool taught_ready() const;

private:
    // Guards what steps in flight together share: sensor_plan_,
    // sensor_list_ and the previous_action field. Held briefly, never across
    // an await.
    std::mutex state_mutex_;
    // How this processor's sensors become its observation, worked out once
    // from the fields above and used while they stay as they were.
    struct SensorPlan;
    std::shared_ptr<const SensorPlan> sensor_plan_;
    std::shared_ptr<const SensorPlan> sensor_plan();
    // The orchestration's sensor list as it is now, shared while it stays
    // unchanged, so that recording a conversion allocates nothing.
    std::shared_ptr<const tarvik_core::SensorList> sensor_list_;
    std::shared_ptr<const tarvik_core::SensorList> sensor_list_snapshot(const tarvik_core::SensorList& current);
    // The converted sensors of `readings` without perceptors: the handed
    // conversion when it fits, else a fresh conversion; recorded in `record`.
    Value converted_sensors(const Value& readings, const ConvertedSensors* handed, ConvertedSensors* record);

    // The observation of one step, between the part before the action mask
    // (filtering, normalisation) and the part after it (flattening). Kept out
    // of the coroutines so that their frames stay small.
    struct ObservationStep {
        std::shared_ptr<const SensorPlan> plan;  // set on the direct path
        std::optional<NdArray> observation;      // direct path: normalised sensors written
        Value filtered;                          // general path: the filtered, normalised sample
        Value action_mask;
    };
    ObservationStep begin_observation(const Value& tarvik_sensors, const Value& transformed);
    // The pair process_sim_sensors returns; takes `transformed` and the mask.
    SensorsResult finish_observation(ObservationStep& step, Value& transformed);
    NdArray flatten_observation(ObservationStep& step, const Value& transformed);
    Value combined_mask(const Value& teacher_mask, const Value& sim_action_mask);
};

using ProcessorPtr = std::shared_ptr<BaseAgentProcessor>;

// The action-space message of the constructor's failure.
inline constexpr const char* kNoActionSpaceMessage =
    "Unable to make a DRL AgentProcessor without an action space. Please check to ensure the training "
    "order of the orchestration allows for this agent to be used at this point in time.";

}  // namespace tarvik_inference

namespace tarvik_inference {

// Entry points of the processor modules, bound lazily through
// tarvik_core::import_module:
//   tarvik_inference.actuon      "tarvik_actuon_new"       -> Actuon
//   tarvik_inference.conductrix  "tarvik_conductrix_new"   -> Conductrix
//   tarvik_inference.moldrix     "tarvik_moldrix_create_actuon"
using ProcessorConstructorFn = ProcessorPtr(const AgentProcessorContext& context);
using CreateActuonFn = Task<ProcessorPtr>(AgentProcessorContext context);

inline constexpr const char* kActuonModule = "tarvik_inference.actuon";
inline constexpr const char* kActuonConstructorSymbol = "tarvik_actuon_new";
inline constexpr const char* kConductrixModule = "tarvik_inference.conductrix";
inline constexpr const char* kConductrixConstructorSymbol = "tarvik_conductrix_new";
inline constexpr const char* kMoldrixModule = "tarvik_inference.moldrix";
inline constexpr const char* kCreateActuonSymbol = "tarvik_moldrix_create_actuon";

}  // namespace tarvik_inference
