// tarvik-inspect: the agent tree, each class of problem on broken copies of
// the examples, exit codes, and that nothing is ever written.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "apps_support.hpp"
#include "support/fakes.hpp"
#include "support/model_builder.hpp"
#include "tarvik_apps/inspection.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/logging.hpp"

namespace {

using namespace apps_test;
using namespace tarvik_apps;
using nlohmann::json;
using tarvik_test::Dims;
using tarvik_test::FixedLogitsPolicy;
using tarvik_test::PolicyIo;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A cart-pole skill model: `obs` observation values, `logits` outputs, and an
// action-mask input of `mask` values (none when 0).
void write_skill_model(const fs::path& path, std::int64_t obs, std::int64_t logits, std::int64_t mask) {
    tarvik_test::fixed_logits_policy(FixedLogitsPolicy{.obs_size = obs,
                                                       .logits = std::vector<float>(static_cast<std::size_t>(logits), 0.5f),
                                                       .io = PolicyIo{.obs_name = "observation", .mask_size = mask}})
        .write(path);
}

const Problem* only_problem(const InspectionReport& report) {
    if (report.problems.size() != 1) {
        std::string listed;
        for (const auto& problem : report.problems) listed += "\n  " + problem.agent + ": " + problem.message;
        ADD_FAILURE() << "expected exactly one problem, got " << report.problems.size() << listed;
        return nullptr;
    }
    return &report.problems.front();
}

// --- the bundled examples ---------------------------------------------------------------

TEST(InspectExamples, CartPoleTreeWithKindsSpacesImplementationsAndModels) {
    tarvik_core::set_default_log_level(tarvik_core::LogLevel::off);
    const InspectionReport report = inspect_orchestration(example_file("cartpole"));
    EXPECT_TRUE(report.problems.empty());
    EXPECT_EQ(report.orchestration_id, "cartpole");
    const AgentReport& top = report.top;
    EXPECT_EQ(top.name, "supervisor");
    EXPECT_EQ(top.kind, "orchestrator");
    EXPECT_EQ(top.action_space, "Discrete(3)");  // over its three children
    EXPECT_EQ(top.observation_size, 5);
    EXPECT_EQ(top.observation_source, "all sensors");
    ASSERT_TRUE(top.model);
    EXPECT_EQ(top.model->path, (examples_dir() / "cartpole" / "models" / "supervisor.onnx").string());
    ASSERT_EQ(top.children.size(), 3u);

    const AgentReport& balance = top.children[0];
    EXPECT_EQ(balance.kind, "skill");
    EXPECT_EQ(balance.implementation_kind, "teacher");
    EXPECT_EQ(balance.implementation, "cart_teacher");
    EXPECT_EQ(balance.observation_size, 4);
    EXPECT_EQ(balance.observation_source, "the sensors teacher 'cart_teacher' keeps: x, x_dot, theta, theta_dot");
    ASSERT_TRUE(balance.model);
    ASSERT_EQ(balance.model->inputs.size(), 2u);
    EXPECT_EQ(balance.model->inputs[0].name, "observation");
    EXPECT_EQ(balance.model->inputs[0].shape, "[1, 4]");
    EXPECT_EQ(balance.model->inputs[1].name, "action_mask");
    EXPECT_EQ(balance.model->inputs[1].shape, "[1, 2]");
    ASSERT_EQ(balance.model->outputs.size(), 1u);
    EXPECT_EQ(balance.model->outputs[0].name, "action_dist_inputs");

    const AgentReport& rescue = top.children[2];
    EXPECT_EQ(rescue.kind, "controller");
    EXPECT_FALSE(rescue.model);
    EXPECT_EQ(rescue.model_note, "none: decided by controller rescue_controller");
}

TEST(InspectExamples, BothExamplesAreCleanThroughTheProgram) {
    for (const char* example : {"cartpole", "pendulum"}) {
        SCOPED_TRACE(example);
        const auto result = run_tarvik_inspect({example_file(example)});
        EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
        EXPECT_TRUE(contains(result.out, "No problems found.\n")) << result.out;
        EXPECT_EQ(result.err, "");
    }
    const auto pendulum = run_tarvik_inspect({example_file("pendulum")});
    EXPECT_TRUE(contains(pendulum.out, "phase: controller orchestrator, action space Discrete(2), controller "
                                       "phase_controller\n"))
        << pendulum.out;
    EXPECT_TRUE(contains(pendulum.out, "  swing_up: controller, action space Box(-2.0, 2.0, (1,), float32), "
                                       "controller energy_pump\n"))
        << pendulum.out;
}

// --- broken copies of the cart-pole example ---------------------------------------------

class BrokenCartPole : public ::testing::Test {
protected:
    void SetUp() override {
        tarvik_core::set_default_log_level(tarvik_core::LogLevel::off);
        file = copy_example("cartpole", dir.path());
    }
    fs::path model(const std::string& agent) const { return dir / "cartpole" / "models" / (agent + ".onnx"); }

