// Finding and loading an agent's model during init: the three candidate
// places in order, what counts as found, the agents that have no model, the
// best-effort mask preparation and a model that cannot be loaded.
#include <fstream>
#include <iterator>

#include "actuon_support.hpp"
#include "tarvik_core/modelaid.hpp"

namespace actuon_test {
namespace {

constexpr LogLevel kInfo = LogLevel::info;
constexpr LogLevel kWarning = LogLevel::warning;
constexpr LogLevel kError = LogLevel::error;

std::string file_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool has_input(const GrafexEngine& engine, const std::string& name) {
    const auto& names = engine.input_names();
    return std::find(names.begin(), names.end(), name) != names.end();
}

// An agent node whose get_action_space() fails once `failure` is set, as a
// node backed by a remote or half-built graph might.
class FlakyAgent : public Agent {
public:
    using Agent::Agent;
    std::exception_ptr failure;
    SpacePtr get_action_space() const override {
        if (failure) std::rethrow_exception(failure);
        return Agent::get_action_space();
    }
};

class ModelLocation : public ActuonTest {
protected:
    // A node outside the orchestration file, sharing its sensors.
    template <class Node = Agent>
    std::shared_ptr<Node> custom_agent(const std::string& name, std::optional<std::string> checkpoint) {
        return std::make_shared<Node>(AgentDefinition{
            .name = name,
            .action_space = std::make_shared<sp::Discrete>(3),
            .sim_sensor_space = orchestration->get_node_by_name("skill")->get_sim_sensor_space(),
            .checkpoint_uri = std::move(checkpoint)});
    }

    std::shared_ptr<Actuon> make_for(GraphNodePtr node) {
        return std::make_shared<Actuon>(AgentProcessorContext{.orchestration = orchestration, .agent = std::move(node)});
    }

    std::int64_t decide(Actuon& p, Value sim_action_mask = {}) {
        return run_sync(p._execute(readings(), {.sim_action_mask = std::move(sim_action_mask)})).as_int();
    }

    LogCapture logs{"tarvik_inference.actuon"};
};

TEST_F(ModelLocation, TheFirstCandidateThatExistsIsLoaded) {
    // Filled from the last place to the first; each place holds a model that
    // chooses its own index, so the decision shows which one was loaded.
    const std::vector<std::string> candidates = {"skill.onnx", "skill/skill.onnx", "checkpoint/skill.onnx"};
    for (int i = 2; i >= 0; --i) {
        SCOPED_TRACE(candidates[i]);
        logs.clear();
        std::vector<float> logits(3, 0.0f);
        logits[i] = 1.0f;
        const fs::path path = write_policy(ckpt() / candidates[i], logits);
        auto p = make("skill");
        ASSERT_TRUE(p->onnx_engine);
        EXPECT_EQ(p->onnx_engine->model_path, path.string());
        EXPECT_EQ(logs.messages(kInfo), std::vector<std::string>{"Loaded ONNX model for agent skill from " + path.string()});
        EXPECT_TRUE(logs.messages(kWarning).empty());
        EXPECT_TRUE(has_input(*p->onnx_engine, "action_mask")) << "the mask input is added before loading";
        EXPECT_EQ(decide(*p), i);
    }
}

TEST_F(ModelLocation, ADirectoryAtACandidateCountsAsFound) {
    fs::create_directories(ckpt() / "skill.onnx");
    write_policy(ckpt() / "skill" / "skill.onnx", {0, 1, 0});
    auto p = make("skill", /*initialise=*/false);
    try {
        run_sync(p->init());
        FAIL() << "loading a directory as a model must fail";
    } catch (const Error& e) {
        const std::string prefix = "Failed to load ONNX model for agent skill: ";
        EXPECT_EQ(logs.messages(kError), std::vector<std::string>{prefix + e.what()});
    }
    EXPECT_EQ(logs.count_prefix(kWarning, "Failed to ensure action_mask in ONNX model for agent skill: "), 1u)
        << "mask preparation ran on the directory, not on the model behind it";
    EXPECT_FALSE(p->onnx_engine);
}

TEST_F(ModelLocation, NoModelAnywhereWarnsOnceAndFailsOnlyWhenAnActionIsAsked) {
    fs::create_directories(ckpt());
    auto p = make("skill");
    EXPECT_EQ(logs.messages(kWarning),
              std::vector<std::string>{"ONNX model not found at " + (ckpt() / "checkpoint" / "skill.onnx").string() +
                                       " for agent skill"});
    EXPECT_TRUE(p->_is_initialized);
    EXPECT_FALSE(p->onnx_engine);
    try {
        decide(*p);
        FAIL() << "expected a RuntimeError";
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "ONNX model not loaded for agent skill");
    }
}

TEST_F(ModelLocation, AnEmptyCheckpointIsAnEmptyFolderNotAMissingOne) {
    auto p = make_for(custom_agent("unplaced_agent", std::string()));
    run_sync(p->init());
    EXPECT_EQ(logs.messages(kWarning),
              std::vector<std::string>{"ONNX model not found at checkpoint/unplaced_agent.onnx for agent unplaced_agent"});
}

TEST_F(ModelLocation, NoCheckpointWarnsAndLooksNowhere) {
    auto p = make("nockpt");
    EXPECT_EQ(logs.messages(kWarning),
              std::vector<std::string>{"No checkpoint URI found for agent nockpt, cannot load ONNX model"});
    EXPECT_TRUE(logs.messages(kInfo).empty());
    EXPECT_FALSE(p->onnx_engine);
}

TEST_F(ModelLocation, ControllerAgentsLoadNoModelEvenWhenOneIsThere) {
    const fs::path path = write_policy(ckpt() / "ctrl.onnx", {0.5f, 0.0f});
    const std::string before = file_bytes(path);
    auto p = make("ctrl");
    EXPECT_EQ(logs.messages(kInfo),
              std::vector<std::string>{"Agent ctrl is a controller, will use Python implementation instead of ONNX model"});
    EXPECT_TRUE(logs.messages(kWarning).empty());
    EXPECT_FALSE(p->onnx_engine);
    EXPECT_EQ(file_bytes(path), before) << "the model file was not even prepared";
}

TEST_F(ModelLocation, FailedMaskPreparationWarnsOnceAndTheModelIsStillUsed) {
    // A model with an inner value named "action_mask": no input of that name
    // can be added, so preparation fails; the model itself runs fine.
    ModelBuilder b;
    b.input("obs", DType::Float32, {1, kObsSize});
    b.constant("action_mask", {0.1f, 5.0f, 0.2f}, {1, 3});
    b.identity("action_mask", "action_dist_inputs");
    b.output("action_dist_inputs", DType::Float32, {1, 3});
    const fs::path path = b.write(ckpt() / "skill.onnx");

    auto p = make("skill");
    const auto warnings = logs.messages(kWarning);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind("Failed to ensure action_mask in ONNX model for agent skill: ", 0), 0u) << warnings[0];
    EXPECT_NE(warnings[0].find(path.string()), std::string::npos) << "the reason names the model";
    ASSERT_TRUE(p->onnx_engine);
    EXPECT_FALSE(has_input(*p->onnx_engine, "action_mask"));
    EXPECT_EQ(decide(*p), 1);
    EXPECT_EQ(decide(*p, List{1, 0, 1}), 2) << "the logits are still masked";
}

