// tarvik-run: command line, console output, JSON report.
#include "tarvik_apps/run_command.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <filesystem>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "command_line.hpp"
#include "tarvik_apps/progress_bar.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/logging.hpp"

namespace tarvik_apps {

namespace {

constexpr const char* kProgram = "tarvik-run";

// An installed program finds the examples installed beside it (relative to
// its own location, so a moved prefix still works); a program run from the
// build tree falls back to the source tree's folder.
std::string examples_dir() {
    if (const char* dir = std::getenv("TARVIK_EXAMPLES_DIR"); dir && *dir) return dir;
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const auto installed = program.parent_path() / TARVIK_INSTALLED_EXAMPLES_FROM_BIN;
        if (std::filesystem::is_directory(installed, error)) return installed.lexically_normal().string();
    }
    return TARVIK_BUNDLED_EXAMPLES_DIR;
}

std::string end_text(EpisodeEnd end) {
    switch (end) {
        case EpisodeEnd::terminated: return "terminated";
        case EpisodeEnd::truncated: return "truncated";
        case EpisodeEnd::step_limit: return "stopped at --max-steps";
    }
    return "unknown";
}

std::string acted_text(const std::vector<AgentActCount>& acted, std::int64_t total_steps, bool with_shares) {
    std::string out;
    for (const auto& entry : acted) {
        if (!out.empty()) out += with_shares ? "  " : ", ";
        out += fmt::format("{} {}", entry.agent, entry.steps);
        if (with_shares && total_steps > 0)
            out += fmt::format(" ({:.1f}%)", 100.0 * static_cast<double>(entry.steps) / static_cast<double>(total_steps));
    }
    return out;
}

nlohmann::ordered_json acted_json(const std::vector<AgentActCount>& acted) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (const auto& entry : acted) out[entry.agent] = entry.steps;
    return out;
}

// What the console shows while episodes run: the heading, episode lines and
// the progress bar.
class ConsoleObserver : public RunObserver {
public:
    ConsoleObserver(std::ostream& out, ProgressBar& bar, bool print_episodes)
        : out_(out), bar_(bar), print_episodes_(print_episodes) {}

    void started(const RunReport& plan) override {
        episodes_ = plan.episodes_planned;
        max_steps_ = plan.max_steps;
        if (!print_episodes_) return;
        const std::string seeds =
            episodes_ == 1 ? fmt::format("seed {}", plan.seed)
                           : fmt::format("seeds {}-{}", plan.seed, plan.seed + static_cast<std::uint64_t>(episodes_ - 1));
        command_line::write_output(
            out_, fmt::format("Running '{}' ({}) in the {} simulator: {} episode{}, {}, at most {} steps each\n",
                              plan.orchestration_id, plan.orchestration_path, plan.simulator, episodes_,
                              episodes_ == 1 ? "" : "s", seeds, max_steps_));
    }

    void stepped(std::int64_t episode, std::int64_t step) override {
        const double fraction = (static_cast<double>(episode) + static_cast<double>(step) / static_cast<double>(max_steps_)) /
                                static_cast<double>(episodes_);
        bar_.update(fraction, fmt::format("episode {}/{}, step {}", episode + 1, episodes_, step));
    }

    void episode_finished(const EpisodeResult& result) override {
        if (!print_episodes_) return;
        bar_.clear();
        command_line::write_output(out_, format_episode_line(result) + '\n');
    }

private:
    std::ostream& out_;
    ProgressBar& bar_;
    bool print_episodes_;
    std::int64_t episodes_ = 1;
    std::int64_t max_steps_ = 1;
};

// The longest reply time limit: a day is more than any simulator step needs,
// and far below what the clock arithmetic holds.
constexpr double kMaxReplySeconds = 86400.0;

struct CommandLine {
    RunSettings settings;
    double reply_seconds = std::chrono::duration<double>(RunSettings{}.simulator_reply_limit).count();
    bool json = false;
    bool quiet = false;
    std::string log_level = "warning";
};

