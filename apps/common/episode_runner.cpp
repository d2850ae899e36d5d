// The episode loop of the run host.
#include "tarvik_apps/episode_runner.hpp"

#include <cctype>
#include <exception>
#include <limits>
#include <utility>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "tarvik_apps/inspection.hpp"
#include "tarvik_apps/simulator_choice.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/orchestration.hpp"
#include "tarvik_inference/conductrix.hpp"
#include "tarvik_inference/runvane.hpp"
#include "tarvik_sims/simulator.hpp"

namespace tarvik_apps {

namespace {

using Clock = std::chrono::steady_clock;
using tarvik_core::Dict;
using tarvik_inference::Runvane;
using tarvik_sims::Simulator;

// Rethrows a failure of one step with the episode and step (none for the
// reset before the first) in front of the runtime's message, keeping the
// original as the cause. Cancellation and
// interruption pass through untouched.
[[noreturn]] void rethrow_in_step(std::exception_ptr failure, const EpisodeResult& episode, std::int64_t step,
                                  const std::string& what) {
    if (!tarvik_core::is_ordinary_error(failure)) std::rethrow_exception(failure);
    tarvik_core::RuntimeError error("episode " + std::to_string(episode.index + 1) + " (seed " +
                                    std::to_string(episode.seed) + ")" +
                                    (step > 0 ? ", step " + std::to_string(step) : std::string()) + ", " + what +
                                    ": " + tarvik_core::error_text(failure));
    error.set_cause(failure);
    throw error;
}

// Refuses, before the first step, a model whose action distribution does not
// fit its agent's action space, with the finding tarvik-inspect reports: a
// longer output would otherwise be decoded from its first values without a
// word.
void check_models(const tarvik_inference::ProcessorPtr& processor) {
    if (!processor) return;
    const auto model = model_of(*processor);
    const auto action_space = processor->get_action_space();
    if (model && action_space) {
        if (auto finding = action_dist_finding(*model, *action_space))
            throw tarvik_core::ValueError("agent " + processor->get_agent_name() + ", file " + model->model_path +
                                          ": " + *finding);
    }
    if (auto* orchestrator = dynamic_cast<tarvik_inference::Conductrix*>(processor.get()))
        for (const auto& child : orchestrator->get_child_agent_processors()) check_models(child);
}

// True when `message` already names agent `name` ("... for agent balance").
bool names_agent(const std::string& message, const std::string& name) {
    const std::string mention = "agent " + name;
    for (auto at = message.find(mention); at != std::string::npos; at = message.find(mention, at + 1)) {
        const std::size_t end = at + mention.size();
        if (end == message.size() || !(std::isalnum(static_cast<unsigned char>(message[end])) || message[end] == '_'))
            return true;
    }
    return false;
}

// "execute: agent balance, model /m/balance.onnx" for a step that failed in
// agent balance: the runtime's messages ("Observation has too many
// dimensions: ...") do not say which of the tree's models they concern.
std::string execute_context(const ActingCounts& counts, std::exception_ptr failure) {
    const CountingProcessor* where = counts.failed_agent();
    if (!where) return "execute";
    const std::string agent = where->get_agent_name();
    if (names_agent(tarvik_core::error_text(failure), agent)) return "execute";
    const auto model = model_of(*where->inner());
    return "execute: agent " + agent + (model ? ", model " + model->model_path : std::string());
}

struct LoopState {
    RunReport& report;
    LatencyHistogram& latencies;
    double& wall_seconds;
    RunObserver& observer;
};

// Plain function: builds the step's arguments outside the coroutine (g++ 12
// mishandles aggregate temporaries inside co_await expressions).
tarvik_inference::RunvaneExecuteArgs step_args(const Simulator& sim, const Value& previous_action) {
    return tarvik_inference::RunvaneExecuteArgs{.sim_action_mask = sim.action_mask(),
                                                .previous_action = previous_action};
}

Task<EpisodeResult> run_episode(Runvane& runvane, Simulator& sim, ActingCounts& counts, EpisodeResult episode,
                                std::int64_t max_steps, LoopState& state) {
    counts.clear();
    Dict readings;
    try {
        readings = sim.reset(episode.seed);
    } catch (...) {
        rethrow_in_step(std::current_exception(), episode, 0, "simulator reset");
    }
    Value action;
    episode.end = EpisodeEnd::step_limit;
    while (episode.length < max_steps) {
        const std::int64_t step = episode.length + 1;
        tarvik_inference::RunvaneExecuteArgs args = step_args(sim, action);
        Value next;
        std::exception_ptr failure;
        Value observation(std::move(readings));
        const auto started = Clock::now();
        try {
            next = co_await runvane.execute(std::move(observation), std::move(args));
        } catch (...) {
            failure = std::current_exception();
        }
        const auto finished = Clock::now();
        if (failure) rethrow_in_step(failure, episode, step, execute_context(counts, failure));
        state.latencies.add(std::chrono::duration<double, std::micro>(finished - started).count());
        action = std::move(next);

        tarvik_sims::StepOutcome outcome;
        try {
            outcome = sim.step(action);
        } catch (...) {
            rethrow_in_step(std::current_exception(), episode, step, "simulator step");
        }
        episode.episode_return += outcome.reward;
        episode.length = step;
        readings = std::move(outcome.observation);
        state.observer.stepped(episode.index, step);
        if (outcome.terminated) {
            episode.end = EpisodeEnd::terminated;
            break;
        }
        if (outcome.truncated) {
            episode.end = EpisodeEnd::truncated;
            break;
        }
    }
    episode.acted = counts.per_agent();
    // Teachers, controllers and perceptors start the next episode afresh.
    co_await runvane.agent_processor->reset();
    co_return episode;
}

Task<void> drive(Runvane& runvane, tarvik_core::OrchestrationPtr orchestration, Simulator& sim, LoopState& state) {
    std::exception_ptr failure;
    try {
        tarvik_inference::OrchestrationArg loaded = std::move(orchestration);
        co_await runvane.load_orchestration(std::move(loaded));
        co_await runvane.package();
        check_models(runvane.agent_processor);
        ActingCounts counts = ActingCounts::instrument(runvane.agent_processor);
        runvane.agent_processor = counts.top();

        RunReport& report = state.report;
        state.observer.started(report);
        const auto started = Clock::now();
        for (std::int64_t index = 0; index < report.episodes_planned; ++index) {
            EpisodeResult episode;
            episode.index = index;
            episode.seed = report.seed + static_cast<std::uint64_t>(index);
            EpisodeResult done = co_await run_episode(runvane, sim, counts, std::move(episode), report.max_steps, state);
            report.episodes.push_back(std::move(done));
            state.observer.episode_finished(report.episodes.back());
        }
        state.wall_seconds = std::chrono::duration<double>(Clock::now() - started).count();
    } catch (...) {
        failure = std::current_exception();
    }
    // Close in every case; a failure to close matters only when the run itself
    // went well.
    std::exception_ptr close_failure;
    try {
        co_await runvane.close();
    } catch (...) {
        close_failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(failure);
    if (close_failure) std::rethrow_exception(close_failure);
}

}  // namespace

const char* episode_end_name(EpisodeEnd end) noexcept {
    switch (end) {
        case EpisodeEnd::terminated: return "terminated";
        case EpisodeEnd::truncated: return "truncated";
        case EpisodeEnd::step_limit: return "step_limit";
    }
    return "unknown";
}

std::string available_simulators() {
    std::string out;
    for (const auto& name : tarvik_sims::simulator_names()) out += (out.empty() ? "" : ", ") + name;
    return out;
}

std::optional<std::string> simulator_for_id(const std::string& orchestration_id) {
    for (const auto& name : tarvik_sims::simulator_names())
        if (name == orchestration_id) return name;
    return std::nullopt;
}

RunSummary summarize_run(const std::vector<EpisodeResult>& episodes, const LatencyHistogram& latencies,
                         double wall_seconds) {
    if (episodes.empty()) throw tarvik_core::ValueError("a run summary needs at least one completed episode");
    RunSummary summary;
    summary.episodes = static_cast<std::int64_t>(episodes.size());
    std::vector<double> returns;
    for (const auto& episode : episodes) {
        returns.push_back(episode.episode_return);
        summary.total_steps += episode.length;
        for (const auto& entry : episode.acted) add_acting(summary.acted, entry.agent, entry.steps);
    }
    summary.returns = spread_of(returns);
    summary.mean_length = static_cast<double>(summary.total_steps) / static_cast<double>(episodes.size());
    summary.wall_seconds = wall_seconds;
    summary.steps_per_second = wall_seconds > 0.0 ? static_cast<double>(summary.total_steps) / wall_seconds : 0.0;
    summary.execute_micros = latencies.summary();
    return summary;
}

void check_settings(const RunSettings& settings) {
    if (settings.episodes < 1)
        throw tarvik_core::ValueError("the number of episodes must be at least 1, got " +
                                      std::to_string(settings.episodes));
    constexpr std::uint64_t kLargestSeed = std::numeric_limits<std::uint64_t>::max();
    if (settings.seed > kLargestSeed - static_cast<std::uint64_t>(settings.episodes - 1))
        throw tarvik_core::ValueError("seed " + std::to_string(settings.seed) + " with " +
                                      std::to_string(settings.episodes) +
                                      " episodes: the last episode's seed would pass the largest seed, " +
                                      std::to_string(kLargestSeed));
}

void run_orchestration(const RunSettings& settings, RunObserver& observer, RunReport& report) {
    report = RunReport{};
    report.orchestration_path = settings.orchestration_path;
    report.episodes_planned = settings.episodes;
    report.seed = settings.seed;
    check_settings(settings);
    auto orchestration = tarvik_core::Orchestration::load(settings.orchestration_path);
    report.orchestration_id = orchestration->id();

    ChosenSimulator chosen = choose_simulator(
        SimulatorRequest{.spelling = settings.simulator,
                         .plugin_libraries = settings.simulator_plugins,
                         .reply_limit = settings.simulator_reply_limit},
        *orchestration);
    Simulator& sim = *chosen.simulator;
    report.simulator = chosen.spelling;
    if (!settings.max_steps && sim.max_episode_steps() == Simulator::kNoStepLimit)
        throw tarvik_core::ValueError("simulator '" + chosen.spelling +
                                      "' has no step limit of its own; give one with --max-steps");
    report.max_steps = settings.max_steps.value_or(sim.max_episode_steps());
    if (report.max_steps < 1)
        throw tarvik_core::ValueError("the step limit must be at least 1, got " + std::to_string(report.max_steps));

    LatencyHistogram latencies;
    double wall_seconds = 0.0;
    LoopState state{report, latencies, wall_seconds, observer};

    boost::asio::io_context io;
    Runvane runvane;
    std::exception_ptr failure;
    boost::asio::co_spawn(io, drive(runvane, orchestration, sim, state),
                          [&failure](std::exception_ptr e) { failure = e; });
    io.run();
    if (failure) std::rethrow_exception(failure);

    report.summary = summarize_run(report.episodes, latencies, wall_seconds);
}

RunReport run_orchestration(const RunSettings& settings, RunObserver& observer) {
    RunReport report;
    run_orchestration(settings, observer, report);
    return report;
}

}  // namespace tarvik_apps
