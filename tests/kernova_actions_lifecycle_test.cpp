// Action processing, step, reset and the synchronous execute; overrides are
// reached through the object.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "kernova_support.hpp"

namespace kernova_test {
namespace {

using ActionProcessing = ProcessorTest;

TEST_F(ActionProcessing, WithoutTeacherTheActionIsReturnedAndNotRemembered) {
    auto p = make("plain");
    Value out = run_sync(p->process_action(readings(), Value(), Value(2)));
    EXPECT_EQ(out.as_int(), 2);
    EXPECT_FALSE(p->previous_action.has_value());
}

TEST_F(ActionProcessing, UnsquashOnlyWhenAsked) {
    auto p = make("boxy");
    NdArray squashed = NdArray::of<float>({0.5f});
    Value kept = run_sync(p->process_action(readings(), Value(), squashed));
    EXPECT_TRUE(kept.as_array().is(squashed)) << "no unsquashing unless requested";
    Value mapped = run_sync(p->process_action(readings(), Value(), squashed, {.unsquash_action = true}));
    EXPECT_DOUBLE_EQ(mapped.as_array().item(0), 1.0) << "[-1, 1] mapped onto [-2, 2]";
}

TEST_F(ActionProcessing, TeacherResultIsReturnedAndRemembered) {
    auto p = make("skill");
    teachers->last()->on_transform_action = [](const Value&, const Value& a) { return Value(a.as_int() + 10); };
    Value out = run_sync(p->process_action(readings(), Value(Dict{}), Value(1)));
    EXPECT_EQ(out.as_int(), 11);
    ASSERT_TRUE(p->previous_action.has_value());
    EXPECT_EQ(p->previous_action->as_int(), 11);
}

TEST_F(ActionProcessing, PostGroupProcessorGetsTheActionUnlessThisIsAGroupMember) {
    auto p = make("skill");
    teachers->last()->on_transform_action = [](const Value&, const Value& a) { return Value(a.as_int() + 10); };
    auto post = make("plain");
    post->decoded = 7;
    p->post_agent_group_agent_processor = post;

    Value out = run_sync(p->process_action(readings(), Value(Dict{}), Value(1), {.sim_action_mask = List{1, 1, 1}}));
    EXPECT_EQ(out.as_int(), 7) << "the post processor's action";
    EXPECT_EQ(p->previous_action->as_int(), 11) << "the teacher's action is what is remembered";
    ASSERT_EQ(post->execute_calls.size(), 1u);
    const auto& args = post->execute_calls[0];
    EXPECT_TRUE(args.return_as_teacher_dict);
    EXPECT_EQ(args.previous_action.as_int(), 11);
    EXPECT_EQ(repr(args.agent_group_action), "{'skill': 11}");
    EXPECT_EQ(repr(args.sim_action_mask), "[1, 1, 1]");

    p->context.for_agent_group = true;
    Value member = run_sync(p->process_action(readings(), Value(Dict{}), Value(2)));
    EXPECT_EQ(member.as_int(), 12);
    EXPECT_EQ(post->execute_calls.size(), 1u) << "group members never run the post processor";
}

// ---- step, reset, execute ------------------------------------------------------------

using Lifecycle = ProcessorTest;

TEST_F(Lifecycle, StepWithoutTeacherScoresNothing) {
    auto p = make("plain");
    StepResult r = run_sync(p->step(readings(), Value(1.0), Value(true), Value(true), Dict{}, Value(0)));
    EXPECT_EQ(repr(r.teacher_reward), "0.0");
    EXPECT_EQ(repr(r.teacher_success), "False");
    EXPECT_EQ(repr(r.teacher_terminated), "False");
    EXPECT_EQ(repr(r.truncated), "False");
    EXPECT_EQ(values(r.sensors_filtered.as_dict().at("observation")), kObservation);
}

TEST_F(Lifecycle, StepAsksTheTeacherInOrderAndTruncatesOnSuccess) {
    auto p = make("skill");
    auto teacher = teachers->last();
    teacher->success = Value("done");
    teacher->termination = false;
    teacher->reward = 3.5;
    journal->entries.clear();
    Dict info;
    info.set("action_mask", List{1, 0, 1});
    StepResult r = run_sync(p->step(readings(), Value(1.0), Value(false), Value(false), info, Value(2)));
    EXPECT_EQ(r.teacher_reward.as_double(), 3.5);
    EXPECT_EQ(r.truncated.as_str(), "done") << "the success value itself, not a boolean";
    std::vector<std::string> scoring(journal->entries.end() - 3, journal->entries.end());
    EXPECT_EQ(scoring, (std::vector<std::string>{"teacher.compute_reward", "teacher.compute_success_criteria",
                                                 "teacher.compute_termination"}));
    EXPECT_EQ(teacher->last("compute_reward")[2].as_double(), 1.0);
    EXPECT_EQ(teacher->last("compute_action_mask")[1].as_int(), 2) << "the action is the previous action";
    EXPECT_EQ(values(r.sensors_filtered.as_dict().at("action_mask")), (std::vector<double>{1, 0, 1}));
}

TEST_F(Lifecycle, ResetRecreatesLocalImplementationsAndSurvivesPerceptorFailures) {
    auto o = orchestration_from_json(R"({"id": "resets",
      "sensors": [{"name": "x", "space": {"type": "Discrete", "n": 2}}],
      "perceptors": [{"name": "p1", "implementation": "failing", "sensors": []},
                     {"name": "p2", "implementation": "fine", "sensors": []}],
      "agents": [{"name": "a", "kind": "skill", "action_space": {"type": "Discrete", "n": 2}, "teacher": "t"}]})");
    auto t = register_fake_teacher(o->registry(), "t");
    register_fake_perceptor(o->registry(), "failing",
                            [](FakePerceptor& f) { f.reset_error = std::make_exception_ptr(RuntimeError("x")); });
    auto fine = register_fake_perceptor(o->registry(), "fine");
    run_sync(o->init());
    PipelineProcessor p(AgentProcessorContext{.orchestration = o, .agent = o->get_node_by_name("a")});
    run_sync(p.init());
    auto first_teacher = p.teacher;
    p.done = true;
    run_sync(p.reset());
    EXPECT_NE(p.teacher, first_teacher) << "a local teacher is replaced by a fresh instance";
    EXPECT_EQ(p.teacher, t->last());
    EXPECT_EQ(fine->last()->count("reset"), 1u);
    EXPECT_FALSE(p.is_done());
}

TEST_F(Lifecycle, ResetPropagatesCancellationFromAPerceptor) {
    auto o = orchestration_from_json(R"({"id": "cancel",
      "sensors": [{"name": "x", "space": {"type": "Discrete", "n": 2}}],
      "perceptors": [{"name": "p1", "implementation": "cancelled", "sensors": []}],
      "agents": [{"name": "a", "kind": "skill", "action_space": {"type": "Discrete", "n": 2}}]})");
    register_fake_perceptor(o->registry(), "cancelled",
                            [](FakePerceptor& f) { f.reset_error = std::make_exception_ptr(Cancelled()); });
    run_sync(o->init());
    PipelineProcessor p(AgentProcessorContext{.orchestration = o, .agent = o->get_node_by_name("a")});
    run_sync(p.init());
    EXPECT_THROW(run_sync(p.reset()), Cancelled);
}

