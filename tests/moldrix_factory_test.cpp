// The processor factory: which processor each kind of node gets, what is
// logged, and how failures while building one are reported.
#include <gtest/gtest.h>

#include "support/fakes.hpp"
#include "support/log_capture.hpp"
#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/modules.hpp"
#include "tarvik_core/network.hpp"
#include "tarvik_inference/moldrix.hpp"

namespace moldrix_test {
namespace {

using namespace tarvik_core;
using namespace tarvik_inference;
using namespace tarvik_test;

const char* kOrchestration = R"({
  "id": "moldrix-test",
  "sensors": [{"name": "x", "space": {"type": "Box", "low": -10.0, "high": 10.0, "shape": [1]}}],
  "perceptors": [{"name": "goal", "implementation": "goal_perceptor"}],
  "agents": [
    {"name": "drive", "kind": "skill", "action_space": {"type": "Discrete", "n": 2}},
    {"name": "ctrl", "kind": "controller", "controller": "ctrl_impl", "action_space": {"type": "Discrete", "n": 2}},
    {"name": "mission", "kind": "orchestrator", "children": ["ctrl"]},
    {"name": "boss", "kind": "orchestrator", "children": ["ctrl"], "controller": "boss_impl"},
    {"name": "fleet", "kind": "coordinated_set", "children": ["drive"], "action_space": {"type": "Discrete", "n": 2}},
    {"name": "swarm", "kind": "coordinated_population", "children": ["drive"],
     "action_space": {"type": "Discrete", "n": 2}},
    {"name": "remote_skill", "kind": "skill", "teacher": "teacher_impl", "remote": true,
     "action_space": {"type": "Discrete", "n": 2}},
    {"name": "nospace", "kind": "skill"}
  ],
  "top_agent": "mission"
})";

// A node that counts reads of its simulator sensor space, the first thing any
// processor constructor asks: zero reads means no processor was built.
template <class Kind>
class Probe : public Kind {
public:
    using Kind::Kind;
    mutable int reads = 0;
    spaces::SpacePtr get_sim_sensor_space() const override {
        ++reads;
        return Kind::get_sim_sensor_space();
    }
};

// A graph node of no agent kind.
class Waypoint : public GraphNode {
public:
    using GraphNode::GraphNode;
};

// A remote agent manager whose calls fail with `error` once awaited.
class FailingManager : public RemoteManager {
public:
    explicit FailingManager(std::exception_ptr error) : RemoteManager(RemoteManagerKind::agent), error_(error) {}
    MaybeTask<Value> invoke(const std::string&, const List&, const Dict&) override {
        return [](std::exception_ptr e) -> Task<Value> {
            std::rethrow_exception(e);
            co_return Value();
        }(error_);
    }

private:
    std::exception_ptr error_;
};

std::string created(const std::string& name) { return "Successfully created and initialized agent processor for: " + name; }

class FactoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        orchestration = orchestration_from_json(kOrchestration);
        register_fake_controller(orchestration->registry(), "ctrl_impl");
        register_fake_controller(orchestration->registry(), "boss_impl");
        register_fake_teacher(orchestration->registry(), "teacher_impl");
        register_fake_perceptor(orchestration->registry(), "goal_perceptor");
        run_sync(orchestration->init());
        network = std::make_shared<AwaitingNetworkMgr>();
    }

    AgentProcessorContext context_for(GraphNodePtr agent) {
        return AgentProcessorContext{.orchestration = orchestration, .agent = std::move(agent), .network_mgr = network};
    }
    AgentProcessorContext context_for(const std::string& name) {
        return context_for(orchestration->get_node_by_name(name));
    }

    OrchestrationPtr orchestration;
    std::shared_ptr<AwaitingNetworkMgr> network;
};

