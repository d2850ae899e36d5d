// tarvik-run as a program: command line, exit codes, output forms, and a
// short episode of each bundled example.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <regex>
#include <sstream>

#include "apps_support.hpp"
#include "support/model_builder.hpp"
#include "tarvik_apps/episode_runner.hpp"
#include "tarvik_apps/progress_bar.hpp"
#include "tarvik_apps/run_command.hpp"
#include "tarvik_inference/grafex.hpp"

namespace {

using namespace apps_test;
using nlohmann::json;

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }
bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// --- the command line -------------------------------------------------------------------

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    const char* message;  // on stderr
};

TEST(RunCommandLine, BadCommandLinesExitWithTwoAndSayWhatIsWrong) {
    const std::vector<UsageCase> cases = {
        {"unknown option", {"--episodez", "3"}, "The following argument was not expected: --episodez"},
        {"zero episodes", {"--episodes", "0"}, "--episodes: must be a whole number of at least 1, got 0"},
        {"fractional episodes", {"--episodes", "2.5"}, "--episodes: must be a whole number of at least 1, got 2.5"},
        {"zero max steps", {"--max-steps", "0"}, "--max-steps: must be a whole number of at least 1, got 0"},
        {"negative seed", {"--seed", "-1"}, "--seed: must not be negative, got -1"},
        {"unknown log level", {"--log-level", "loud"}, "--log-level: loud not in {debug,info,warning,error,off}"},
        {"missing option value", {"--sim"}, "--sim"},
        {"two orchestrations", {"a.json", "b.json"}, "b.json"},
        {"episodes beyond their type", {"--episodes", "99999999999999999999"},
         "--episodes: must be at most 9223372036854775807, got 99999999999999999999"},
        {"steps beyond their type", {"--max-steps", "9223372036854775808"},
         "--max-steps: must be at most 9223372036854775807, got 9223372036854775808"},
        {"seed beyond its type", {"--seed", "18446744073709551616"},
         "--seed: must be at most 18446744073709551615, got 18446744073709551616"},
        {"seed in hex", {"--seed", "0x10"}, "--seed: must be a whole number, got 0x10"},
        {"last seed beyond the type", {"--seed", "18446744073709551615", "--episodes", "2"},
         "seed 18446744073709551615 with 2 episodes: the last episode's seed would pass the largest seed, "
         "18446744073709551615"},
        {"empty orchestration path", {""}, "orchestration: must not be empty"},
        {"empty simulator", {"--sim", ""}, "--sim: must not be empty"},
        {"no reply time", {"--sim-timeout", "0"},
         "--sim-timeout: must be a number of seconds above 0 and at most 86400, got 0"},
        {"reply time beyond a day", {"--sim-timeout", "1e9"},
         "--sim-timeout: must be a number of seconds above 0 and at most 86400, got 1e9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = run_tarvik_run(c.args);
        EXPECT_EQ(result.exit_code, 2);
        EXPECT_TRUE(starts_with(result.err, "tarvik-run: error: ")) << result.err;
        EXPECT_TRUE(contains(result.err, c.message)) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

TEST(RunCommandLine, BothProgramsNameTheirVersionAndTheOnnxRuntimes) {
    for (const auto& [program, name] : {std::pair<std::string, std::string>{TARVIK_RUN_EXE, "tarvik-run"},
                                        {TARVIK_INSPECT_EXE, "tarvik-inspect"}}) {
        const auto result = run_program(program, {"--version"});
        EXPECT_EQ(result.exit_code, 0);
        const std::string tail = " (ONNX Runtime " + tarvik_inference::onnxruntime_version() + ")\n";
        EXPECT_TRUE(std::regex_match(result.out, std::regex(name + " [0-9]+\\.[0-9]+\\.[0-9]+ .*\n")) &&
                    result.out.size() > tail.size() &&
                    result.out.compare(result.out.size() - tail.size(), tail.size(), tail) == 0)
            << result.out;
    }
}

TEST(RunCommandLine, OutputThatCannotBeWrittenFailsBothPrograms) {
    struct Case {
        const char* name;
        Output output;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"full device", Output{.path = "/dev/full"}, "No space left on device"},
        {"closed descriptor", Output{.closed = true}, "it is closed"},
        {"reader gone", Output{.broken_pipe = true}, "Broken pipe"},
    };
    const std::vector<std::vector<std::string>> commands = {
        {TARVIK_RUN_EXE, "--episodes", "1", "--max-steps", "2"},
        {TARVIK_RUN_EXE, "--episodes", "1", "--max-steps", "2", "--json"},
        {TARVIK_INSPECT_EXE, example_file("cartpole")},
    };
    for (const auto& c : cases) {
        for (const auto& command : commands) {
            SCOPED_TRACE(std::string(c.name) + ": " + command[0] + (command.back() == "--json" ? " --json" : ""));
            const auto result = run_program(command[0], {command.begin() + 1, command.end()}, {}, c.output);
            EXPECT_EQ(result.exit_code, 1);
            const std::string program = fs::path(command[0]).filename().string();
            EXPECT_EQ(result.err, program + ": error: cannot write to standard output: " + c.reason + "\n");
        }
    }
}

TEST(RunCommandLine, OnlyRegularFilesAreRead) {
    tarvik_test::TempDir dir;
    for (const std::string& path : {std::string("/dev/zero"), dir.path().string()}) {
        const std::string kind = path == "/dev/zero" ? "character device" : "directory";
        for (const auto& [program, name] : {std::pair<std::string, std::string>{TARVIK_RUN_EXE, "tarvik-run"},
                                            {TARVIK_INSPECT_EXE, "tarvik-inspect"}}) {
            SCOPED_TRACE(name + " " + path);
            const auto result = run_program(program, {path});
            EXPECT_EQ(result.exit_code, 1);
            EXPECT_EQ(result.err, name + ": error: orchestration file " + path + " is not a regular file (it is a " +
                                      kind + ")\n");
        }
    }
}

TEST(RunCommandLine, HelpExitsWithZeroAndExplainsTheCounts) {
    const auto result = run_tarvik_run({"--help"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(contains(result.out, "Usage: tarvik-run [OPTIONS] [orchestration]")) << result.out;
    EXPECT_TRUE(contains(result.out, "counts include every level of the agent tree")) << result.out;
    for (const char* option : {"--sim", "--episodes", "--max-steps", "--seed", "--json", "--quiet", "--log-level"})
        EXPECT_TRUE(contains(result.out, option)) << option;
}

// --- failures ---------------------------------------------------------------------------

class RunFailures : public ::testing::Test {
protected:
    // Exit 1, exactly the expected message as the last stderr line, and no
    // result presented: no episode line, no summary.
    void expect_failure(const ProcessResult& result, const std::string& message) {
        EXPECT_EQ(result.exit_code, 1);
        const std::string last_line = "tarvik-run: error: " + message + "\n";
        EXPECT_TRUE(result.err.size() >= last_line.size() &&
                    result.err.compare(result.err.size() - last_line.size(), last_line.size(), last_line) == 0)
            << result.err;
        EXPECT_FALSE(contains(result.out, "episode 1 ")) << result.out;
        EXPECT_FALSE(contains(result.out, "Summary")) << result.out;
    }
    tarvik_test::TempDir dir;
};

TEST_F(RunFailures, MissingOrchestrationFileIsNamed) {
    const std::string missing = (dir / "absent.json").string();
    expect_failure(run_tarvik_run({missing}), "orchestration file not found: " + missing);
}

TEST_F(RunFailures, MalformedOrchestrationNamesTheFileAndThePlace) {
    const std::string file = dir.write("broken.json", R"({"id": "cartpole", "sensors": [], "agents": [)").string();
    const auto result = run_tarvik_run({file});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(starts_with(result.err, "tarvik-run: error: " + file + ": invalid JSON: ")) << result.err;
    EXPECT_EQ(count_lines(result.err), 1u) << result.err;
}

TEST_F(RunFailures, UnknownSimulatorListsTheAvailableOnes) {
    expect_failure(run_tarvik_run({example_file("cartpole"), "--sim", "mountain-car"}),
                   "unknown simulator 'mountain-car' (available: cartpole, pendulum)");
}

TEST_F(RunFailures, AnIdThatNamesNoSimulatorAsksForSim) {
    const std::string original = read_file(example_file("cartpole"));
    std::string text = original;
    text.replace(text.find("\"id\": \"cartpole\""), 16, "\"id\": \"my-robot\"");
    fs::create_directories(dir / "robot");
    fs::copy(examples_dir() / "cartpole" / "models", dir / "robot" / "models", fs::copy_options::recursive);
    const std::string file = dir.write("robot/orchestration.json", text).string();
    expect_failure(run_tarvik_run({file}),
                   file + ": the orchestration id 'my-robot' names no built-in simulator; choose one with --sim "
                          "(available: cartpole, pendulum)");
    // With the simulator named, the same file runs.
    const auto result = run_tarvik_run({file, "--sim", "cartpole", "--episodes", "1", "--max-steps", "5", "--quiet"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
}

TEST_F(RunFailures, MissingModelFailsOnTheFirstStepNamingTheAgent) {
    const std::string file = copy_example("cartpole", dir.path());
    fs::remove(dir / "cartpole" / "models" / "balance.onnx");
    const auto result = run_tarvik_run({file, "--episodes", "2"});
    expect_failure(result, "episode 1 (seed 0), step 1, execute: ONNX model not loaded for agent balance");
    // The runtime's own warning names the file it looked for.
    EXPECT_TRUE(contains(result.err, "ONNX model not found at " + (dir / "cartpole" / "models" / "checkpoint" /
                                                                   "balance.onnx").string() +
                                         " for agent balance"))
        << result.err;
}

TEST_F(RunFailures, ReadingsThatDoNotFitFailTheFirstStep) {
    // The cart-pole orchestration in the pendulum simulator: its readings lack
    // the cart's sensors, which the top agent gathers first.
    const auto result = run_tarvik_run({example_file("cartpole"), "--sim", "pendulum", "--episodes", "1"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "tarvik-run: error: episode 1 (seed 0), step 1, execute: agent supervisor, model " +
                              (examples_dir() / "cartpole" / "models" / "supervisor.onnx").string() +
                              ": sensor 'x' has no value: the readings have no key 'x'\n");
    EXPECT_FALSE(contains(result.out, "Summary"));
}

TEST_F(RunFailures, CompletedEpisodesStayListedBeforeALaterFailureButNoSummaryFollows) {
    // Without its model, "stabilize" fails the first time the phase controller
    // picks it: never in the first 10 steps of seed 2 (the pendulum hangs and
    // swing_up acts), at once for seed 3 (it starts near the top).
    const std::string file = copy_example("pendulum", dir.path());
    fs::remove(dir / "pendulum" / "models" / "stabilize.onnx");
    const auto result = run_tarvik_run({file, "--seed", "2", "--episodes", "2", "--max-steps", "10"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(contains(result.out, "\nepisode 1  seed 2  return ")) << result.out;
    EXPECT_FALSE(contains(result.out, "episode 2 ")) << result.out;
    EXPECT_FALSE(contains(result.out, "Summary")) << result.out;
    EXPECT_TRUE(contains(result.err, "tarvik-run: error: episode 2 (seed 3), step 1, execute: ONNX model not loaded for "
                                     "agent stabilize\n"))
        << result.err;
}

TEST_F(RunFailures, JsonStillReportsTheFinishedEpisodesAndTheError) {
    const std::string file = copy_example("pendulum", dir.path());
    fs::remove(dir / "pendulum" / "models" / "stabilize.onnx");
    const auto result = run_tarvik_run({file, "--seed", "2", "--episodes", "2", "--max-steps", "10", "--json"});
    EXPECT_EQ(result.exit_code, 1);
    const std::string error = "episode 2 (seed 3), step 1, execute: ONNX model not loaded for agent stabilize";
    EXPECT_TRUE(contains(result.err, "tarvik-run: error: " + error + "\n")) << result.err;
    json report;
    ASSERT_NO_THROW(report = json::parse(result.out)) << result.out;
    ASSERT_EQ(report["episodes"].size(), 1u);
    EXPECT_EQ(report["episodes"][0]["seed"], 2);
    EXPECT_EQ(report["orchestration"]["id"], "pendulum");
    EXPECT_TRUE(report["summary"].is_null());
    EXPECT_EQ(report["error"], error);

    // Before anything loaded, the object still says what went wrong.
    const std::string missing = (dir / "absent.json").string();
    const auto early = run_tarvik_run({missing, "--json"});
    EXPECT_EQ(early.exit_code, 1);
    ASSERT_NO_THROW(report = json::parse(early.out)) << early.out;
    EXPECT_TRUE(report["orchestration"]["id"].is_null());
    EXPECT_EQ(report["orchestration"]["file"], missing);
    EXPECT_TRUE(report["episodes"].empty());
    EXPECT_EQ(report["error"], "orchestration file not found: " + missing);
}

TEST_F(RunFailures, ModelFaultsNameTheAgentAndTheModelFile) {
    const std::string file = copy_example("cartpole", dir.path());
    const std::string balance = (dir / "cartpole" / "models" / "balance.onnx").string();
    auto write_balance = [&](std::int64_t obs, std::int64_t logits, std::int64_t mask) {
        tarvik_test::fixed_logits_policy(
            tarvik_test::FixedLogitsPolicy{.obs_size = obs,
                                           .logits = std::vector<float>(static_cast<std::size_t>(logits), 0.5f),
                                           .io = tarvik_test::PolicyIo{.obs_name = "observation", .mask_size = mask}})
            .write(balance);
    };

    // An observation the model does not take: the engine's own words, with
    // the agent and the file in front.
    write_balance(5, 2, 2);
    auto result = run_tarvik_run({file, "--episodes", "1"});
    EXPECT_EQ(result.exit_code, 1);
    const std::string prefix = "tarvik-run: error: episode 1 (seed 0), step 1, execute: agent balance, model " + balance + ": ";
    const std::size_t line = result.err.rfind("tarvik-run: error: ");
    ASSERT_NE(line, std::string::npos) << result.err;
    EXPECT_TRUE(starts_with(result.err.substr(line), prefix)) << result.err;
    EXPECT_TRUE(contains(result.err.substr(line), "expected: [1, 5]")) << result.err;

    // A longer action distribution than the space needs (and no mask input to
    // give it away at run time): refused before the first step, with the
    // finding tarvik-inspect reports.
    write_balance(4, 3, 0);
    const std::string finding = "agent balance, file " + balance +
                                ": action distribution length 3 (output 'action_dist_inputs') does not match the "
                                "action space Discrete(2), which needs 2";
    const auto inspected = run_tarvik_inspect({file});
    EXPECT_TRUE(contains(inspected.out, "  error: " + finding + "\n")) << inspected.out;
    expect_failure(run_tarvik_run({file, "--episodes", "1"}), finding);
}

TEST_F(RunFailures, TheExamplesFolderComesFromTheEnvironment) {
    const auto result = run_tarvik_run({"--episodes", "1"}, {{"TARVIK_EXAMPLES_DIR", dir.path().string()}});
    expect_failure(result, "orchestration file not found: " + (dir / "cartpole" / "orchestration.json").string());
}

// --- successful runs --------------------------------------------------------------------

struct ExampleRun {
    const char* example;
    const char* top;
    std::vector<std::string> agents;  // in tree order, the top first
    friend void PrintTo(const ExampleRun& run, std::ostream* os) { *os << run.example; }
};

class RunExamples : public ::testing::TestWithParam<ExampleRun> {};

TEST_P(RunExamples, JsonReportsEveryEpisodeAndCountsAtEveryLevel) {
    const ExampleRun& example = GetParam();
    const auto result =
        run_tarvik_run({example_file(example.example), "--episodes", "2", "--max-steps", "50", "--seed", "3", "--json"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    nlohmann::ordered_json report;  // keeps the order the host wrote
    ASSERT_NO_THROW(report = nlohmann::ordered_json::parse(result.out)) << result.out;  // stdout holds the JSON only

    EXPECT_EQ(report["orchestration"]["id"], example.example);
    EXPECT_EQ(report["simulator"], example.example);
    EXPECT_EQ(report["settings"]["max_steps"], 50);
    ASSERT_EQ(report["episodes"].size(), 2u);
    std::int64_t total = 0;
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE("episode " + std::to_string(i + 1));
        const auto& episode = report["episodes"][i];
        EXPECT_EQ(episode["episode"], i + 1);
        EXPECT_EQ(episode["seed"], 3 + i);
        const std::int64_t length = episode["length"];
        total += length;
        // The bundled orchestrations keep both systems going for 50 steps.
        EXPECT_EQ(length, 50);
        EXPECT_EQ(episode["end"], "step_limit");
        std::vector<std::string> agents;
        std::int64_t children = 0;
        for (const auto& [agent, steps] : episode["acted"].items()) {
            agents.push_back(agent);
            if (agent != example.top) children += steps.get<std::int64_t>();
        }
        EXPECT_EQ(agents, example.agents);
        EXPECT_EQ(episode["acted"][example.top], length);  // the top acts at every step
        EXPECT_EQ(children, length);                        // exactly one child acts per step
    }
    const auto& summary = report["summary"];
    EXPECT_EQ(summary["total_steps"], total);
    EXPECT_EQ(summary["acted"][example.top], total);
    EXPECT_GT(summary["steps_per_second"].get<double>(), 0.0);
    const auto& latency = summary["execute_latency_us"];
    EXPECT_GT(latency["p50"].get<double>(), 0.0);
    EXPECT_LE(latency["p50"].get<double>(), latency["p99"].get<double>());
    EXPECT_LE(latency["p99"].get<double>(), latency["max"].get<double>());
    EXPECT_GE(summary["return"]["max"].get<double>(), summary["return"]["mean"].get<double>());
    EXPECT_LE(summary["return"]["min"].get<double>(), summary["return"]["mean"].get<double>());
}

INSTANTIATE_TEST_SUITE_P(Examples, RunExamples,
                         ::testing::Values(ExampleRun{"cartpole", "supervisor", {"supervisor", "balance", "recenter", "rescue"}},
                                           ExampleRun{"pendulum", "phase", {"phase", "swing_up", "stabilize"}}),
                         [](const auto& info) { return std::string(info.param.example); });

TEST(RunOutput, DefaultRunShowsEpisodeLinesThenTheSummary) {
    const auto result = run_tarvik_run({"--episodes", "2", "--max-steps", "20"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    std::istringstream lines(result.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_TRUE(starts_with(line, "Running 'cartpole' (" + tarvik_apps::default_orchestration_path() + ") in the cartpole "
                                  "simulator: 2 episodes, seeds 0-1, at most 20 steps each"))
        << line;
    std::getline(lines, line);
    EXPECT_EQ(line, "episode 1  seed 0  return 20.00  length 20 (stopped at --max-steps)  acted: supervisor 20, "
                    "balance 20, recenter 0, rescue 0");
    std::getline(lines, line);
    EXPECT_TRUE(starts_with(line, "episode 2  seed 1  return 20.00")) << line;
    std::getline(lines, line);
    EXPECT_EQ(line, "Summary of 2 episodes");
    EXPECT_TRUE(contains(result.out, "  return      mean 20.00  min 20.00  max 20.00\n"));
    EXPECT_TRUE(contains(result.out, "  steps       40 in "));
    EXPECT_TRUE(contains(result.out, "  acted       supervisor 40 (100.0%)  balance 40 (100.0%)  recenter 0 (0.0%)"));
    EXPECT_EQ(result.err, "");  // not a terminal: no progress bar, and nothing logged at the default level
}

TEST(RunOutput, QuietPrintsOnlyTheSummary) {
    const auto result = run_tarvik_run({"--episodes", "1", "--max-steps", "5", "--quiet"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_TRUE(starts_with(result.out, "Summary of 1 episode\n")) << result.out;
    EXPECT_FALSE(contains(result.out, "episode 1 "));
    EXPECT_EQ(count_lines(result.out), 7u) << result.out;
}

TEST(RunOutput, SeedsAreDeterministicAndEpisodeISeedIsSeedPlusI) {
    const auto first = run_tarvik_run({example_file("pendulum"), "--episodes", "2", "--seed", "5", "--max-steps", "30", "--json"});
    const auto second = run_tarvik_run({example_file("pendulum"), "--episodes", "1", "--seed", "6", "--max-steps", "30", "--json"});
    ASSERT_EQ(first.exit_code, 0) << first.err;
    ASSERT_EQ(second.exit_code, 0) << second.err;
    const json a = json::parse(first.out)["episodes"][1];
    const json b = json::parse(second.out)["episodes"][0];
    EXPECT_EQ(a["seed"], 6);
    EXPECT_EQ(a["return"], b["return"]);
    EXPECT_EQ(a["acted"], b["acted"]);
}

TEST(RunOutput, NumbersAreReadInBaseTenOnly) {
    const auto result = run_tarvik_run({"--seed", "010", "--episodes", "1", "--max-steps", "2", "--json"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(json::parse(result.out)["episodes"][0]["seed"], 10);  // not octal 8
}

TEST(RunOutput, LogLevelInfoShowsTheRuntimesLines) {
    const auto result = run_tarvik_run({"--episodes", "1", "--max-steps", "2", "--quiet", "--log-level", "info"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_TRUE(contains(result.err, "Loaded orchestration: cartpole")) << result.err;
    EXPECT_TRUE(contains(result.err, "Inference engine closed")) << result.err;
}

// --- the progress bar, in process ----------------------------------------

TEST(ProgressBar, DisabledWritesNothing) {
    std::ostringstream stream;
    {
        tarvik_apps::ProgressBar bar(stream, false, std::chrono::milliseconds(0));
        bar.update(0.5, "half");
        bar.clear();
    }
    EXPECT_EQ(stream.str(), "");
}

TEST(ProgressBar, StaysHiddenDuringTheDelay) {
    std::ostringstream stream;
    tarvik_apps::ProgressBar bar(stream, true, std::chrono::hours(1));
    bar.update(0.5, "half");
    EXPECT_FALSE(bar.shown());
    EXPECT_EQ(stream.str(), "");
}

TEST(ProgressBar, DrawsInPlaceAndErasesItself) {
    std::ostringstream stream;
    {
        tarvik_apps::ProgressBar bar(stream, true, std::chrono::milliseconds(0));
        bar.update(0.5, "episode 1/2");
        EXPECT_TRUE(bar.shown());
        EXPECT_EQ(stream.str(), "\r\x1b[K[" + std::string(15, '#') + std::string(15, '-') + "] 50%  episode 1/2");
        bar.update(0.9, "too soon");  // within the redraw interval: not drawn
        EXPECT_EQ(stream.str().find("too soon"), std::string::npos);
        stream.str("");
    }
    EXPECT_EQ(stream.str(), "\r\x1b[K");  // erased when it goes away
}

}  // namespace