TEST_F(Lifecycle, ResetOfARemoteAgentResetsItsProxy) {
    auto p = make("remote_skill");
    auto proxy = p->teacher;
    run_sync(p->reset());
    EXPECT_EQ(p->teacher, proxy) << "remote implementations are reset, not replaced";
    ASSERT_FALSE(teachers->all.empty());
    EXPECT_EQ(teachers->last()->count("reset"), 1u);
}

TEST_F(Lifecycle, ExecutePassesItsOptionsByNameAndNeverCoordinates) {
    auto p = make("plain");
    Value out = p->execute(readings(), {.sim_action_mask = List{1, 1, 0}, .explore = true,
                                        .previous_action = Value(2), .return_as_teacher_dict = true});
    EXPECT_EQ(out.as_dict().at("action").as_int(), 1);
    ASSERT_EQ(p->execute_calls.size(), 1u);
    const auto& args = p->execute_calls[0];
    EXPECT_TRUE(args.explore);
    EXPECT_FALSE(args.is_coordinated);
    EXPECT_TRUE(args.return_as_teacher_dict);
    EXPECT_EQ(args.previous_action.as_int(), 2);
    EXPECT_EQ(repr(args.sim_action_mask), "[1, 1, 0]");
}

TEST_F(Lifecycle, ExecuteInsideARunningLoopRefusesInsteadOfDeadlocking) {
    auto p = make("plain");
    boost::asio::io_context ctx;
    std::exception_ptr seen;
    // The processor is a parameter, not a capture: a coroutine lambda's
    // captures die with the lambda object, before the coroutine runs.
    auto step_inside_loop = [](std::shared_ptr<PipelineProcessor> processor) -> Task<void> {
        processor->execute(readings());
        co_return;
    };
    boost::asio::co_spawn(ctx, step_inside_loop(p), [&](std::exception_ptr e) { seen = e; });
    ctx.run();
    ASSERT_TRUE(seen);
    EXPECT_THROW(std::rethrow_exception(seen), RuntimeError);
}

TEST_F(Lifecycle, BaseExecuteIsNotImplemented) {
    BaseAgentProcessor base(context_for("plain"));
    EXPECT_THROW(base.execute(readings()), NotImplementedError);
}

// ---- overrides -------------------------------------------------------------------

class OverridingProcessor : public PipelineProcessor {
public:
    using PipelineProcessor::PipelineProcessor;
    std::vector<std::string> seen;
    Task<SensorsResult> process_sim_sensors(Value sensors, Value sim_action_mask, Value previous_action) override {
        seen.push_back("process_sim_sensors");
        co_return co_await BaseAgentProcessor::process_sim_sensors(sensors, sim_action_mask, previous_action);
    }
    Task<Value> compute_action_mask(Value tarvik_obs, Value sim_action_mask, Value previous_action) override {
        seen.push_back("compute_action_mask:" + tarvik_core::repr(sim_action_mask) + ":" + tarvik_core::repr(previous_action));
        co_return Value(NdArray::of<double>({0, 0, 1}));
    }
    Task<Value> process_action(Value sim_sensors, Value tarvik_obs, Value action, ProcessActionArgs args) override {
        seen.push_back("process_action");
        co_return Value(99);
    }
};

TEST_F(Lifecycle, BasePipelineCallsOverridesThroughTheObject) {
    OverridingProcessor p(context_for("plain"));
    run_sync(p.init());
    Value out = run_sync(p._execute(readings()));
    EXPECT_EQ(out.as_int(), 99);
    EXPECT_EQ(p.seen, (std::vector<std::string>{"process_sim_sensors", "compute_action_mask:None:None",
                                                "process_action"}));
    EXPECT_EQ(values(p.last_sensors_filtered.as_dict().at("action_mask")), (std::vector<double>{0, 0, 1}));

    p.seen.clear();
    run_sync(p.step(readings(), Value(0.0), Value(false), Value(false), Dict{}, Value(1)));
    EXPECT_EQ(p.seen, (std::vector<std::string>{"process_sim_sensors", "compute_action_mask:None:1"}));
}

}  // namespace
}  // namespace kernova_test
