// The run host's episode loop: an orchestration acting in a built-in
// simulator, episode after episode, with the numbers an engineer wants to
// see (returns, lengths, who acted, throughput, per-step latency).
//
// run_orchestration() loads the orchestration file, picks the simulator
// (the one named in the settings, else the one the orchestration's id names:
// built in, from a plugin, or a program; see simulator_choice.hpp), and
// drives both on a private io_context: Runvane load_orchestration and
// package, the counting wrapper around the packaged tree, then per step one
// execute() with the simulator's action mask and the previous action, and
// sim.step(action). After each episode the processor tree is reset, so
// teachers and perceptors start the next episode afresh. The facade is
// closed at the end, also after a failure.
//
// Episode i (from 0) starts from seed `seed + i` and runs until the simulator
// ends it (terminated or truncated) or `max_steps` steps have been taken.
// Latencies go into a fixed-size histogram, so a long run's memory does not
// grow with its steps.
//
// Ownership: everything is local to the call; the observer is borrowed for
// its duration.
//
// Errors: an orchestration id that names no simulator (without an explicit
// one) and an unknown simulator name are ValueErrors listing the simulators
// (choose_simulator() has the rest); a simulator without a step limit of its
// own needs max_steps (ValueError);
// a model whose declared action-distribution length does not fit its
// agent's action space is a ValueError before the first step, with the
// finding tarvik-inspect reports; a failing step is a RuntimeError naming the
// episode, its seed and the step, the agent it failed in and that agent's
// model file, followed by the runtime's own message (which is left alone
// when it already names the agent: "ONNX model not loaded for agent x");
// everything else (file loading, plugins, packaging) propagates unchanged.
// Only completed episodes ever reach the observer.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarvik_apps/counting_processor.hpp"
#include "tarvik_apps/statistics.hpp"
#include "tarvik_sims/child_process_simulator.hpp"

namespace tarvik_apps {

struct RunSettings {
    std::string orchestration_path;
    // As --sim spells it (see simulator_choice.hpp); empty: the
    // orchestration's id.
    std::string simulator;
    std::vector<std::string> simulator_plugins;  // --sim-plugin libraries
    std::chrono::milliseconds simulator_reply_limit =  // for exec: simulators
        tarvik_sims::ChildProcessSimulator::kDefaultReplyLimit;
    std::int64_t episodes = 5;
    std::optional<std::int64_t> max_steps;  // none: the simulator's episode limit
    std::uint64_t seed = 0;
};

// How an episode ended.
enum class EpisodeEnd {
    terminated,  // the simulator ended it: the task failed or succeeded
    truncated,   // the simulator's own step limit
    step_limit,  // the host's --max-steps, below the simulator's limit
};
const char* episode_end_name(EpisodeEnd end) noexcept;  // "terminated", "truncated", "step_limit"

struct EpisodeResult {
    std::int64_t index = 0;  // from 0
    std::uint64_t seed = 0;
    double episode_return = 0.0;
    std::int64_t length = 0;
    EpisodeEnd end = EpisodeEnd::truncated;
    std::vector<AgentActCount> acted;
};

struct RunSummary {
    std::int64_t episodes = 0;
    Spread returns;
    double mean_length = 0.0;
    std::int64_t total_steps = 0;
    double wall_seconds = 0.0;        // the episode loop, resets included
    double steps_per_second = 0.0;    // total_steps / wall_seconds
    LatencySummary execute_micros;    // around each execute() call
    std::vector<AgentActCount> acted;  // summed over the episodes
};

// What a run produced. After a failure it holds what was known by then: the
// file always, the id and the simulator once they were found, the episodes
// that finished; the summary only exists for a run that completed.
struct RunReport {
    std::string orchestration_id;
    std::string orchestration_path;
    std::string simulator;
    std::int64_t episodes_planned = 0;
    std::int64_t max_steps = 0;
    std::uint64_t seed = 0;
    std::vector<EpisodeResult> episodes;
    std::optional<RunSummary> summary;
};

// What the host shows while the run goes on.
class RunObserver {
public:
    virtual ~RunObserver() = default;
    // The run is about to start its first episode.
    virtual void started(const RunReport& plan) {}
    // After every step: `step` steps of episode `episode` are done.
    virtual void stepped(std::int64_t episode, std::int64_t step) {}
    virtual void episode_finished(const EpisodeResult& result) {}
};

// ValueError for settings no run can have: fewer than one episode, or a
// first seed so large that a later episode's seed would pass the largest
// 64-bit seed.
void check_settings(const RunSettings& settings);

// Runs the episodes, filling `report` as it goes; a failure propagates and
// leaves in `report` what was done before it.
void run_orchestration(const RunSettings& settings, RunObserver& observer, RunReport& report);
RunReport run_orchestration(const RunSettings& settings, RunObserver& observer);

// The summary of completed episodes: `latencies` holds the execute() times in
// microseconds, `wall_seconds` is the duration of the episode loop.
// ValueError when there are no episodes or no latencies.
RunSummary summarize_run(const std::vector<EpisodeResult>& episodes, const LatencyHistogram& latencies,
                         double wall_seconds);

// The built-in simulators' names, comma-separated, for messages and help.
std::string available_simulators();
// The simulator an orchestration id stands for, or none.
std::optional<std::string> simulator_for_id(const std::string& orchestration_id);

}  // namespace tarvik_apps