void describe_options(CLI::App& app, CommandLine& line) {
    app.add_option("orchestration", line.settings.orchestration_path,
                   "Orchestration file to run (default: the bundled cart-pole example)")
        ->check(command_line::not_empty());
    app.add_option("--sim", line.settings.simulator,
                   "Simulator to drive: a built-in one (" + available_simulators() +
                       "), plugin:NAME (a simulator a plugin registered), or exec:COMMAND (a program speaking "
                       "the line protocol); default: the one the orchestration's id names")
        ->check(command_line::not_empty());
    app.add_option("--sim-plugin", line.settings.simulator_plugins,
                   "Plugin library to look in for plugin:NAME simulators, before the orchestration's plugins "
                   "(may be repeated)")
        ->check(command_line::not_empty());
    app.add_option("--sim-timeout", line.reply_seconds,
                   "Seconds an exec: simulator may take to answer one request")
        ->capture_default_str()
        ->check(command_line::seconds(kMaxReplySeconds));
    app.add_option("--episodes", line.settings.episodes, "Number of episodes")
        ->capture_default_str()
        ->transform(command_line::whole_number(1));
    app.add_option("--max-steps", line.settings.max_steps,
                   "Steps per episode at most (default: the simulator's episode limit)")
        ->transform(command_line::whole_number(1));
    app.add_option("--seed", line.settings.seed, "Seed of the first episode; episode i uses seed + i")
        ->capture_default_str()
        ->transform(command_line::unsigned_number());
    app.add_flag("--json", line.json, "Print one JSON object (episodes and summary) and nothing else on stdout");
    app.add_flag("--quiet", line.quiet, "Print only the summary; no progress bar");
    app.add_option("--log-level", line.log_level, "Level of the runtime's log lines on stderr")
        ->capture_default_str()
        ->check(CLI::IsMember({"debug", "info", "warning", "error", "off"}));
    app.footer(
        "Each episode line shows the return, the length and how often each agent acted. The\n"
        "counts include every level of the agent tree: an orchestrator counts each step it\n"
        "handed to a child, and the chosen child counts the same step again, so the top agent's\n"
        "count equals the number of steps.\n"
        "\n"
        "The summary adds steps per second (over the whole episode loop) and the latency of one\n"
        "execute() call (p50, p99, max, in microseconds).\n"
        "\n"
        "A simulator program (exec:COMMAND) runs under /bin/sh -c and answers one JSON line per\n"
        "request on its stdout: see docs/command-line.md for the protocol.\n"
        "\n"
        "The bundled examples are looked up in $TARVIK_EXAMPLES_DIR when it is set, else beside\n"
        "the program (<prefix>/share/tarvik/examples).\n"
        "Exit status: 0 success, 1 any failure (message on stderr), 2 bad command line.");
}

}  // namespace

std::string default_orchestration_path() {
    return (std::filesystem::path(examples_dir()) / "cartpole" / "orchestration.json").string();
}

std::string format_episode_line(const EpisodeResult& episode) {
    return fmt::format("episode {}  seed {}  return {:.2f}  length {} ({})  acted: {}", episode.index + 1, episode.seed,
                       episode.episode_return, episode.length, end_text(episode.end),
                       acted_text(episode.acted, episode.length, false));
}

std::string format_summary(const RunSummary& summary) {
    std::string out = fmt::format("Summary of {} episode{}\n", summary.episodes, summary.episodes == 1 ? "" : "s");
    out += fmt::format("  return      mean {:.2f}  min {:.2f}  max {:.2f}\n", summary.returns.mean, summary.returns.min,
                       summary.returns.max);
    out += fmt::format("  length      mean {:.1f} steps\n", summary.mean_length);
    out += fmt::format("  steps       {} in {:.3f} s, {:.0f} steps/s\n", summary.total_steps, summary.wall_seconds,
                       summary.steps_per_second);
    out += fmt::format("  execute     p50 {:.1f} us  p99 {:.1f} us  max {:.1f} us\n", summary.execute_micros.p50,
                       summary.execute_micros.p99, summary.execute_micros.max);
    out += fmt::format("  acted       {}\n", acted_text(summary.acted, summary.total_steps, true));
    out += "              (every level of the agent tree counts; shares of all steps)\n";
    return out;
}

