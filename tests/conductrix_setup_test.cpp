// Building an orchestrator processor: its action space and its children's
// sensor space, what init() loads and logs, the children it creates through
// the processor factory, and the child lookups.
#include "conductrix_support.hpp"

#include <fstream>

namespace conductrix_test {
namespace {

using SetupTest = OrchestratorTest;
using tarvik_core::spaces::Discrete;

TEST_F(SetupTest, ConstructionBindsTheOrchestratorToItsChildren) {
    auto node = orchestration->get_node_by_name("modeled");
    auto sim_space = std::make_shared<Discrete>(7);
    node->set_sim_sensor_space(sim_space);
    Conductrix p(context_for("modeled"));
    auto discrete = std::dynamic_pointer_cast<const Discrete>(p.action_space);
    ASSERT_NE(discrete, nullptr);
    EXPECT_EQ(discrete->n(), 2);
    EXPECT_EQ(node->get_action_space(), p.action_space) << "the node carries the same space";
    EXPECT_EQ(values_of(p.no_action_mask), (std::vector<double>{1, 1}));
    // Every child node is given the orchestrator's simulator sensor space.
    for (const char* name : {"left", "right"})
        EXPECT_EQ(orchestration->get_node_by_name(name)->get_sim_sensor_space(), sim_space) << name;
    EXPECT_NE(orchestration->get_node_by_name("middle")->get_sim_sensor_space(), sim_space) << "not a child";
    EXPECT_TRUE(p.child_agent_processors.empty());
    EXPECT_EQ(p.onnx_engine, nullptr);
}

TEST_F(SetupTest, OnlyOrchestratorsAreAccepted) {
    struct Case {
        const char* agent;
        const char* kind;
        const char* message;
    } cases[] = {
        {"left", "Exception", "Conductrix must be used with a AgentOrchestrator, got left, <class 'Agent'>"},
        {"fleet", "Exception",
         "Conductrix must be used with a AgentOrchestrator, got fleet, <class 'AgentCoordinatedSet'>"},
        // The shared set-up runs first and refuses an agent without actions.
        {"bare", "Exception", kNoActionSpaceMessage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.agent);
        try {
            Conductrix p(context_for(c.agent));
            ADD_FAILURE() << "constructed";
        } catch (const tarvik_core::Error& e) {
            EXPECT_STREQ(e.kind(), c.kind);
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

// A controller whose filtered_sensor_space() takes `delay`, recording when it
// is done: children of different speeds initialise concurrently.
class DelayedController : public Controller {
public:
    DelayedController(std::string name, std::chrono::milliseconds delay, std::shared_ptr<std::vector<std::string>> done)
        : name_(std::move(name)), delay_(delay), done_(std::move(done)) {}
    Task<Value> filtered_sensor_space() override {
        boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, delay_);
        co_await timer.async_wait(boost::asio::use_awaitable);
        done_->push_back(name_);
        co_return Value();
    }
    Task<Value> compute_action(const Value&, const Value&) override { co_return Value(0); }

private:
    std::string name_;
    std::chrono::milliseconds delay_;
    std::shared_ptr<std::vector<std::string>> done_;
};

TEST_F(SetupTest, InitBuildsOneProcessorPerChildInChildOrderWhateverFinishesFirst) {
    auto race = orchestration_from_json(R"({
      "id": "race",
      "sensors": [{"name": "x", "space": {"type": "Box", "low": -1.0, "high": 1.0, "shape": [1]}}],
      "agents": [
        {"name": "race", "kind": "orchestrator", "children": ["slow", "steady", "quick"], "controller": "now"},
        {"name": "slow", "kind": "controller", "controller": "slow", "action_space": {"type": "Discrete", "n": 2}},
        {"name": "steady", "kind": "controller", "controller": "steady", "action_space": {"type": "Discrete", "n": 2}},
        {"name": "quick", "kind": "controller", "controller": "quick", "action_space": {"type": "Discrete", "n": 2}}
      ],
      "top_agent": "race"
    })");
    auto done = std::make_shared<std::vector<std::string>>();
    auto add = [&](const char* name, int ms) {
        race->registry().add_controller(name, [=] {
            return std::make_shared<DelayedController>(name, std::chrono::milliseconds(ms), done);
        });
    };
    add("now", 0);
    add("slow", 40);
    add("steady", 20);
    add("quick", 0);
    run_sync(race->init());

    auto p = std::make_shared<Conductrix>(AgentProcessorContext{.orchestration = race, .agent = race->get_top_agent()});
    run_sync(p->init());
    EXPECT_EQ(*done, (std::vector<std::string>{"now", "quick", "steady", "slow"}));
    std::vector<std::string> names;
    for (const auto& child : p->get_child_agent_processors()) {
        names.push_back(child->get_agent_name());
        EXPECT_EQ(class_name_of(typeid(*child)), "Actuon");
        EXPECT_TRUE(child->_is_initialized);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"slow", "steady", "quick"}));
    EXPECT_TRUE(p->_is_initialized);
}

TEST_F(SetupTest, ChildContextsAreNeverTrainingNorForAGroup) {
    auto network = std::make_shared<AwaitingNetworkMgr>();
    for (bool validating : {true, false}) {
        SCOPED_TRACE(validating ? "validating" : "not validating");
        AgentProcessorContext context{.orchestration = orchestration,
                                      .agent = orchestration->get_node_by_name("top"),
                                      .network_mgr = network,
                                      .is_training = true,
                                      .is_validating = validating,
                                      .for_agent_group = true,
                                      .name = "display"};
        auto p = std::make_shared<Conductrix>(context);
        run_sync(p->init());
        ASSERT_EQ(p->child_agent_processors.size(), 3u);
        for (const auto& child : p->child_agent_processors) {
            SCOPED_TRACE(child->get_agent_name());
            const auto& c = child->context;
            EXPECT_EQ(c.orchestration, orchestration);
            EXPECT_EQ(c.network_mgr, network);
            EXPECT_FALSE(c.is_training);
            EXPECT_EQ(c.is_validating, validating);
            EXPECT_FALSE(c.for_agent_group);
            EXPECT_FALSE(c.name.has_value());
        }
    }
}

class ModelSetupTest : public OrchestratorTest {
protected:
    std::string checkpoint() { return *orchestration->get_node_by_name("modeled")->get_checkpoint_uri(); }
    std::string first() { return checkpoint() + "/modeled.onnx"; }
    std::string second() { return checkpoint() + "/modeled/modeled.onnx"; }
    void write_model(const std::string& path) { write_logits_model(path, {.logits = {1, 2}, .mask_size = 2}); }

