// package(): which orchestration and agent it builds a processor for, and
// that the facade's fields change only when packaging succeeds. The processors
// are real ones built by the processor factory (controller agents, no model).
#include "runvane_support.hpp"

namespace runvane_test {
namespace {

class Package : public ::testing::Test {
protected:
    void SetUp() override { run_sync(runvane.load_orchestration(loaded.orchestration)); }

    // The packaged processor's context, checked for what every packaging sets.
    const AgentProcessorContext& packaged_context() {
        EXPECT_NE(runvane.agent_processor, nullptr);
        const AgentProcessorContext& context = runvane.agent_processor->context;
        EXPECT_EQ(context.network_mgr, runvane.network_mgr);
        EXPECT_FALSE(context.is_training);
        EXPECT_FALSE(context.is_validating);
        EXPECT_FALSE(context.for_agent_group);
        EXPECT_TRUE(runvane.agent_processor->_is_initialized) << "the factory hands back initialised processors";
        return context;
    }

    std::shared_ptr<AwaitingNetworkMgr> network = std::make_shared<AwaitingNetworkMgr>();
    Runvane runvane{Value(), network};
    TestOrchestration loaded;
    LogCapture logs{kLogger};
};

TEST_F(Package, WithoutArgumentsPackagesTheTopAgentOfTheLoadedOrchestration) {
    logs.clear();
    run_sync(runvane.package());

    const AgentProcessorContext& context = packaged_context();
    EXPECT_EQ(context.orchestration, loaded.orchestration);
    EXPECT_EQ(context.agent, loaded.orchestration->get_top_agent());
    EXPECT_EQ(runvane.agent_processor->class_name(), "Actuon");
    EXPECT_EQ(logs.messages(LogLevel::info),
              std::vector<std::string>{"Packaged orchestration for inference with agent: dock (processor type: Actuon)"});
}

TEST_F(Package, ANullAgentNodeMeansTheTopAgent) {
    run_sync(runvane.package({.agent = GraphNodePtr{}}));
    EXPECT_EQ(packaged_context().agent, loaded.orchestration->get_top_agent());
}

TEST_F(Package, AnAgentNameOrNodeChoosesThatAgent) {
    struct Case {
        const char* name;
        AgentArg agent;
    };
    const std::vector<Case> cases = {
        {"by name", std::string("hold")},
        {"by node", loaded.orchestration->get_node_by_name("hold")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        runvane.agent_processor.reset();
        logs.clear();
        run_sync(runvane.package({.agent = c.agent}));
        EXPECT_EQ(packaged_context().agent, loaded.orchestration->get_node_by_name("hold"));
        EXPECT_EQ(logs.messages(LogLevel::info),
                  std::vector<std::string>{
                      "Packaged orchestration for inference with agent: hold (processor type: Actuon)"});
    }
}

TEST_F(Package, ANodeObjectIsUsedAsItIsWithoutALookUp) {
    // A node of another orchestration: a look-up by name would find the
    // loaded orchestration's "hold" instead.
    TestOrchestration other;
    run_sync(other.orchestration->init());
    const GraphNodePtr foreign = other.orchestration->get_node_by_name("hold");
    run_sync(runvane.package({.orchestration = other.orchestration, .agent = foreign}));
    EXPECT_EQ(packaged_context().agent, foreign);
}

TEST_F(Package, AnExplicitOrchestrationIsUsedForThisPackagingOnly) {
    TestOrchestration other;  // not initialised yet: package initialises it
    run_sync(runvane.package({.orchestration = other.orchestration}));

    const AgentProcessorContext& context = packaged_context();
    EXPECT_EQ(context.orchestration, other.orchestration);
    EXPECT_EQ(context.agent, other.orchestration->get_top_agent());
    EXPECT_TRUE(other.orchestration->is_initialized());
    EXPECT_EQ(runvane.orchestration, loaded.orchestration);
}

TEST_F(Package, ALaterPackageReplacesTheProcessorAndExecuteReachesTheNewOne) {
    run_sync(runvane.package());
    const ProcessorPtr first = runvane.agent_processor;
    run_sync(runvane.package({.agent = std::string("hold")}));
    EXPECT_NE(runvane.agent_processor, first);
    EXPECT_EQ(run_sync(runvane.execute(readings())), Value(3));
}

// --- failures leave agent_processor as it was ------------------------------------

class PackageFailure : public Package {
protected:
    void SetUp() override {
        Package::SetUp();
        runvane.agent_processor = previous;
        logs.clear();
    }
    void TearDown() override {
        EXPECT_EQ(runvane.agent_processor, previous);
        EXPECT_TRUE(logs.lines().empty()) << "the facade logs nothing for a failed package";
    }
    ProcessorPtr previous = recording_processor(loaded);
};

TEST_F(PackageFailure, NothingLoadedAndNoOrchestrationGiven) {
    Runvane fresh{Value(), network};
    fresh.agent_processor = previous;
    expect_error<ValueError>([&] { run_sync(fresh.package()); },
                             "No orchestration provided and no orchestration loaded");
    expect_error<ValueError>([&] { run_sync(fresh.package({.agent = std::string("dock")})); },
                             "No orchestration provided and no orchestration loaded");
    EXPECT_EQ(fresh.agent_processor, previous);
}

TEST_F(PackageFailure, UnknownAgentName) {
    expect_error<KeyError>([&] { run_sync(runvane.package({.agent = std::string("ghost")})); },
                           "no node named 'ghost' in orchestration 'facade-test' (test orchestration)");
}

TEST_F(PackageFailure, TheFactoryRefusesTheAgentKind) {
    expect_error<NotImplementedError>(
        [&] { run_sync(runvane.package({.agent = std::string("fleet")})); },
        "ONNX inference for AgentCoordinatedSet is not yet implemented. Agent: fleet");
}

TEST_F(PackageFailure, AnOrchestrationThatCannotBeInitialised) {
    auto broken = orchestration_from_json(R"({"id": "broken",
      "sensors": [{"name": "battery", "space": {"type": "Discrete", "n": 5}}],
      "agents": [{"name": "a", "kind": "controller", "controller": "ghost",
                  "action_space": {"type": "Discrete", "n": 2}}],
      "top_agent": "a"})");
    expect_error<ValueError>([&] { run_sync(runvane.package({.orchestration = broken})); },
                             "test orchestration: $.agents[0].controller: no controller named 'ghost' is "
                             "registered (known: [])");
    EXPECT_EQ(runvane.orchestration, loaded.orchestration);
}

}  // namespace
}  // namespace runvane_test