nlohmann::ordered_json report_json(const RunReport& report, const std::optional<std::string>& error) {
    auto text_or_null = [](const std::string& text) {
        return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
    };
    nlohmann::ordered_json json;
    json["orchestration"] = {{"id", text_or_null(report.orchestration_id)}, {"file", report.orchestration_path}};
    json["simulator"] = text_or_null(report.simulator);
    json["settings"] = {{"episodes", report.episodes_planned},
                        {"max_steps", report.max_steps > 0 ? nlohmann::ordered_json(report.max_steps)
                                                           : nlohmann::ordered_json()},
                        {"seed", report.seed}};
    nlohmann::ordered_json episodes = nlohmann::ordered_json::array();
    for (const auto& episode : report.episodes) {
        nlohmann::ordered_json entry;
        entry["episode"] = episode.index + 1;
        entry["seed"] = episode.seed;
        entry["return"] = episode.episode_return;
        entry["length"] = episode.length;
        entry["end"] = episode_end_name(episode.end);
        entry["acted"] = acted_json(episode.acted);
        episodes.push_back(std::move(entry));
    }
    json["episodes"] = std::move(episodes);
    if (report.summary) {
        const RunSummary& s = *report.summary;
        nlohmann::ordered_json summary;
        summary["episodes"] = s.episodes;
        summary["return"] = {{"mean", s.returns.mean}, {"min", s.returns.min}, {"max", s.returns.max}};
        summary["mean_length"] = s.mean_length;
        summary["total_steps"] = s.total_steps;
        summary["wall_seconds"] = s.wall_seconds;
        summary["steps_per_second"] = s.steps_per_second;
        summary["execute_latency_us"] = {
            {"p50", s.execute_micros.p50}, {"p99", s.execute_micros.p99}, {"max", s.execute_micros.max}};
        summary["acted"] = acted_json(s.acted);
        json["summary"] = std::move(summary);
    } else {
        json["summary"] = nullptr;
    }
    json["error"] = error ? nlohmann::ordered_json(*error) : nlohmann::ordered_json();
    return json;
}

int run_command(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool progress_allowed) {
    CLI::App app("Runs a trained orchestration in a simulator and reports returns, episode lengths, "
                 "which agents acted, throughput and per-step latency.",
                 kProgram);
    command_line::set_up(app, kProgram);
    CommandLine line;
    describe_options(app, line);
    if (const auto status = command_line::parse(app, argc, argv, out, err)) return *status;
    line.settings.simulator_reply_limit =
        std::max(std::chrono::milliseconds(1),
                 std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(line.reply_seconds * 1000.0))));
    try {
        check_settings(line.settings);
    } catch (const tarvik_core::ValueError& e) {
        err << kProgram << ": error: " << e.what() << "\n" << std::flush;
        return kExitUsage;
    }

    // Before anything can log: loading the orchestration already may.
    tarvik_core::set_default_log_level(tarvik_core::log_level_from_name(line.log_level));
    if (app.count("orchestration") == 0) line.settings.orchestration_path = default_orchestration_path();

    RunReport report;
    std::optional<std::string> failure;
    ProgressBar bar(err, progress_allowed && !line.quiet);
    try {
        command_line::require_regular_file(line.settings.orchestration_path, "orchestration file");
        ConsoleObserver observer(out, bar, !line.quiet && !line.json);
        run_orchestration(line.settings, observer, report);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    bar.clear();
    // With --json the report goes out also after a failure: the episodes that
    // finished and the error. A failure to write it matters only when the run
    // itself went well; otherwise the run's failure is the one to report.
    try {
        if (line.json) command_line::write_output(out, report_json(report, failure).dump(2) + "\n");
        else if (!failure) command_line::write_output(out, format_summary(*report.summary));
    } catch (const std::exception& e) {
        if (!failure) failure = e.what();
    }
    if (!failure) return kExitSuccess;
    err << kProgram << ": error: " << *failure << '\n' << std::flush;
    return kExitFailure;
}

}  // namespace tarvik_apps
