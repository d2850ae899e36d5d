// Your own simulator in tarvik-run: a simulator class from a plugin library,
// a simulator program behind the line protocol, and what their faults look
// like.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "apps_support.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_sims/child_process_simulator.hpp"

namespace {

using namespace apps_test;
using nlohmann::json;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// What a run's JSON report says about the episodes, without the timings.
json outcomes(const ProcessResult& result) {
    const json report = json::parse(result.out);
    json episodes = json::array();
    for (const auto& episode : report["episodes"])
        episodes.push_back({episode["seed"], episode["return"], episode["length"], episode["end"], episode["acted"]});
    const json& summary = report["summary"];
    return {episodes, summary["return"], summary["total_steps"], summary["acted"]};
}

// The last line of stderr, which is the program's one error line.
std::string error_line(const ProcessResult& result) {
    std::string text = result.err;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
}

TEST(OwnSimulators, GiveTheSameStatisticsAsTheBuiltInOnes) {
    const std::string program = TARVIK_SIM_PROGRAM;
    struct Case {
        const char* example;
        std::vector<std::string> simulator;  // the options that choose it
        std::string reported;
    };
    const std::vector<Case> cases = {
        {"cartpole", {"--sim", "exec:" + program + " cartpole"}, "exec:" + program + " cartpole"},
        {"cartpole", {"--sim", "plugin:relay_cartpole", "--sim-plugin", TARVIK_SIM_PLUGIN}, "plugin:relay_cartpole"},
        {"pendulum", {"--sim", "exec:" + program + " pendulum"}, "exec:" + program + " pendulum"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reported);
        const std::vector<std::string> common = {example_file(c.example), "--episodes", "2", "--seed", "4", "--json"};
        const auto built_in = run_tarvik_run(common);
        std::vector<std::string> args = common;
        args.insert(args.end(), c.simulator.begin(), c.simulator.end());
        const auto own = run_tarvik_run(args);
        ASSERT_EQ(built_in.exit_code, 0) << built_in.err;
        ASSERT_EQ(own.exit_code, 0) << own.err;
        EXPECT_EQ(outcomes(own), outcomes(built_in));
        EXPECT_EQ(json::parse(own.out)["simulator"], c.reported);
    }
}

TEST(OwnSimulators, AnOrchestrationsPluginsCanBringTheSimulatorItsIdNames) {
    tarvik_test::TempDir dir;
    const std::string file = copy_example("cartpole", dir.path());
    json orchestration = json::parse(read_file(file));
    orchestration["id"] = "relay_cartpole";
    orchestration["plugins"].push_back(TARVIK_SIM_PLUGIN);
    dir.write("cartpole/orchestration.json", orchestration.dump());
    for (const std::vector<std::string>& choice : {std::vector<std::string>{}, {"--sim", "plugin:relay_cartpole"}}) {
        std::vector<std::string> args = {file, "--episodes", "1", "--max-steps", "20", "--json"};
        args.insert(args.end(), choice.begin(), choice.end());
        const auto result = run_tarvik_run(args);
        ASSERT_EQ(result.exit_code, 0) << result.err;
        const json report = json::parse(result.out);
        EXPECT_EQ(report["simulator"], "plugin:relay_cartpole");
        EXPECT_EQ(report["episodes"][0]["length"], 20);
    }
}

TEST(OwnSimulators, PluginFaultsNameTheSimulatorOrTheLibrary) {
    tarvik_test::TempDir dir;
    const std::string plugin = TARVIK_SIM_PLUGIN;
    const std::string not_a_library = dir.write("notes.so", "not a library").string();
    const std::string missing = (dir / "missing.so").string();
    struct Case {
        std::vector<std::string> options;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--sim", "plugin:missing", "--sim-plugin", plugin},
         "no simulator named 'missing' is registered by the --sim-plugin libraries or the orchestration's plugins "
         "(registered: ['not_a_simulator', 'relay_cartpole'])"},
        {{"--sim", "plugin:not_a_simulator", "--sim-plugin", plugin},
         "made a NotASimulator, which is not a tarvik_sims::Simulator"},
        {{"--sim", "plugin:cart_teacher"}, "'cart_teacher' is a teacher, registered by "},
        {{"--sim", "plugin:"}, "--sim plugin: needs a simulator name after 'plugin:'"},
        {{"--sim", "plugin:relay_cartpole", "--sim-plugin", "/dev/zero"},
         "simulator plugin library /dev/zero is not a regular file (it is a character device)"},
        {{"--sim", "plugin:relay_cartpole", "--sim-plugin", missing}, "simulator plugin library " + missing + " not found"},
        {{"--sim", "plugin:relay_cartpole", "--sim-plugin", not_a_library},
         "cannot load simulator plugin library " + not_a_library + ": "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> args = {example_file("cartpole"), "--episodes", "1"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const auto result = run_tarvik_run(args);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_EQ(count_lines(result.err), 1u) << result.err;
        EXPECT_TRUE(contains(error_line(result), c.message)) << result.err;
    }
}

// A simulator program in /bin/sh: it greets, starts an episode with fixed
// cart-pole readings, then does what `step` says when asked for a step.
std::string shell_simulator(const tarvik_test::TempDir& dir, const std::string& name, const std::string& hello,
                            const std::string& reset, const std::string& step) {
    const std::string script = "read line\n" + hello + "\nread line\n" + reset + "\nread line\n" + step + "\n";
    return "exec:sh " + dir.write(name + ".sh", script).string();
}

TEST(OwnSimulators, ProgramFaultsEndInOneLineNamingTheProgram) {
    tarvik_test::TempDir dir;
    const std::string greet = R"(echo '{"max_episode_steps": 50}')";
    const std::string start = R"(echo '{"readings": {"x": 0, "x_dot": 0, "theta": 0, "theta_dot": 0}}')";
    struct Case {
        const char* name;
        std::string simulator;
        std::vector<std::string> options;
        std::vector<std::string> message;  // in order on the error line
    };
    const std::string dies = shell_simulator(dir, "dies", greet, start, "exit 3");
    const std::string garbage = shell_simulator(dir, "garbage", greet, start, "echo 'oops, not json'");
    const std::string hangs = shell_simulator(dir, "hangs", greet, start, "sleep 30");
    const std::string refuses = shell_simulator(dir, "refuses", greet, start, R"(echo '{"error": "the arm is locked"}')");
    const std::string rude = shell_simulator(dir, "rude", "echo hi", start, "");
    const std::string unbounded = shell_simulator(dir, "unbounded", "echo '{}'", start, "");
    const std::string blank = shell_simulator(dir, "blank", greet, R"(echo '{"reward": 1}')", "");
    const std::vector<Case> cases = {
        {"dies mid-episode", dies, {},
         {"episode 1 (seed 0), step 1, simulator step: simulator '" + dies + "' exited with status 3 "
          "before it answered step (action "}},
        {"writes garbage", garbage, {},
         {"step 1, simulator step: simulator '" + garbage + "' answered step (action ",
          ") with something that is not a JSON object: \"oops, not json\""}},
        {"hangs", hangs, {"--sim-timeout", "0.3"},
         {"step 1, simulator step: simulator '" + hangs + "' did not answer step (action ",
          ") within 0.3 s; it was stopped"}},
        {"refuses the action", refuses, {}, {"simulator '" + refuses + "' refused the action ", ": the arm is locked"}},
        {"greets wrongly", rude, {},
         {"simulator '" + rude + "' answered hello with something that is not a JSON object: \"hi\""}},
        {"sets no step limit", unbounded, {},
         {"simulator '" + unbounded + "' has no step limit of its own; give one with --max-steps"}},
        {"starts without readings", blank, {},
         {"episode 1 (seed 0), simulator reset: simulator '" + blank +
          "' answered reset (seed 0) without \"readings\" as a JSON object: {\"reward\":1}"}},
        {"cannot be found", "exec:/nonexistent/simulator", {},
         {"simulator 'exec:/nonexistent/simulator' exited with status 127 before it answered hello"}},
        {"has no command", "exec:", {}, {"--sim exec: needs a command after 'exec:'"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {example_file("cartpole"), "--episodes", "1", "--sim", c.simulator};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const auto result = run_tarvik_run(args);
        EXPECT_EQ(result.exit_code, 1);
        const std::string line = error_line(result);
        EXPECT_EQ(line.rfind("tarvik-run: error: ", 0), 0u) << result.err;
        std::size_t at = 0;
        for (const auto& part : c.message) {
            at = line.find(part, at);
            EXPECT_NE(at, std::string::npos) << "missing: " << part << "\nin: " << line;
            if (at == std::string::npos) break;
        }
    }
}

// State of a process: 'Z' for a zombie, 0 when it does not exist at all.
char process_state(int pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

TEST(ChildProcessSimulator, AFaultEndsTheProgramAndEverythingItStarted) {
    tarvik_test::TempDir dir;
    for (const std::string fault : {"sleep 30", "echo nope", "exit 4"}) {
        SCOPED_TRACE(fault);
        // The program leaves a helper running in the background (holding the
        // pipe open), as real simulators with worker processes do.
        const std::string helper_file = (dir / "helper").string();
        const std::string script = dir.write("program.sh", "read line\necho '{\"max_episode_steps\": 5}'\n"
                                                           "sleep 30 & echo $! > " + helper_file +
                                                               "\nread line\n" + fault + "\n")
                                       .string();
        tarvik_sims::ChildProcessSimulator sim("sh " + script, std::chrono::milliseconds(300));
        const int program = sim.pid();
        ASSERT_GT(program, 0);
        EXPECT_THROW(sim.reset(1), tarvik_core::RuntimeError);
        EXPECT_EQ(sim.pid(), -1);
        // Reaped: no zombie of ours.
        EXPECT_EQ(waitpid(program, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        // The helper was killed with it (a zombie only until init reaps it).
        const int helper = std::stoi(read_file(helper_file));
        char state = process_state(helper);
        for (int i = 0; i < 200 && state != 0 && state != 'Z'; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            state = process_state(helper);
        }
        EXPECT_TRUE(state == 0 || state == 'Z') << "helper " << helper << " in state " << state;
        try {
            sim.reset(2);
            ADD_FAILURE() << "a stopped program answered";
        } catch (const tarvik_core::RuntimeError& e) {
            EXPECT_EQ(std::string(e.what()), "simulator 'exec:sh " + script + "' is no longer running");
        }
    }
}

}  // namespace
