// The inspection walk and its checks.
#include "tarvik_apps/inspection.hpp"

#include <algorithm>
#include <cctype>
#include <exception>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/implementations.hpp"
#include "tarvik_core/space_utils.hpp"
#include "tarvik_inference/grafex.hpp"

namespace tarvik_apps {

namespace fs = std::filesystem;
using tarvik_core::Agent;
using tarvik_core::GraphNode;
using tarvik_core::GraphNodePtr;
using tarvik_core::Value;
using tarvik_inference::DeclaredShape;
using tarvik_inference::GrafexEngine;

namespace {

enum class NodeKind { skill, controller, orchestrator, controller_orchestrator, coordinated_set, coordinated_population };

NodeKind kind_of(const Agent& agent) {
    if (dynamic_cast<const tarvik_core::AgentOrchestrator*>(&agent))
        return agent.is_controller() ? NodeKind::controller_orchestrator : NodeKind::orchestrator;
    if (dynamic_cast<const tarvik_core::AgentCoordinatedSet*>(&agent)) return NodeKind::coordinated_set;
    if (dynamic_cast<const tarvik_core::AgentCoordinatedPopulation*>(&agent)) return NodeKind::coordinated_population;
    return agent.is_controller() ? NodeKind::controller : NodeKind::skill;
}

const char* kind_name(NodeKind kind) {
    switch (kind) {
        case NodeKind::skill: return "skill";
        case NodeKind::controller: return "controller";
        case NodeKind::orchestrator: return "orchestrator";
        case NodeKind::controller_orchestrator: return "controller orchestrator";
        case NodeKind::coordinated_set: return "coordinated set";
        case NodeKind::coordinated_population: return "coordinated population";
    }
    return "agent";
}

bool is_orchestrator(NodeKind kind) {
    return kind == NodeKind::orchestrator || kind == NodeKind::controller_orchestrator;
}
bool is_group(NodeKind kind) {
    return kind == NodeKind::coordinated_set || kind == NodeKind::coordinated_population;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string joined(const std::vector<std::string>& items, const char* separator = ", ") {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : separator) + item;
    return out;
}

std::string quoted_paths(const std::vector<fs::path>& paths) {
    std::vector<std::string> texts;
    for (const auto& path : paths) texts.push_back(path.string());
    return joined(texts);
}

// The message the runtime raises at the first step of an agent without a model.
std::string missing_model_failure(const Agent& agent, NodeKind kind) {
    return std::string("its first step fails with \"ONNX model not loaded for ") +
           (is_orchestrator(kind) ? "orchestrator agent " : "agent ") + agent.get_name() + "\"";
}

// The sensor names a filtered_sensor_space() result lists, read the way the
// processors read them; nullopt for "no choice" (None or empty).
std::optional<std::vector<std::string>> sensor_names(const Value& keys) {
    if (!keys.truthy()) return std::nullopt;
    std::vector<std::string> names;
    if (keys.is_list()) {
        for (const auto& key : keys.as_list()) names.push_back(tarvik_core::str(key));
    } else if (keys.is_tuple()) {
        for (const auto& key : keys.as_tuple()) names.push_back(tarvik_core::str(key));
    } else if (keys.is_dict()) {
        names = keys.as_dict().keys();
    } else {
        throw tarvik_core::TypeError("filtered_sensor_space() must return a sequence of sensor names, got " +
                                     keys.type_name());
    }
    return names;
}

struct Observation {
    std::optional<std::int64_t> size;
    std::string source;
    // False when the sensors were assumed rather than asked for (remote
    // implementations), so a mismatch is only a warning.
    bool exact = true;
};

// The indexes of the inputs whose lower-cased name contains `part`.
std::vector<std::size_t> inputs_named(const GrafexEngine& engine, const std::string& part) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < engine.input_names().size(); ++i)
        if (lower(engine.input_names()[i]).find(part) != std::string::npos) out.push_back(i);
    return out;
}

std::optional<std::int64_t> fixed_size(const DeclaredShape& shape) {
    std::int64_t product = 1;
    for (const auto& dim : shape) {
        if (!dim.is_fixed()) return std::nullopt;
        product *= *dim.size;
    }
    return product;
}

// The output that holds the action distribution: "action_dist_inputs", else
// the last one. The engine must have outputs.
std::size_t action_dist_output(const GrafexEngine& engine) {
    const auto& names = engine.output_names();
    const auto named = std::find(names.begin(), names.end(), "action_dist_inputs");
    return named != names.end() ? static_cast<std::size_t>(named - names.begin()) : names.size() - 1;
}

std::optional<std::int64_t> declared_last_dim(const DeclaredShape& shape) {
    if (shape.empty() || !shape.back().is_fixed()) return std::nullopt;
    return *shape.back().size;
}

