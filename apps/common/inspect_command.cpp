// tarvik-inspect: command line and the two renderings of an inspection.
#include <exception>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "command_line.hpp"
#include "tarvik_apps/inspection.hpp"
#include "tarvik_apps/run_command.hpp"
#include "tarvik_core/logging.hpp"

namespace tarvik_apps {

namespace {

constexpr const char* kProgram = "tarvik-inspect";

std::string joined(const std::vector<TensorInfo>& tensors) {
    std::string out;
    for (const auto& tensor : tensors) out += (out.empty() ? "" : ", ") + tensor.name + " " + tensor.shape;
    return out.empty() ? "(none)" : out;
}

void format_agent(const AgentReport& agent, int depth, std::string& out) {
    const std::string indent(static_cast<std::size_t>(2 * depth), ' ');
    const std::string detail = indent + "    ";
    out += indent + agent.name + ": " + agent.kind;
    out += ", action space " + (agent.action_space.empty() ? std::string("none") : agent.action_space);
    if (!agent.implementation.empty())
        out += ", " + agent.implementation_kind + " " + agent.implementation + (agent.remote ? " (remote)" : "");
    out += '\n';
    if (agent.observation_size)
        out += detail + "observation: " + std::to_string(*agent.observation_size) + " values from " +
               agent.observation_source + '\n';
    if (agent.model) {
        out += detail + "model: " + agent.model->path + '\n';
        out += detail + "  inputs:  " + joined(agent.model->inputs) + '\n';
        out += detail + "  outputs: " + joined(agent.model->outputs) + '\n';
    } else {
        out += detail + "model: " + agent.model_note + '\n';
    }
    for (const auto& child : agent.children) format_agent(child, depth + 1, out);
}

nlohmann::ordered_json tensors_json(const std::vector<TensorInfo>& tensors) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (const auto& tensor : tensors) out.push_back({{"name", tensor.name}, {"shape", tensor.shape}});
    return out;
}

nlohmann::ordered_json agent_json(const AgentReport& agent) {
    nlohmann::ordered_json out;
    out["name"] = agent.name;
    out["kind"] = agent.kind;
    out["action_space"] = agent.action_space.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(agent.action_space);
    if (agent.implementation.empty()) {
        out["implementation"] = nullptr;
    } else {
        out["implementation"] = {
            {"kind", agent.implementation_kind}, {"name", agent.implementation}, {"remote", agent.remote}};
    }
    if (agent.observation_size) out["observation"] = {{"size", *agent.observation_size}, {"from", agent.observation_source}};
    else out["observation"] = nullptr;
    if (agent.model) {
        out["model"] = {{"path", agent.model->path},
                        {"inputs", tensors_json(agent.model->inputs)},
                        {"outputs", tensors_json(agent.model->outputs)}};
    } else {
        out["model"] = nullptr;
        out["model_note"] = agent.model_note;
    }
    nlohmann::ordered_json children = nlohmann::ordered_json::array();
    for (const auto& child : agent.children) children.push_back(agent_json(child));
    out["children"] = std::move(children);
    return out;
}

}  // namespace

std::string format_inspection(const InspectionReport& report) {
    std::string out = "Orchestration '" + report.orchestration_id + "' (" + report.orchestration_file + ")\n\n";
    format_agent(report.top, 0, out);
    if (!report.outside_tree.empty()) {
        out += "\nNot under the top agent, not checked:";
        for (const auto& name : report.outside_tree) out += " " + name;
        out += '\n';
    }
    out += '\n';
    if (report.problems.empty()) return out + "No problems found.\n";
    const auto errors = report.count(Severity::error);
    const auto warnings = report.count(Severity::warning);
    out += std::to_string(errors) + (errors == 1 ? " error, " : " errors, ") + std::to_string(warnings) +
           (warnings == 1 ? " warning:\n" : " warnings:\n");
    for (const auto& problem : report.problems)
        out += std::string("  ") + severity_name(problem.severity) + ": agent " + problem.agent + ", file " +
               problem.file + ": " + problem.message + '\n';
    return out;
}

nlohmann::ordered_json inspection_json(const InspectionReport& report) {
    nlohmann::ordered_json out;
    out["orchestration"] = {{"id", report.orchestration_id}, {"file", report.orchestration_file}};
    out["top_agent"] = agent_json(report.top);
    out["outside_tree"] = report.outside_tree;
    nlohmann::ordered_json problems = nlohmann::ordered_json::array();
    for (const auto& problem : report.problems)
        problems.push_back({{"severity", severity_name(problem.severity)},
                            {"agent", problem.agent},
                            {"file", problem.file},
                            {"message", problem.message}});
    out["problems"] = std::move(problems);
    out["errors"] = report.count(Severity::error);
    out["warnings"] = report.count(Severity::warning);
    return out;
}

int inspect_command(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    CLI::App app("Checks an orchestration before deployment: prints its agent tree with each agent's kind, action "
                 "space, teacher or controller and model, and reports every problem that would make a step fail. "
                 "Never packages the orchestration and never writes a file.",
                 kProgram);
    command_line::set_up(app, kProgram);
    std::string path;
    bool json = false;
    std::string log_level = "off";
    app.add_option("orchestration", path, "Orchestration file to inspect")->required()->check(command_line::not_empty());
    app.add_flag("--json", json, "Print one JSON object (the tree and the problems) and nothing else on stdout");
    app.add_option("--log-level", log_level, "Level of the runtime's own log lines on stderr")
        ->capture_default_str()
        ->check(CLI::IsMember({"debug", "info", "warning", "error", "off"}));
    app.footer(
        "Every problem line names the agent and the file. Errors are problems that make a step\n"
        "fail (a missing model, a model whose outputs or inputs do not fit the agent); warnings\n"
        "are worth knowing but do not stop a step (a model without an action-mask input, which the\n"
        "runtime adds when it loads the model, rewriting the file).\n"
        "Exit status: 0 no errors (warnings allowed), 1 errors found or the orchestration cannot be\n"
        "loaded, 2 bad command line.");
    if (const auto status = command_line::parse(app, argc, argv, out, err)) return *status;

    try {
        tarvik_core::set_default_log_level(tarvik_core::log_level_from_name(log_level));
        command_line::require_regular_file(path, "orchestration file");
        const InspectionReport report = inspect_orchestration(path);
        command_line::write_output(out, json ? inspection_json(report).dump(2) + "\n" : format_inspection(report));
        return report.has_errors() ? kExitFailure : kExitSuccess;
    } catch (const std::exception& e) {
        err << kProgram << ": error: " << e.what() << '\n' << std::flush;
        return kExitFailure;
    }
}

}  // namespace tarvik_apps