    std::shared_ptr<Conductrix> init(const std::string& agent = "modeled") {
        auto p = std::make_shared<Conductrix>(context_for(agent));
        run_sync(p->init());
        return p;
    }
};

TEST_F(ModelSetupTest, ModelIsFoundUnderEitherOfTwoCandidates) {
    struct Case {
        const char* name;
        std::vector<std::string> files;
        std::string loaded;  // empty: none
    } cases[] = {
        {"first candidate", {first()}, first()},
        {"sub-folder named after the agent", {second()}, second()},
        {"both: the first wins", {first(), second()}, first()},
        {"neither", {}, ""},
        // A single agent would also look in <checkpoint>/checkpoint; an
        // orchestrator does not.
        {"checkpoint sub-folder is not a candidate", {checkpoint() + "/checkpoint/modeled.onnx"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(checkpoint());
        for (const auto& f : c.files) write_model(f);
        LogCapture logs("tarvik_inference.conductrix");
        auto p = init();
        if (c.loaded.empty()) {
            EXPECT_EQ(p->onnx_engine, nullptr);
            EXPECT_EQ(logs.messages(LogLevel::warning),
                      (std::vector<std::string>{"ONNX model not found at " + second() + " for agent modeled"}));
            EXPECT_TRUE(logs.messages(LogLevel::info).empty());
        } else {
            ASSERT_NE(p->onnx_engine, nullptr);
            EXPECT_EQ(p->onnx_engine->model_path, c.loaded);
            EXPECT_EQ(logs.messages(LogLevel::info),
                      (std::vector<std::string>{"Loaded ONNX model for orchestrator agent modeled from " + c.loaded}));
            EXPECT_TRUE(logs.messages(LogLevel::warning).empty());
        }
        // The children are created either way.
        EXPECT_EQ(p->child_agent_processors.size(), 2u);
        EXPECT_TRUE(p->_is_initialized);
    }
}

TEST_F(ModelSetupTest, WithoutACheckpointTheOrchestratorStillInitialises) {
    LogCapture logs("tarvik_inference.conductrix");
    auto p = init("top");
    EXPECT_EQ(p->onnx_engine, nullptr);
    EXPECT_EQ(logs.messages(LogLevel::warning),
              (std::vector<std::string>{"No checkpoint URI found for agent top, cannot load ONNX model"}));
    EXPECT_EQ(p->child_agent_processors.size(), 3u);
    EXPECT_TRUE(p->_is_initialized);
}

TEST_F(ModelSetupTest, ControllerOrchestratorNeverLoadsAModel) {
    // A loadable model where the orchestrator would look for one.
    write_model(*orchestration->get_node_by_name("boss")->get_checkpoint_uri() + "/boss.onnx");
    LogCapture logs("tarvik_inference.conductrix");
    auto p = init("boss");
    EXPECT_EQ(p->onnx_engine, nullptr);
    EXPECT_EQ(logs.lines().size(), 1u);
    EXPECT_TRUE(logs.contains(LogLevel::info,
                              "Agent boss is a controller orchestrator, will use Python implementation instead of "
                              "ONNX model"));
    EXPECT_NE(p->controller, nullptr);
    EXPECT_EQ(p->child_agent_processors.size(), 3u);
}

TEST_F(ModelSetupTest, FailedMaskPreparationOnlyWarns) {
    // No input takes a mask, and a graph value already holds the name a new
    // mask input would need: the preparation refuses, the model still loads.
    ModelBuilder b;
    b.input("obs", DType::Float32, {1, 2});
    b.identity("obs", "action_mask");
    b.constant("logits", {1, 2}, {1, 2});
    b.identity("logits", "action_dist_inputs");
    b.output("action_dist_inputs", DType::Float32, {1, 2});
    b.write(first());
    LogCapture logs("tarvik_inference.conductrix");
    auto p = init();
    EXPECT_EQ(logs.count_prefix(LogLevel::warning, "Failed to ensure action_mask in ONNX model for orchestrator modeled: "),
              1u);
    EXPECT_EQ(logs.messages(LogLevel::warning).size(), 1u);
    ASSERT_NE(p->onnx_engine, nullptr);
    EXPECT_TRUE(logs.contains(LogLevel::info, "Loaded ONNX model for orchestrator agent modeled from " + first()));
}

TEST_F(ModelSetupTest, FailedModelLoadFailsInitBeforeAnyChild) {
    std::filesystem::create_directories(checkpoint());
    std::ofstream(first()) << "not a model";
    LogCapture logs("tarvik_inference.conductrix");
    LogCapture factory_logs("tarvik_inference.moldrix");
    auto p = std::make_shared<Conductrix>(context_for("modeled"));
    std::string message;
    try {
        run_sync(p->init());
        ADD_FAILURE() << "init succeeded";
    } catch (const std::exception& e) {
        message = e.what();
    }
    EXPECT_EQ(logs.messages(LogLevel::error),
              (std::vector<std::string>{"Failed to load ONNX model for orchestrator agent modeled: " + message}));
    EXPECT_EQ(p->onnx_engine, nullptr);
    EXPECT_TRUE(p->child_agent_processors.empty());
    EXPECT_TRUE(factory_logs.lines().empty()) << "no child creation was started";
}

TEST_F(SetupTest, ChildrenByIndex) {
    auto p = ready("top", nullptr);
    struct Case {
        const char* name;
        Value index;
        ProcessorPtr expected;
    } cases[] = {
        {"first", 0, left},
        {"last", 2, right},
        {"one past the end", 3, nullptr},
        {"negative", -1, nullptr},
        {"fraction truncates", 1.9, middle},
        {"negative fraction truncates toward zero", -0.5, left},
        {"bool", true, middle},
        {"far beyond 64 bits", 1e300, nullptr},
        {"far below 64 bits", -1e300, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(p->get_child_processor_by_index(c.index), c.expected);
    }
    // Plain C++ numbers follow the same rules as the values above.
    EXPECT_EQ(p->get_child_processor_by_index(std::int64_t{1}), middle);
    EXPECT_EQ(p->get_child_processor_by_index(2), right);
    EXPECT_EQ(p->get_child_processor_by_index(std::size_t{1}), middle);
    EXPECT_EQ(p->get_child_processor_by_index(~std::uint64_t{0}), nullptr) << "not -1 after a cast";
    EXPECT_EQ(p->get_child_processor_by_index(1.9), middle);
    EXPECT_EQ(p->get_child_processor_by_index(1e300), nullptr);
    expect_error<ValueError>([&] { p->get_child_processor_by_index(std::nan("")); },
                             "cannot convert float NaN to integer");
    expect_error<TypeError>([&] { p->get_child_processor_by_index(Value("1")); }, "index must be an int or a float, got str");
    expect_error<TypeError>([&] { p->get_child_processor_by_index(Value()); },
                            "index must be an int or a float, got NoneType");
    expect_error<ValueError>([&] { p->get_child_processor_by_index(Value(std::nan(""))); },
                             "cannot convert float NaN to integer");
}

TEST_F(SetupTest, ChildrenByNameFirstMatchWins) {
    auto p = ready("top", nullptr);
    EXPECT_EQ(p->get_child_processor_by_name("right"), right);
    EXPECT_EQ(p->get_child_processor_by_name(Value("middle")), middle);
    EXPECT_EQ(p->get_child_processor_by_name("nobody"), nullptr);
    middle->reported_name = "twin";
    right->reported_name = "twin";
    EXPECT_EQ(p->get_child_processor_by_name("twin"), middle);
    expect_error<TypeError>([&] { p->get_child_processor_by_name(Value(3)); }, "name must be a str, got int");
    EXPECT_EQ(&p->get_child_agent_processors(), &p->child_agent_processors) << "the list itself";
}

}  // namespace
}  // namespace conductrix_test