TEST_F(ModelLocation, ActionSpaceFailureStillPreparesTheModelWithNoSpace) {
    auto node = custom_agent<FlakyAgent>("flaky", ckpt().string());
    const fs::path path = write_policy(ckpt() / "flaky.onnx", {0, 0, 1});
    auto p = make_for(node);
    node->failure = std::make_exception_ptr(RuntimeError("action space unavailable"));
    LogCapture modelaid_logs(kModelaidModule);
    run_sync(p->init());

    EXPECT_TRUE(logs.messages(kWarning).empty()) << "the failure is swallowed silently";
    EXPECT_TRUE(modelaid_logs.contains(LogLevel::debug, "No action space for agent flaky: ONNX model " + path.string() +
                                                            " left without an action_mask input"))
        << "preparation was called, with no action space";
    ASSERT_TRUE(p->onnx_engine);
    EXPECT_FALSE(has_input(*p->onnx_engine, "action_mask"));
}

TEST_F(ModelLocation, CancellationWhileReadingTheActionSpaceIsNotSwallowed) {
    auto node = custom_agent<FlakyAgent>("flaky", ckpt().string());
    write_policy(ckpt() / "flaky.onnx", {0, 0, 1});
    auto p = make_for(node);
    node->failure = std::make_exception_ptr(Cancelled());
    EXPECT_THROW(run_sync(p->init()), Cancelled);
    EXPECT_TRUE(logs.messages(kWarning).empty());
    EXPECT_FALSE(p->onnx_engine);
}

TEST_F(ModelLocation, AnInvalidModelFileIsLoggedAndFailsInit) {
    dir.write("ckpt/skill.onnx", "this is not an onnx model");
    auto p = make("skill", /*initialise=*/false);
    try {
        run_sync(p->init());
        FAIL() << "expected the engine's error";
    } catch (const Error& e) {
        EXPECT_EQ(logs.messages(kError),
                  std::vector<std::string>{std::string("Failed to load ONNX model for agent skill: ") + e.what()});
    }
    EXPECT_TRUE(logs.messages(kInfo).empty()) << "no \"Loaded\" line";
    EXPECT_FALSE(p->onnx_engine);
}

}  // namespace
}  // namespace actuon_test