std::string dist_mismatch(const std::string& output, std::int64_t length, const tarvik_core::spaces::Space& action_space,
                          std::int64_t expected) {
    return "action distribution length " + std::to_string(length) + " (output '" + output +
           "') does not match the action space " + action_space.repr() + ", which needs " + std::to_string(expected);
}

class Inspector {
public:
    explicit Inspector(tarvik_core::OrchestrationPtr orchestration) : orchestration_(std::move(orchestration)) {}

    InspectionReport run() {
        InspectionReport report;
        report.orchestration_id = orchestration_->id();
        report.orchestration_file = orchestration_->source();
        const GraphNodePtr top = orchestration_->get_top_agent();
        report.top = visit(*top);
        for (const auto& node : orchestration_->nodes())
            if (dynamic_cast<const Agent*>(node.get()) && !reports_.count(node->get_name()))
                report.outside_tree.push_back(node->get_name());
        report.problems = std::move(problems_);
        return report;
    }

private:
    void problem(Severity severity, const std::string& agent, const std::string& file, std::string message) {
        problems_.push_back(Problem{.severity = severity, .agent = agent, .file = file, .message = std::move(message)});
    }
    void error(const std::string& agent, const std::string& file, std::string message) {
        problem(Severity::error, agent, file, std::move(message));
    }
    const std::string& orchestration_file() const { return orchestration_->source(); }

    AgentReport visit(const GraphNode& node) {
        // An agent under several orchestrators is reported, and checked, once.
        if (auto it = reports_.find(node.get_name()); it != reports_.end()) return it->second;
        AgentReport report = inspect_agent(node);
        reports_.emplace(report.name, report);
        return report;
    }

    AgentReport inspect_agent(const GraphNode& node) {
        AgentReport report;
        report.name = node.get_name();
        const auto* agent = dynamic_cast<const Agent*>(&node);
        if (!agent) {
            report.kind = node.class_name();
            error(report.name, orchestration_file(), "'" + report.name + "' is a " + report.kind +
                                                         ", not an agent; the runtime cannot build a processor for it");
            return report;
        }
        const NodeKind kind = kind_of(*agent);
        report.kind = kind_name(kind);
        report.remote = agent->is_remote();
        if (agent->definition().impl) {
            report.implementation_kind = agent->is_controller() ? "controller" : "teacher";
            report.implementation = *agent->definition().impl;
        }
        const auto action_space = agent->get_action_space();
        if (action_space) report.action_space = action_space->repr();

        if (is_group(kind)) {
            report.model_note = "none: a coordinated group has no model of its own";
            error(report.name, orchestration_file(),
                  std::string("the runtime cannot run a ") + report.kind + ": packaging fails with \"ONNX inference for " +
                      agent->class_name() + " is not yet implemented. Agent: " + report.name + "\"");
        } else if (!action_space) {
            report.model_note = "none: the agent cannot be built";
            error(report.name, orchestration_file(),
                  "the agent has no action space, so its processor cannot be built (packaging fails)");
        } else {
            const Observation observation = observe(*agent, report);
            report.observation_size = observation.size;
            report.observation_source = observation.source;
            inspect_model(*agent, kind, *action_space, observation, report);
        }

        for (const auto& child : agent->get_children()) report.children.push_back(visit(*orchestration_->get_node_by_name(child)));
        return report;
    }

    // The observation length: the flattened size of the sensors the agent keeps.
    Observation observe(const Agent& agent, const AgentReport& report) {
        Observation observation;
        std::optional<std::vector<std::string>> kept;
        if (!report.implementation.empty() && report.remote) {
            observation.exact = false;
            observation.source = "all sensors (assumed: the remote " + report.implementation_kind + " " +
                                 report.implementation + " chooses when it runs)";
        } else if (!report.implementation.empty()) {
            const std::string who = report.implementation_kind + " '" + report.implementation + "'";
            std::shared_ptr<tarvik_core::AgentImplementation> implementation;
            try {
                implementation = std::dynamic_pointer_cast<tarvik_core::AgentImplementation>(agent.get_impl_cls_instance());
            } catch (const std::exception& e) {
                error(report.name, orchestration_file(),
                      "cannot create its " + who + ": " + e.what() + " (packaging fails the same way)");
                return observation;
            }
            if (implementation) {
                Value keys;
                try {
                    keys = tarvik_core::run_sync(implementation->filtered_sensor_space());
                } catch (const std::exception& e) {
                    problem(Severity::warning, report.name, orchestration_file(),
                            "filtered_sensor_space() of " + who + " fails (" + e.what() +
                                "); the runtime falls back to all sensors");
                }
                try {
                    kept = sensor_names(keys);
                } catch (const std::exception& e) {
                    error(report.name, orchestration_file(), who + ": " + e.what() + " (packaging fails)");
                    return observation;
                }
            }
            if (kept) observation.source = "the sensors " + who + " keeps: " + joined(*kept);
        }
        std::vector<std::string> names;
        if (kept) names = *kept;
        else for (const auto& sensor : orchestration_->sensors) names.push_back(sensor->name);
        if (observation.source.empty()) observation.source = "all sensors";

        try {
            auto full = tarvik_core::run_sync(tarvik_core::space_utils::get_tarvik_space_info(
                agent.get_sim_sensor_space(), orchestration_->sensors, {}, {}));
            observation.size = tarvik_core::space_utils::filter_space(full, names)->flat_dim();
        } catch (const std::exception& e) {
            error(report.name, orchestration_file(), "its sensors cannot be gathered: " + std::string(e.what()) +
                                                         " (packaging fails)");
        }
        return observation;
    }