TEST_F(FactoryTest, EachAgentKindGetsItsProcessorInitialised) {
    struct Case {
        const char* agent;
        const char* processor;
        std::vector<std::string> info;
    } cases[] = {
        {"drive", "Actuon", {"Creating Actuon for agent: drive", created("drive")}},
        {"ctrl", "Actuon", {"Creating Actuon for controller: ctrl", created("ctrl")}},
        // An orchestrator's children come through the factory too.
        {"mission",
         "Conductrix",
         {"Creating Conductrix for orchestrator: mission", "Creating Actuon for controller: ctrl", created("ctrl"),
          created("mission")}},
        {"boss",
         "Conductrix",
         {"Creating Conductrix for orchestrator controller: boss", "Creating Actuon for controller: ctrl",
          created("ctrl"), created("boss")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.agent);
        LogCapture logs("tarvik_inference.moldrix");
        ProcessorPtr p = run_sync(create_actuon(context_for(c.agent)));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(class_name_of(typeid(*p)), c.processor);
        EXPECT_TRUE(p->_is_initialized) << "returned only after init() completed";
        EXPECT_EQ(p->get_agent(), orchestration->get_node_by_name(c.agent));
        EXPECT_EQ(logs.messages(LogLevel::info), c.info);
        EXPECT_TRUE(logs.messages(LogLevel::error).empty());
    }
}

TEST_F(FactoryTest, UnsupportedNodesFailBeforeAnyProcessorIsBuilt) {
    auto set = std::make_shared<Probe<AgentCoordinatedSet>>(
        AgentDefinition{.name = "fleet", .action_space = std::make_shared<spaces::Discrete>(2), .children = {"drive"}});
    auto population = std::make_shared<Probe<AgentCoordinatedPopulation>>(
        AgentDefinition{.name = "swarm", .action_space = std::make_shared<spaces::Discrete>(2), .children = {"drive"}});
    struct Case {
        const char* name;
        GraphNodePtr node;
        const char* kind;
        const char* message;
    } cases[] = {
        {"coordinated set", set, "NotImplementedError",
         "ONNX inference for AgentCoordinatedSet is not yet implemented. Agent: fleet"},
        {"coordinated population", population, "NotImplementedError",
         "ONNX inference for AgentCoordinatedPopulation is not yet implemented. Agent: swarm"},
        {"coordinated set from the file", orchestration->get_node_by_name("fleet"), "NotImplementedError",
         "ONNX inference for AgentCoordinatedSet is not yet implemented. Agent: fleet"},
        {"perceptor node", orchestration->get_node_by_name("goal"), "ValueError",
         "Unsupported agent type for ONNX inference: PerceptorNode. Agent: goal"},
        {"node of no agent kind", std::make_shared<Waypoint>("wp"), "ValueError",
         "Unsupported agent type for ONNX inference: Waypoint. Agent: wp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture logs("tarvik_inference.moldrix");
        try {
            run_sync(create_actuon(context_for(c.node)));
            ADD_FAILURE() << "created";
        } catch (const Error& e) {
            EXPECT_STREQ(e.kind(), c.kind);
            EXPECT_STREQ(e.what(), c.message);
            EXPECT_EQ(e.cause(), nullptr);
        }
        EXPECT_TRUE(logs.lines().empty());
    }
    EXPECT_EQ(set->reads, 0);
    EXPECT_EQ(population->reads, 0);
}

TEST_F(FactoryTest, FailureWhileBuildingIsLoggedAndWrappedWithItsCause) {
    struct Case {
        const char* agent;
        std::exception_ptr remote_error;  // what the remote manager raises, if set
        const char* cause_kind;
        std::string cause_message;
    } cases[] = {
        {"remote_skill", std::make_exception_ptr(ValueError("model missing")), "ValueError", "model missing"},
        {"nospace", nullptr, "Exception", kNoActionSpaceMessage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.agent);
        if (c.remote_error)
            network->set_remote_manager(RemoteManagerKind::agent, std::make_shared<FailingManager>(c.remote_error));
        LogCapture logs("tarvik_inference.moldrix");
        try {
            run_sync(create_actuon(context_for(c.agent)));
            ADD_FAILURE() << "created";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Failed to create ONNX agent processor for " + std::string(c.agent) + ": " + c.cause_message);
            ASSERT_NE(e.cause(), nullptr);
            try {
                std::rethrow_exception(e.cause());
            } catch (const Error& cause) {
                EXPECT_STREQ(cause.kind(), c.cause_kind);
                EXPECT_EQ(cause.what(), c.cause_message);
            }
        }
        EXPECT_EQ(logs.messages(LogLevel::error),
                  (std::vector<std::string>{"Failed to create agent processor for " + std::string(c.agent) + ": " +
                                            c.cause_message}));
        EXPECT_EQ(logs.messages(LogLevel::info),
                  (std::vector<std::string>{"Creating Actuon for agent: " + std::string(c.agent)}));
    }
}

TEST_F(FactoryTest, CancellationDuringInitPassesThroughUnwrappedAndUnlogged) {
    const auto fail_with = [&](std::exception_ptr e) {
        network->set_remote_manager(RemoteManagerKind::agent, std::make_shared<FailingManager>(e));
    };
    LogCapture logs("tarvik_inference.moldrix");
    fail_with(std::make_exception_ptr(Cancelled()));
    EXPECT_THROW(run_sync(create_actuon(context_for("remote_skill"))), Cancelled);
    fail_with(std::make_exception_ptr(Interrupted()));
    EXPECT_THROW(run_sync(create_actuon(context_for("remote_skill"))), Interrupted);
    EXPECT_TRUE(logs.messages(LogLevel::error).empty());
}

TEST_F(FactoryTest, TheEntryPointIsTheFactory) {
    auto* entry = import_module(kMoldrixModule).function<CreateActuonFn>(kCreateActuonSymbol);
    ProcessorPtr p = run_sync(entry(context_for("drive")));
    EXPECT_EQ(class_name_of(typeid(*p)), "Actuon");
    EXPECT_TRUE(p->_is_initialized);
}

}  // namespace
}  // namespace moldrix_test