    // Inspects in process and through the program; checks the exit code, that
    // the program prints the problem line, and that no file changed.
    InspectionReport inspect(int expected_exit) {
        const auto before = snapshot(dir.path());
        InspectionReport report = inspect_orchestration(file);
        const auto result = run_tarvik_inspect({file});
        EXPECT_EQ(result.exit_code, expected_exit) << result.out << result.err;
        for (const auto& problem : report.problems)
            EXPECT_TRUE(contains(result.out, std::string("  ") + severity_name(problem.severity) + ": agent " +
                                                 problem.agent + ", file " + problem.file + ": " + problem.message +
                                                 "\n"))
                << result.out;
        EXPECT_EQ(snapshot(dir.path()), before) << "the inspection wrote a file";
        return report;
    }

    tarvik_test::TempDir dir;
    std::string file;
};

TEST_F(BrokenCartPole, MissingModelIsAnErrorNamingTheFilesLookedFor) {
    fs::remove(model("balance"));
    const auto report = inspect(1);
    const Problem* problem = only_problem(report);
    ASSERT_NE(problem, nullptr);
    EXPECT_EQ(problem->severity, Severity::error);
    EXPECT_EQ(problem->agent, "balance");
    EXPECT_EQ(problem->file, model("balance").string());
    const fs::path models = dir / "cartpole" / "models";
    EXPECT_EQ(problem->message, "no model file (looked for " + model("balance").string() + ", " +
                                    (models / "balance" / "balance.onnx").string() + ", " +
                                    (models / "checkpoint" / "balance.onnx").string() +
                                    "); its first step fails with \"ONNX model not loaded for agent balance\"");
    EXPECT_FALSE(report.top.children[0].model);
}

TEST_F(BrokenCartPole, MissingOrchestratorModelNamesTheOrchestratorMessage) {
    fs::remove(model("supervisor"));
    const auto report = inspect(1);
    const Problem* problem = only_problem(report);
    ASSERT_NE(problem, nullptr);
    EXPECT_EQ(problem->agent, "supervisor");
    // Orchestrators never look in checkpoint/.
    EXPECT_FALSE(contains(problem->message, "checkpoint/supervisor.onnx")) << problem->message;
    EXPECT_TRUE(contains(problem->message, "\"ONNX model not loaded for orchestrator agent supervisor\""))
        << problem->message;
}

TEST_F(BrokenCartPole, ActionDistributionLengthMustFitTheActionSpace) {
    write_skill_model(model("balance"), 4, 3, 2);
    const auto report = inspect(1);
    const Problem* problem = only_problem(report);
    ASSERT_NE(problem, nullptr);
    EXPECT_EQ(problem->severity, Severity::error);
    EXPECT_EQ(problem->agent, "balance");
    EXPECT_EQ(problem->file, model("balance").string());
    EXPECT_EQ(problem->message,
              "action distribution length 3 (output 'action_dist_inputs') does not match the action space "
              "Discrete(2), which needs 2");
}

TEST_F(BrokenCartPole, ModelWithoutMaskInputIsOnlyAWarningAndIsNotRewritten) {
    write_skill_model(model("recenter"), 4, 2, 0);
    const auto report = inspect(0);  // inspect() also checks that the file is unchanged
    const Problem* problem = only_problem(report);
    ASSERT_NE(problem, nullptr);
    EXPECT_EQ(problem->severity, Severity::warning);
    EXPECT_EQ(problem->agent, "recenter");
    EXPECT_EQ(problem->message, "no input whose name contains \"action_mask\": the runtime adds one when it loads the "
                                "model, rewriting " +
                                    model("recenter").string());
}

TEST_F(BrokenCartPole, ObservationSizeMustFitTheTeachersSensors) {
    write_skill_model(model("balance"), 5, 2, 2);  // the teacher keeps 4 sensors
    const auto report = inspect(1);
    const Problem* problem = only_problem(report);
    ASSERT_NE(problem, nullptr);
    EXPECT_EQ(problem->severity, Severity::error);
    EXPECT_EQ(problem->agent, "balance");
    EXPECT_EQ(problem->message,
              "observation input 'observation' is declared [1, 5], but the agent's observation is (1, 4) (the sensors "
              "teacher 'cart_teacher' keeps: x, x_dot, theta, theta_dot)");
}

TEST_F(BrokenCartPole, ObservationWithAFreeDimensionCannotBeFed) {
    tarvik_test::ModelBuilder builder;
    builder.input("observation", tarvik_core::DType::Float32, Dims{"batch", 4})
        .input("action_mask", tarvik_core::DType::Float64, Dims{1, 2})
        .output("action_dist_inputs", tarvik_core::DType::Float32, Dims{1, 2})
        .constant("action_dist_inputs", {0.0f, 1.0f}, {1, 2})
        .write(model("balance"));
    const auto report = inspect(1);
    const Problem* problem = only_problem(report);
    ASSERT_NE(problem, nullptr);
    EXPECT_TRUE(contains(problem->message, "observation input 'observation' is declared ['batch', 4]"))
        << problem->message;
}

TEST_F(BrokenCartPole, MaskInputOfTheWrongLengthIsAnError) {
    write_skill_model(model("balance"), 4, 2, 3);
    const auto report = inspect(1);
    const Problem* problem = only_problem(report);
    ASSERT_NE(problem, nullptr);
    EXPECT_EQ(problem->message,
              "action mask input 'action_mask' is declared [1, 3] (3 values), but the mask of Discrete(2) has 2");
}

TEST_F(BrokenCartPole, UnloadableModelIsAnError) {
    dir.write("cartpole/models/balance.onnx", "not a model at all");
    const auto report = inspect(1);
    const Problem* problem = only_problem(report);
    ASSERT_NE(problem, nullptr);
    EXPECT_EQ(problem->agent, "balance");
    EXPECT_EQ(problem->file, model("balance").string());
    EXPECT_TRUE(contains(problem->message, "the model cannot be loaded: ")) << problem->message;
    EXPECT_EQ(report.top.children[0].model_note, "cannot be loaded");
}

TEST_F(BrokenCartPole, FreeOutputLengthIsCheckedByATrialRun) {
    // A free last dimension and three values produced: only running it shows that.
    tarvik_test::ModelBuilder builder;
    builder.input("observation", tarvik_core::DType::Float32, Dims{1, 4})
        .input("action_mask", tarvik_core::DType::Float64, Dims{1, 2})
        .output("action_dist_inputs", tarvik_core::DType::Float32, Dims{1, "n"})
        .constant("action_dist_inputs", {0.0f, 1.0f, 2.0f}, {1, 3})
        .write(model("balance"));
    const auto report = inspect(1);
    const Problem* problem = only_problem(report);
    ASSERT_NE(problem, nullptr);
    EXPECT_EQ(problem->message,
              "action distribution length 3 (output 'action_dist_inputs') does not match the action space "
              "Discrete(2), which needs 2");
}

TEST_F(BrokenCartPole, SecondCandidateFolderIsFound) {
    fs::create_directories(dir / "cartpole" / "models" / "balance");
    fs::rename(model("balance"), dir / "cartpole" / "models" / "balance" / "balance.onnx");
    const auto report = inspect(0);
    EXPECT_TRUE(report.problems.empty());
    ASSERT_TRUE(report.top.children[0].model);
    EXPECT_EQ(report.top.children[0].model->path, (dir / "cartpole" / "models" / "balance" / "balance.onnx").string());
}

TEST_F(BrokenCartPole, SeveralProblemsAreAllListedWithTheirCounts) {
    fs::remove(model("balance"));
    write_skill_model(model("recenter"), 4, 2, 0);
    const auto result = run_tarvik_inspect({file});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_TRUE(contains(result.out, "\n1 error, 1 warning:\n")) << result.out;
    const auto json_result = run_tarvik_inspect({file, "--json"});
    EXPECT_EQ(json_result.exit_code, 1);
    const json report = json::parse(json_result.out);
    EXPECT_EQ(report["errors"], 1);
    EXPECT_EQ(report["warnings"], 1);
    EXPECT_EQ(report["problems"][0]["agent"], "balance");
    EXPECT_EQ(report["problems"][0]["severity"], "error");
    EXPECT_EQ(report["problems"][1]["agent"], "recenter");
    EXPECT_EQ(report["problems"][1]["severity"], "warning");
    // The tree: the missing model is null, the other skill's inputs are listed.
    EXPECT_EQ(report["top_agent"]["name"], "supervisor");
    EXPECT_TRUE(report["top_agent"]["children"][0]["model"].is_null());
    EXPECT_EQ(report["top_agent"]["children"][1]["model"]["inputs"][0]["shape"], "[1, 4]");
}

// --- hand-written orchestrations with host-registered implementations -------------------

constexpr const char* kSensors = R"(
  "sensors": [
    {"name": "pos", "space": {"type": "Box", "low": -1.0, "high": 1.0, "shape": [2]}},
    {"name": "mode", "space": {"type": "Discrete", "n": 3}}
  ],)";