    void inspect_model(const Agent& agent, NodeKind kind, const tarvik_core::spaces::Space& action_space,
                       const Observation& observation, AgentReport& report) {
        if (kind == NodeKind::controller || kind == NodeKind::controller_orchestrator) {
            report.model_note = "none: decided by " +
                                (report.implementation.empty() ? std::string("its controller")
                                                               : "controller " + report.implementation);
            return;
        }
        const std::vector<fs::path> candidates = model_candidates(agent);
        if (candidates.empty()) {
            report.model_note = "none: no checkpoint folder is given";
            error(report.name, orchestration_file(),
                  "no checkpoint folder is given, so no model is loaded; " + missing_model_failure(agent, kind));
            return;
        }
        const auto found = std::find_if(candidates.begin(), candidates.end(), [](const fs::path& path) {
            std::error_code ec;
            return fs::exists(path, ec);
        });
        if (found == candidates.end()) {
            report.model_note = "none found (looked for " + quoted_paths(candidates) + ")";
            error(report.name, candidates.front().string(),
                  "no model file (looked for " + quoted_paths(candidates) + "); " + missing_model_failure(agent, kind));
            return;
        }
        const std::string path = found->string();
        std::unique_ptr<GrafexEngine> engine;
        try {
            engine = std::make_unique<GrafexEngine>(path);
        } catch (const std::exception& e) {
            report.model_note = "cannot be loaded";
            error(report.name, path, "the model cannot be loaded: " + std::string(e.what()));
            return;
        }
        ModelReport model;
        model.path = path;
        for (std::size_t i = 0; i < engine->input_names().size(); ++i)
            model.inputs.push_back(TensorInfo{.name = engine->input_names()[i],
                                              .shape = tarvik_inference::declared_shape_repr(engine->input_shapes()[i])});
        for (std::size_t i = 0; i < engine->output_names().size(); ++i)
            model.outputs.push_back(TensorInfo{.name = engine->output_names()[i],
                                               .shape = tarvik_inference::declared_shape_repr(engine->output_shapes()[i])});
        report.model = std::move(model);
        check_model(*engine, report, action_space, observation);
    }

