// Processor set-up: the action-space requirement, teacher or controller
// (local and remote), perceptors, the sensor filter and its fallbacks.
#include "kernova_support.hpp"
#include "support/expect_error.hpp"

namespace kernova_test {
namespace {

using SetUpTest = ProcessorTest;

TEST_F(SetUpTest, AgentWithoutActionSpaceCannotHaveAProcessor) {
    try {
        PipelineProcessor p(context_for("nospace"));
        FAIL();
    } catch (const tarvik_core::Error& e) {
        EXPECT_STREQ(e.kind(), "Exception") << "the generic error kind, not a subclass";
        EXPECT_STREQ(e.what(), kNoActionSpaceMessage);
    }
}

TEST_F(SetUpTest, LocalTeacherAgentGetsATeacherAndNoController) {
    auto p = make("skill");
    ASSERT_EQ(teachers->all.size(), 1u);
    EXPECT_EQ(p->teacher, teachers->last());
    EXPECT_EQ(p->controller, nullptr);
    EXPECT_TRUE(p->_is_initialized);
    EXPECT_FALSE(p->is_done());
}

TEST_F(SetUpTest, LocalControllerAgentGetsAControllerAndNoTeacher) {
    auto p = make("ctrl");
    EXPECT_EQ(p->controller, controllers->last());
    EXPECT_EQ(p->teacher, nullptr);
}

TEST_F(SetUpTest, RemoteTeacherComesFromTheAgentManagerWithUrlAndVersion) {
    auto p = make("remote_skill");
    ASSERT_EQ(network->remote_calls->size(), 1u);
    const auto& call = network->remote_calls->front();
    EXPECT_EQ(call.manager, "agent");
    EXPECT_EQ(call.method, "create_with_client");
    auto impl = orchestration->registry().get("teacher");
    EXPECT_EQ(call.kwargs.at("env_init").as_str(), network_util::get_tarvik_url(impl));
    EXPECT_EQ(call.kwargs.at("version").as_str(), "1.0.0");
    ASSERT_NE(p->teacher, nullptr);
    EXPECT_EQ(std::dynamic_pointer_cast<FakeTeacher>(p->teacher), nullptr) << "a proxy, not the instance";
}

TEST_F(SetUpTest, RemoteControllerComesFromTheControllerManager) {
    auto p = make("remote_ctrl");
    ASSERT_EQ(network->remote_calls->size(), 1u);
    EXPECT_EQ(network->remote_calls->front().manager, "controller");
    EXPECT_NE(p->controller, nullptr);
    EXPECT_EQ(p->teacher, nullptr);
}

TEST_F(SetUpTest, UnreadableRemoteVersionFallsBackToLatest) {
    auto p = make("unversioned");
    ASSERT_EQ(network->remote_calls->size(), 1u);
    EXPECT_EQ(network->remote_calls->front().kwargs.at("version").as_str(), "latest");
    EXPECT_NE(p->teacher, nullptr);
}

class ScriptedManager : public RemoteManager {
public:
    explicit ScriptedManager(Value result) : RemoteManager(RemoteManagerKind::agent), result_(std::move(result)) {}
    MaybeTask<Value> invoke(const std::string&, const List&, const Dict&) override {
        return [](Value v) -> Task<Value> { co_return v; }(result_);
    }

private:
    Value result_;
};

TEST_F(SetUpTest, RemoteResultThatIsNotAPairFailsLikeUnpacking) {
    struct Case {
        const char* name;
        Value result;
        const char* message;
    } cases[] = {
        {"one item", Tuple{Value("id")}, "not enough values to unpack (expected 2, got 1)"},
        {"three items", Tuple{Value("id"), Value(1), Value(2)}, "too many values to unpack (expected 2)"},
        {"not a sequence", Value(3), "cannot unpack non-iterable int object"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        network->set_remote_manager(RemoteManagerKind::agent, std::make_shared<ScriptedManager>(c.result));
        auto p = make("remote_skill", false);
        try {
            run_sync(p->init());
            FAIL();
        } catch (const tarvik_core::Error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_FALSE(p->_is_initialized);
    }
}

TEST_F(SetUpTest, EmptyNoneOrFailingFilterFallsBackToEverySensor) {
    struct Case {
        const char* name;
        Value keys;
        bool raises;
    } cases[] = {{"none", Value(), false}, {"empty list", List{}, false}, {"raises", Value(), true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto o = orchestration_from_json(kOrchestration);
        register_fake_teacher(o->registry(), "teacher", [&](FakeTeacher& t) {
            t.filtered_keys = c.keys;
            if (c.raises) t.filtered_error = std::make_exception_ptr(ValueError("boom"));
        });
        register_fake_controller(o->registry(), "controller");
        register_fake_teacher(o->registry(), "unversioned_teacher");
        run_sync(o->init());
        LogCapture logs("tarvik_inference.kernova");
        PipelineProcessor p(AgentProcessorContext{.orchestration = o, .agent = o->get_node_by_name("skill")});
        run_sync(p.init());
        EXPECT_EQ(p.filter_keys, (std::vector<std::string>{"pos", "mode", "speed"}));
        auto warnings = logs.messages(LogLevel::warning);
        if (c.raises) {
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_EQ(warnings[0],
                      "filtered_sensor_space() failed (boom) \u2014 falling back to the full sensor space.");
        } else {
            EXPECT_TRUE(warnings.empty());
        }
    }
}

TEST_F(SetUpTest, TeacherFilterSelectsAndOrdersTheObservation) {
    auto o = orchestration_from_json(kOrchestration);
    register_fake_teacher(o->registry(), "teacher", [](FakeTeacher& t) { t.filtered_keys = Tuple{"speed", "pos"}; });
    register_fake_controller(o->registry(), "controller");
    register_fake_teacher(o->registry(), "unversioned_teacher");
    run_sync(o->init());
    PipelineProcessor p(AgentProcessorContext{.orchestration = o, .agent = o->get_node_by_name("skill")});
    run_sync(p.init());
    EXPECT_EQ(p.filter_keys, (std::vector<std::string>{"speed", "pos"}));
    auto obs_space = p.observation_space->mapping_spaces();
    ASSERT_EQ(obs_space.size(), 2u);
    EXPECT_EQ(obs_space[0].first, "observation");
    EXPECT_EQ(obs_space[0].second->flat_dim(), 3);
    EXPECT_EQ(obs_space[1].first, "action_mask");
    EXPECT_EQ(obs_space[1].second->flat_dim(), 3);
}

TEST_F(SetUpTest, NumericFilterKeysBecomeTheirTextForms) {
    auto o = orchestration_from_json(R"({"id": "numbers",
      "sensors": [{"name": "1", "space": {"type": "Discrete", "n": 2}},
                  {"name": "2.5", "space": {"type": "Discrete", "n": 2}}],
      "agents": [{"name": "a", "kind": "skill", "action_space": {"type": "Discrete", "n": 2}, "teacher": "t"}]})");
    register_fake_teacher(o->registry(), "t", [](FakeTeacher& t) { t.filtered_keys = List{2.5, 1}; });
    run_sync(o->init());
    PipelineProcessor p(AgentProcessorContext{.orchestration = o, .agent = o->get_node_by_name("a")});
    run_sync(p.init());
    EXPECT_EQ(p.filter_keys, (std::vector<std::string>{"2.5", "1"}));
}

TEST_F(SetUpTest, NoTeacherNoControllerSeesEverySensor) {
    auto p = make("plain");
    EXPECT_EQ(p->teacher, nullptr);
    EXPECT_EQ(p->filter_keys, (std::vector<std::string>{"pos", "mode", "speed"}));
    EXPECT_EQ(p->brennor_sensor_space->flat_dim(), 6);
}

TEST_F(SetUpTest, PerceptorsAreCreatedInOrderAndAppendedOnEveryInit) {
    auto o = orchestration_from_json(R"({"id": "perceiving",
      "sensors": [{"name": "x", "space": {"type": "Box", "low": -1, "high": 1, "shape": [1]}},
                  {"name": "d1", "space": {"type": "Box", "low": -1, "high": 1, "shape": [1]}, "source": {"perceptor": "p1"}},
                  {"name": "d2", "space": {"type": "Box", "low": -1, "high": 1, "shape": [1]}, "source": {"perceptor": "p2"}}],
      "perceptors": [{"name": "p1", "implementation": "first", "sensors": ["d1"]},
                     {"name": "p2", "implementation": "second", "sensors": ["d2"], "remote": true}],
      "agents": [{"name": "a", "kind": "skill", "action_space": {"type": "Discrete", "n": 2}}]})");
    auto first = register_fake_perceptor(o->registry(), "first");
    register_fake_perceptor(o->registry(), "second");
    run_sync(o->init());
    PipelineProcessor p(AgentProcessorContext{.orchestration = o, .agent = o->get_node_by_name("a"), .network_mgr = network});
    run_sync(p.init());
    ASSERT_EQ(p.perceptors.size(), 2u);
    EXPECT_EQ(p.perceptors[0], first->last());
    ASSERT_EQ(network->remote_calls->size(), 1u);
    EXPECT_EQ(network->remote_calls->front().manager, "perceptor");
    run_sync(p.init());
    EXPECT_EQ(p.perceptors.size(), 4u) << "a second init appends again";
}

TEST_F(SetUpTest, AMissingPerceptorNodeIsAnAttributeErrorNotACrash) {
    // Hosts can fill an orchestration's perceptor list by hand; a null entry
    // there must fail init the way a none node would, not dereference null.
    orchestration->perceptors = std::vector<tarvik_core::PerceptorNodePtr>{nullptr};
    PipelineProcessor p(context_for("skill"));
    tarvik_test::expect_error([&] { run_sync(p.init()); }, "AttributeError",
                              "'NoneType' object has no attribute 'is_remote'");
    EXPECT_FALSE(p._is_initialized);
}

TEST_F(SetUpTest, NamesComeFromTheContextOrTheAgent) {
    auto p = make("skill");
    EXPECT_EQ(p->get_name(), "skill");
    auto ctx = context_for("skill");
    ctx.name = "display";
    PipelineProcessor named(ctx);
    EXPECT_EQ(named.get_name(), "display");
    EXPECT_EQ(named.get_agent_name(), "skill");
    EXPECT_EQ(named.get_action_space(), orchestration->get_node_by_name("skill")->get_action_space());
}

}  // namespace
}  // namespace kernova_test