class InspectTrees : public ::testing::Test {
protected:
    void SetUp() override { tarvik_core::set_default_log_level(tarvik_core::LogLevel::off); }
    tarvik_core::OrchestrationPtr orchestration(const std::string& agents, const std::string& top) {
        return tarvik_test::orchestration_from_json(
            R"({"id": "tree",)" + std::string(kSensors) + R"( "agents": [)" + agents + R"(], "top_agent": ")" + top +
                R"("})",
            dir.path().string());
    }
    std::vector<std::string> messages(const InspectionReport& report) {
        std::vector<std::string> out;
        for (const auto& p : report.problems) out.push_back(std::string(severity_name(p.severity)) + " " + p.agent + ": " + p.message);
        return out;
    }
    tarvik_test::TempDir dir;
};

TEST_F(InspectTrees, CoordinatedGroupsAndAgentsWithoutCheckpointOrActionSpace) {
    auto orch = orchestration(R"(
      {"name": "top", "kind": "orchestrator", "children": ["team", "loose", "bare"], "checkpoint": "m"},
      {"name": "team", "kind": "coordinated_set", "children": ["crowd"]},
      {"name": "crowd", "kind": "coordinated_population", "children": ["loose"]},
      {"name": "loose", "kind": "skill", "action_space": {"type": "Discrete", "n": 2}},
      {"name": "bare", "kind": "skill", "checkpoint": "m"})",
                              "top");
    write_skill_model(dir / "m" / "top.onnx", 5, 3, 3);
    const InspectionReport report = inspect_orchestration(orch);
    EXPECT_EQ(messages(report),
              (std::vector<std::string>{
                  "error team: the runtime cannot run a coordinated set: packaging fails with \"ONNX inference for "
                  "AgentCoordinatedSet is not yet implemented. Agent: team\"",
                  "error crowd: the runtime cannot run a coordinated population: packaging fails with \"ONNX inference "
                  "for AgentCoordinatedPopulation is not yet implemented. Agent: crowd\"",
                  "error loose: no checkpoint folder is given, so no model is loaded; its first step fails with \"ONNX "
                  "model not loaded for agent loose\"",
                  "error bare: the agent has no action space, so its processor cannot be built (packaging fails)"}));
    // loose sits under two parents but is checked once; the problems name the
    // orchestration file when no model file is involved.
    EXPECT_EQ(report.problems[2].file, orch->source());
    EXPECT_EQ(report.top.children[0].kind, "coordinated set");
    EXPECT_EQ(report.top.children[0].children[0].kind, "coordinated population");
    EXPECT_EQ(report.top.children[0].children[0].children[0].name, "loose");
    EXPECT_TRUE(report.has_errors());
}