    void check_model(GrafexEngine& engine, const AgentReport& report, const tarvik_core::spaces::Space& action_space,
                     const Observation& observation) {
        const std::string& agent = report.name;
        const std::string& path = engine.model_path;
        const std::int64_t dist_size = action_space.action_dist_size();
        bool runnable = true;

        // Which output holds the action distribution, and its declared length.
        std::optional<std::size_t> dist_output;
        std::optional<std::int64_t> declared_dist;
        if (engine.output_names().empty()) {
            error(agent, path, "the model has no outputs, so it gives no action distribution");
            runnable = false;
        } else {
            dist_output = action_dist_output(engine);
            declared_dist = declared_last_dim(engine.output_shapes()[*dist_output]);
            if (auto finding = action_dist_finding(engine, action_space)) error(agent, path, *finding);
        }

        // The action mask the runtime feeds at every step.
        const auto mask_inputs = inputs_named(engine, "action_mask");
        if (mask_inputs.empty()) {
            problem(Severity::warning, agent, path,
                    "no input whose name contains \"action_mask\": the runtime adds one when it loads the model, "
                    "rewriting " + path);
        } else {
            const auto& name = engine.input_names()[mask_inputs.front()];
            const DeclaredShape& shape = engine.input_shapes()[mask_inputs.front()];
            const auto size = fixed_size(shape);
            if (!size) {
                error(agent, path, "action mask input '" + name + "' is declared " +
                                       tarvik_inference::declared_shape_repr(shape) +
                                       " with a free dimension, so the runtime cannot shape the agent's mask to it");
                runnable = false;
            } else if (*size != dist_size) {
                error(agent, path, "action mask input '" + name + "' is declared " +
                                       tarvik_inference::declared_shape_repr(shape) + " (" + std::to_string(*size) +
                                       " values), but the mask of " + action_space.repr() + " has " +
                                       std::to_string(dist_size));
                runnable = false;
            }
        }

        // The observation: the engine checks it against the first input's
        // declared shape and feeds it to the first input named like
        // "observation" (the first input when none is).
        if (engine.input_names().empty()) {
            error(agent, path, "the model has no inputs, so it cannot take an observation");
            runnable = false;
        } else if (observation.size) {
            const auto named = inputs_named(engine, "observation");
            std::vector<std::size_t> fed = {0};
            if (!named.empty() && named.front() != 0) fed.push_back(named.front());
            const tarvik_core::Shape given{1, *observation.size};
            for (const std::size_t input : fed) {
                const DeclaredShape& declared = engine.input_shapes()[input];
                if (tarvik_inference::shape_matches(given, declared)) continue;
                problem(observation.exact ? Severity::error : Severity::warning, agent, path,
                        "observation input '" + engine.input_names()[input] + "' is declared " +
                            tarvik_inference::declared_shape_repr(declared) + ", but the agent's observation is " +
                            tarvik_core::shape_repr(given) + " (" + observation.source + ")");
                runnable = false;
            }
        } else {
            runnable = false;  // the observation itself is already reported
        }

        if (!runnable) return;
        // A trial step on a zero observation with an all-allowing mask: it
        // catches what declared shapes cannot show, and gives the real
        // distribution length when the declared one is free.
        try {
            const auto obs = tarvik_core::NdArray::zeros(tarvik_core::DType::Float32, tarvik_core::Shape{*observation.size});
            std::optional<tarvik_core::NdArray> mask;
            if (!mask_inputs.empty()) mask = tarvik_core::NdArray::ones(tarvik_core::DType::Float64, tarvik_core::Shape{dist_size});
            const auto outputs = engine.infer(obs, mask);
            if (!declared_dist && dist_output && *dist_output < outputs.size()) {
                const auto& produced = outputs.entries()[*dist_output];
                const auto& shape = produced.second.as_array().shape();
                const std::int64_t length = shape.empty() ? 1 : shape[shape.size() - 1];
                if (length != dist_size) error(agent, path, dist_mismatch(produced.first, length, action_space, dist_size));
            }
        } catch (const std::exception& e) {
            error(agent, path, "the model fails on a zero observation: " + std::string(e.what()));
        }
    }

    tarvik_core::OrchestrationPtr orchestration_;
    std::map<std::string, AgentReport> reports_;
    std::vector<Problem> problems_;
};

}  // namespace

std::optional<std::string> action_dist_finding(const GrafexEngine& engine,
                                               const tarvik_core::spaces::Space& action_space) {
    if (engine.output_names().empty()) return std::nullopt;
    const std::size_t output = action_dist_output(engine);
    const auto declared = declared_last_dim(engine.output_shapes()[output]);
    const std::int64_t needed = action_space.action_dist_size();
    if (!declared || *declared == needed) return std::nullopt;
    return dist_mismatch(engine.output_names()[output], *declared, action_space, needed);
}

const char* severity_name(Severity severity) noexcept {
    return severity == Severity::error ? "error" : "warning";
}

std::size_t InspectionReport::count(Severity severity) const noexcept {
    return static_cast<std::size_t>(
        std::count_if(problems.begin(), problems.end(), [&](const Problem& p) { return p.severity == severity; }));
}

std::vector<fs::path> model_candidates(const GraphNode& node) {
    const auto* agent = dynamic_cast<const Agent*>(&node);
    if (!agent) return {};
    const NodeKind kind = kind_of(*agent);
    if (kind != NodeKind::skill && kind != NodeKind::orchestrator) return {};
    const auto checkpoint = agent->get_checkpoint_uri();
    if (!checkpoint) return {};
    const fs::path root(*checkpoint);
    const std::string file = agent->get_name() + ".onnx";
    std::vector<fs::path> out = {root / file, root / agent->get_name() / file};
    if (kind == NodeKind::skill) out.push_back(root / "checkpoint" / file);
    return out;
}

InspectionReport inspect_orchestration(const tarvik_core::OrchestrationPtr& orchestration) {
    if (!orchestration) throw tarvik_core::TypeError("inspect_orchestration() needs an orchestration, got None");
    if (!orchestration->is_initialized()) tarvik_core::run_sync(orchestration->init());
    return Inspector(orchestration).run();
}

InspectionReport inspect_orchestration(const std::string& path) {
    return inspect_orchestration(tarvik_core::Orchestration::load(path));
}

}  // namespace tarvik_apps
