// tarvik-inspect: checks a deployment before it goes live.
//
// inspect_orchestration() loads an orchestration, initialises it (which loads
// its plugins) and walks the agent tree from the top agent. It never packages:
// packaging prepares the models and may rewrite the files, and an inspection
// must leave every file as it found it. Instead, for every agent it reports
// what the runtime would do and checks whether a step could succeed:
//
// - kind (skill, controller, orchestrator, controller orchestrator,
//   coordinated set, coordinated population), action space (an
//   orchestrator's is Discrete over its children), teacher or controller;
// - the model file the runtime would load, found the way the runtime looks
//   (skills: <checkpoint>/<name>.onnx, <checkpoint>/<name>/<name>.onnx,
//   <checkpoint>/checkpoint/<name>.onnx; orchestrators only the first two;
//   controllers load none), opened in a model session to list its inputs and
//   outputs with their declared shapes;
// - the observation length: the sensors the agent's teacher or controller
//   keeps (filtered_sensor_space(), asked of a fresh local instance), or all
//   sensors when it names none or runs remotely.
//
// Problems, each naming the agent and the file:
//   error   no model for an agent that needs one (its first step fails);
//   error   a model that cannot be loaded, or that fails on a zero
//           observation;
//   error   an action-distribution length (last dimension of
//           "action_dist_inputs", else of the last output) other than the
//           action space's action_dist_size();
//   error   an observation input whose declared shape does not take the
//           agent's observation (a warning when a remote implementation
//           decides the sensors, since the check assumes all of them);
//   error   an action-mask input that cannot take the agent's mask;
//   error   an agent the runtime cannot build (coordinated groups, no action
//           space, an implementation that cannot be made, unknown sensors);
//   warning no input whose name contains "action_mask" (the runtime adds one
//           when it loads the model, rewriting the file);
//   warning a filtered_sensor_space() that fails (the runtime then uses all
//           sensors).
//
// An agent that appears under several orchestrators is checked once.
//
// Errors: failures to load or initialise the orchestration propagate
// unchanged (they already name the file); everything found in the tree is a
// Problem, not an exception.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "tarvik_core/orchestration.hpp"

namespace tarvik_inference {
class GrafexEngine;
}

namespace tarvik_apps {

enum class Severity { warning, error };
const char* severity_name(Severity severity) noexcept;  // "warning", "error"

struct Problem {
    Severity severity = Severity::error;
    std::string agent;
    std::string file;
    std::string message;
};

// One declared input or output of a model.
struct TensorInfo {
    std::string name;
    std::string shape;  // as declared: "[1, 4]", "['batch', 4]"
};

struct ModelReport {
    std::string path;
    std::vector<TensorInfo> inputs;
    std::vector<TensorInfo> outputs;
};

struct AgentReport {
    std::string name;
    std::string kind;
    std::string action_space;         // repr; empty when the agent has none
    std::string implementation_kind;  // "teacher", "controller" or empty
    std::string implementation;
    bool remote = false;
    std::optional<ModelReport> model;
    std::string model_note;  // why there is no model
    std::optional<std::int64_t> observation_size;
    std::string observation_source;  // "all sensors", "the sensors cart_teacher keeps: x, theta"
    std::vector<AgentReport> children;
};

struct InspectionReport {
    std::string orchestration_id;
    std::string orchestration_file;
    AgentReport top;
    std::vector<std::string> outside_tree;  // agents the top agent never reaches
    std::vector<Problem> problems;

    std::size_t count(Severity severity) const noexcept;
    bool has_errors() const noexcept { return count(Severity::error) > 0; }
};

// Loads, initialises and inspects the orchestration file at `path`.
InspectionReport inspect_orchestration(const std::string& path);
// Inspects a loaded orchestration, initialising it first when needed.
InspectionReport inspect_orchestration(const tarvik_core::OrchestrationPtr& orchestration);

// Where the runtime looks for an agent's model, in order: empty for agents
// that load none (controllers, controller orchestrators, coordinated groups)
// and for agents without a checkpoint folder.
std::vector<std::filesystem::path> model_candidates(const tarvik_core::GraphNode& agent);

// The finding reported when a loaded model's action distribution does not
// fit the agent's action space: the output holding it ("action_dist_inputs",
// else the last output) declares a last dimension other than the space's
// action_dist_size(). Nothing when they agree, when that length is free (only
// running the model shows it) or when the model has no outputs. tarvik-run
// refuses such a model at package time with the same text.
std::optional<std::string> action_dist_finding(const tarvik_inference::GrafexEngine& engine,
                                               const tarvik_core::spaces::Space& action_space);

// The agent tree, then the problems, as text ending in a newline.
std::string format_inspection(const InspectionReport& report);
nlohmann::ordered_json inspection_json(const InspectionReport& report);

// The program: tarvik-inspect ORCHESTRATION [--json] [--log-level LEVEL].
// Exit status 1 when any error-level problem exists or the orchestration
// cannot be loaded, 2 for a bad command line, 0 otherwise.
int inspect_command(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace tarvik_apps