TEST_F(InspectTrees, AgentsOutsideTheTopTreeAreListedNotChecked) {
    auto orch = orchestration(R"(
      {"name": "solo", "kind": "controller", "controller": "ctl", "action_space": {"type": "Discrete", "n": 2}},
      {"name": "stray", "kind": "skill"})",
                              "solo");
    tarvik_test::register_fake_controller(orch->registry(), "ctl");
    const InspectionReport report = inspect_orchestration(orch);
    EXPECT_TRUE(report.problems.empty()) << messages(report).front();
    EXPECT_EQ(report.outside_tree, (std::vector<std::string>{"stray"}));
    EXPECT_EQ(report.top.observation_size, 5);  // pos (2) + mode one-hot (3)
}

TEST_F(InspectTrees, TeacherFilterDecidesTheObservationAndItsFailuresAreWarnings) {
    auto orch = orchestration(R"(
      {"name": "top", "kind": "orchestrator", "children": ["picky", "fussy", "remote"], "controller": "ctl"},
      {"name": "picky", "kind": "skill", "teacher": "mode_only", "checkpoint": "m", "action_space": {"type": "Discrete", "n": 2}},
      {"name": "fussy", "kind": "skill", "teacher": "failing", "checkpoint": "m", "action_space": {"type": "Discrete", "n": 2}},
      {"name": "remote", "kind": "skill", "teacher": "mode_only", "remote": true, "checkpoint": "m",
       "action_space": {"type": "Discrete", "n": 2}})",
                              "top");
    tarvik_test::register_fake_controller(orch->registry(), "ctl");
    tarvik_test::register_fake_teacher(orch->registry(), "mode_only", [](tarvik_test::FakeTeacher& teacher) {
        teacher.filtered_keys = tarvik_core::List{"mode"};
    });
    tarvik_test::register_fake_teacher(orch->registry(), "failing", [](tarvik_test::FakeTeacher& teacher) {
        teacher.filtered_error = std::make_exception_ptr(tarvik_core::RuntimeError("no filter today"));
    });
    write_skill_model(dir / "m" / "picky.onnx", 3, 2, 2);   // mode one-hot: 3
    write_skill_model(dir / "m" / "fussy.onnx", 5, 2, 2);   // all sensors: 5
    write_skill_model(dir / "m" / "remote.onnx", 3, 2, 2);  // assumed all sensors: 5, so a mismatch
    const InspectionReport report = inspect_orchestration(orch);
    EXPECT_EQ(messages(report),
              (std::vector<std::string>{
                  "warning fussy: filtered_sensor_space() of teacher 'failing' fails (no filter today); the runtime "
                  "falls back to all sensors",
                  "warning remote: observation input 'observation' is declared [1, 3], but the agent's observation is "
                  "(1, 5) (all sensors (assumed: the remote teacher mode_only chooses when it runs))"}));
    EXPECT_FALSE(report.has_errors());
    EXPECT_EQ(report.top.children[0].observation_source, "the sensors teacher 'mode_only' keeps: mode");
    EXPECT_EQ(report.top.model_note, "none: decided by controller ctl");
}

TEST_F(InspectTrees, ImplementationsThatCannotBeMadeOrNameUnknownSensorsAreErrors) {
    auto orch = orchestration(R"(
      {"name": "top", "kind": "orchestrator", "children": ["a", "b"], "controller": "ctl"},
      {"name": "a", "kind": "controller", "controller": "exploding", "action_space": {"type": "Discrete", "n": 2}},
      {"name": "b", "kind": "controller", "controller": "ghostly", "action_space": {"type": "Discrete", "n": 2}})",
                              "top");
    tarvik_test::register_fake_controller(orch->registry(), "ctl");
    orch->registry().add_controller("exploding", []() -> std::shared_ptr<tarvik_core::Controller> {
        throw tarvik_core::ValueError("cannot start the motor");
    });
    tarvik_test::register_fake_controller(orch->registry(), "ghostly", [](tarvik_test::FakeController& controller) {
        controller.filtered_keys = tarvik_core::List{"pos", "ghost"};
    });
    const InspectionReport report = inspect_orchestration(orch);
    const auto found = messages(report);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0], "error a: cannot create its controller 'exploding': cannot start the motor (packaging fails the "
                        "same way)");
    EXPECT_TRUE(contains(found[1], "error b: its sensors cannot be gathered: 'ghost' is not a sensor of ")) << found[1];
}

struct CandidateCase {
    const char* name;
    std::string agents;  // the agent under test is named "x"
    std::vector<std::string> expected;  // relative to the checkpoint folder "ck"
};

TEST_F(InspectTrees, ModelCandidatesFollowTheRuntimesSearchPerKind) {
    const std::string child =
        R"(, {"name": "c", "kind": "controller", "controller": "ctl", "action_space": {"type": "Discrete", "n": 2}})";
    const std::vector<CandidateCase> cases = {
        {"skill", R"({"name": "x", "kind": "skill", "checkpoint": "ck", "action_space": {"type": "Discrete", "n": 2}})",
         {"x.onnx", "x/x.onnx", "checkpoint/x.onnx"}},
        {"orchestrator", R"({"name": "x", "kind": "orchestrator", "children": ["c"], "checkpoint": "ck"})" + child,
         {"x.onnx", "x/x.onnx"}},
        {"controller",
         R"({"name": "x", "kind": "controller", "controller": "ctl", "checkpoint": "ck", "action_space": {"type": "Discrete", "n": 2}})",
         {}},
        {"controller orchestrator",
         R"({"name": "x", "kind": "orchestrator", "children": ["c"], "controller": "ctl", "checkpoint": "ck"})" + child,
         {}},
        {"skill without checkpoint", R"({"name": "x", "kind": "skill"})", {}},
        {"coordinated set", R"({"name": "x", "kind": "coordinated_set", "children": ["c"], "checkpoint": "ck"})" + child,
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto orch = orchestration(c.agents, "x");
        std::vector<std::string> relative;
        for (const auto& path : model_candidates(*orch->get_top_agent()))
            relative.push_back(path.lexically_relative(dir / "ck").string());
        EXPECT_EQ(relative, c.expected);
    }
}

// --- the program's command line and load failures ----------------------------------------

TEST(InspectCommandLine, ExitCodesForBadCommandLinesAndUnloadableOrchestrations) {
    const auto none = run_tarvik_inspect({});
    EXPECT_EQ(none.exit_code, 2);
    EXPECT_TRUE(contains(none.err, "orchestration is required")) << none.err;

    const auto unknown = run_tarvik_inspect({example_file("cartpole"), "--fix"});
    EXPECT_EQ(unknown.exit_code, 2);
    EXPECT_TRUE(contains(unknown.err, "--fix")) << unknown.err;

    const auto help = run_tarvik_inspect({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_TRUE(contains(help.out, "Usage: tarvik-inspect [OPTIONS] orchestration")) << help.out;

    tarvik_test::TempDir dir;
    const std::string missing = (dir / "none.json").string();
    const auto absent = run_tarvik_inspect({missing});
    EXPECT_EQ(absent.exit_code, 1);
    EXPECT_EQ(absent.err, "tarvik-inspect: error: orchestration file not found: " + missing + "\n");
    EXPECT_EQ(absent.out, "");

    // Implementations that no plugin registers: init() fails, naming the file.
    const std::string every_kind = (examples_dir() / "orchestrations" / "every_kind" / "orchestration.json").string();
    const auto unregistered = run_tarvik_inspect({every_kind});
    EXPECT_EQ(unregistered.exit_code, 1);
    EXPECT_EQ(unregistered.err, "tarvik-inspect: error: " + every_kind +
                                    ": $.agents[0].teacher: no teacher named 'mission_teacher' is registered (known: [])\n");
}

}  // namespace
