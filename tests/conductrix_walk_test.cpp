// One step of an orchestrator: guards, the choice (model, controller,
// teacher), what the chosen child is asked, what comes back up, and the
// orchestrator's own mask, sensor processing, action processing and reset.
#include "conductrix_support.hpp"

namespace conductrix_test {
namespace {

using WalkTest = OrchestratorTest;

// logits [1, 3, 2]: the model picks the middle child unless masked.
const LogitsModel kPicksMiddle{.logits = {1, 3, 2}, .mask_size = 3};

TEST_F(WalkTest, TheChosenChildGetsTheCallersReadingsAndMaskAndNothingElse) {
    auto p = ready("top", engine("top.onnx", kPicksMiddle));
    // A simulator mask that forbids everything is for the child's own
    // actions; it does not touch the orchestrator's choice.
    Value sim_mask = List{0, 0, 0};
    Value action = step(p, {.sim_action_mask = sim_mask, .explore = true, .is_coordinated = true,
                            .previous_action = 5, .return_as_teacher_dict = false});
    EXPECT_EQ(action, Value("M"));
    ASSERT_EQ(middle->calls.size(), 1u);
    EXPECT_EQ(runs(), 1u);
    const auto& seen = middle->calls.front();
    EXPECT_EQ(seen.sim_sensors, readings());
    EXPECT_EQ(seen.args.sim_action_mask, sim_mask);
    EXPECT_FALSE(seen.args.explore);
    EXPECT_FALSE(seen.args.is_coordinated);
    EXPECT_TRUE(seen.args.previous_action.is_none());
    EXPECT_FALSE(seen.args.return_as_teacher_dict);
}

TEST_F(WalkTest, TeacherMaskSteersTheModelsChoice) {
    struct Case {
        const char* name;
        Value mask;
        Value expected;
    } cases[] = {
        {"middle forbidden", List{1, 0, 1}, "R"},
        {"everything forbidden", List{0, 0, 0}, "L"},
        {"short mask padded with allowed entries", List{0}, "M"},
        {"no opinion", Value(), "M"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = ready("taught", engine("taught.onnx", kPicksMiddle));
        auto teacher = std::dynamic_pointer_cast<FakeTeacher>(p->teacher);
        ASSERT_NE(teacher, nullptr);
        teacher->mask = c.mask;
        EXPECT_EQ(step(p), c.expected);
    }
}

TEST_F(WalkTest, TeacherRewritesTheChoiceWithListIndexing) {
    struct Case {
        const char* name;
        Value rewritten;
        Value expected;
    } cases[] = {
        {"tuple: element 1 is the action", Tuple{7, 2}, "R"},
        {"float truncates", 1.0, "M"},
        {"fraction truncates toward zero", 1.9, "M"},
        {"bool", true, "M"},
        {"numeric string", "0", "L"},
        {"negative counts from the end", -1, "R"},
        {"most negative in range", -3, "L"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = ready("taught", engine("taught.onnx", kPicksMiddle));
        auto teacher = std::dynamic_pointer_cast<FakeTeacher>(p->teacher);
        Value rewritten = c.rewritten;
        teacher->on_transform_action = [rewritten](const Value&, const Value&) { return rewritten; };
        EXPECT_EQ(step(p), c.expected);
        // The teacher saw the model's choice.
        EXPECT_EQ(teacher->last("transform_action")[1], Value(1));
    }
}

TEST_F(WalkTest, RewrittenChoiceThatIsNoChildFailsBeforeAnyChildRuns) {
    struct Case {
        const char* name;
        Value rewritten;
        const char* kind;
        const char* message;
    } cases[] = {
        {"past the end", 3, "IndexError", "list index out of range"},
        {"before the front", -4, "IndexError", "list index out of range"},
        {"not a number", "x", "ValueError", "invalid literal for int() with base 10: 'x'"},
        {"tuple without element 1", Tuple{2}, "IndexError", "tuple index 1 out of range (size 1)"},
        {"None", Value(), "TypeError", "int() argument must be a string, a bytes-like object or a real number, not 'NoneType'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = ready("taught", engine("taught.onnx", kPicksMiddle));
        Value rewritten = c.rewritten;
        std::dynamic_pointer_cast<FakeTeacher>(p->teacher)->on_transform_action =
            [rewritten](const Value&, const Value&) { return rewritten; };
        try {
            step(p);
            ADD_FAILURE() << "expected " << c.message;
        } catch (const tarvik_core::Error& e) {
            EXPECT_STREQ(e.kind(), c.kind);
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_EQ(runs(), 0u);
    }
}

TEST_F(WalkTest, InAnAgentGroupTheChoiceIsTheResultAndNoChildRuns) {
    auto context = context_for("taught");
    context.for_agent_group = true;
    make_children();
    auto p = ready(context, engine("taught.onnx", kPicksMiddle), {left, middle, right});
    std::dynamic_pointer_cast<FakeTeacher>(p->teacher)->on_transform_action = [](const Value&, const Value&) {
        return Value(2.7);
    };
    for (bool as_dict : {false, true}) {
        SCOPED_TRACE(as_dict ? "teacher dict requested" : "plain");
        Value result = step(p, {.return_as_teacher_dict = as_dict});
        ASSERT_TRUE(result.is_int()) << repr(result);
        EXPECT_EQ(result.as_int(), 2);
    }
    EXPECT_EQ(runs(), 0u);
}

TEST_F(WalkTest, TeacherDictWrapsAPlainChildResult) {
    make_children();
    middle->result = 0.5;
    auto p = ready("top", engine("top.onnx", kPicksMiddle));
    Value result = step(p, {.return_as_teacher_dict = true});
    ASSERT_TRUE(result.is_dict());
    const Dict& d = result.as_dict();
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"action", "sensors_filtered", "tarvik_obs", "top_orchestrator_action"}));
    EXPECT_EQ(d.at("action"), Value(0.5));
    EXPECT_EQ(d.at("top_orchestrator_action"), Value(1));
    // This orchestrator's own model observation and processed sensors.
    EXPECT_EQ(values_of(d.at("sensors_filtered").as_dict().at("observation")), (std::vector<double>{1, 2}));
    EXPECT_EQ(values_of(d.at("sensors_filtered").as_dict().at("action_mask")), (std::vector<double>{1, 1, 1}));
    EXPECT_EQ(d.at("tarvik_obs").as_dict().keys(), (std::vector<std::string>{"x", "y"}));
    EXPECT_TRUE(middle->calls.front().args.return_as_teacher_dict);
}

TEST_F(WalkTest, AChildsMappingIsReturnedWithThisLevelsChoice) {
    make_children();
    Dict from_child;
    from_child.set("action", 4);
    from_child.set("top_orchestrator_action", 99);
    from_child.set("extra", "kept");
    middle->result = from_child;
    auto p = ready("top", engine("top.onnx", kPicksMiddle));
    Value result = step(p, {.return_as_teacher_dict = true});
    const Dict& d = result.as_dict();
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"action", "top_orchestrator_action", "extra"}));
    EXPECT_EQ(d.at("action"), Value(4));
    EXPECT_EQ(d.at("top_orchestrator_action"), Value(1));
    // Without the request the mapping comes back untouched.
    EXPECT_EQ(step(p), Value(from_child));
}

TEST_F(WalkTest, NestedOrchestratorsReportTheOutermostChoice) {
    make_children();
    right->result = 0.5;
    // inner picks right (position 1); outer picks inner (position 0).
    auto inner = ready(context_for("inner"), engine("inner.onnx", {.logits = {1, 3}, .mask_size = 2}), {left, right});
    auto outer = ready(context_for("outer"), engine("outer.onnx", {.logits = {3, 1}, .mask_size = 2}), {inner, middle});

    EXPECT_EQ(step(outer), Value(0.5));
    Value result = step(outer, {.return_as_teacher_dict = true});
    const Dict& d = result.as_dict();
    EXPECT_EQ(d.at("action"), Value(0.5));
    EXPECT_EQ(d.at("top_orchestrator_action"), Value(0)) << "the outer choice replaces the inner one (1)";
    EXPECT_EQ(right->calls.size(), 2u);
    EXPECT_TRUE(right->calls.back().args.return_as_teacher_dict);
}

// A model run would fail: it expects 5 observation values, not 2.
const LogitsModel kUnrunnable{.logits = {9, 0, 0}, .obs_size = 5};

TEST_F(WalkTest, ControllerTypeOrchestratorAsksItsControllerAndNeverItsModel) {
    auto p = ready("boss", engine("boss.onnx", kUnrunnable));
    auto controller = std::dynamic_pointer_cast<FakeController>(p->controller);
    ASSERT_NE(controller, nullptr);
    controller->on_compute_action = [](const Value&, const Value&) { return Value(2); };
    EXPECT_EQ(step(p, {.previous_action = 7}), Value("R"));
    EXPECT_EQ(controller->last("compute_action")[1], Value(7));
    EXPECT_EQ(controller->last("compute_action")[0].as_dict().keys(), (std::vector<std::string>{"x", "y"}));
}

TEST_F(WalkTest, GuardsComeBeforeAnyWork) {
    // Readings the sensors could not convert: a guard that ran late would
    // report a conversion error instead.
    Value garbage = "garbage";
    {
        SCOPED_TRACE("model-type without a model");
        auto p = ready("top", nullptr);
        journal->entries.clear();
        expect_error<RuntimeError>([&] { run_sync(p->_execute(garbage)); },
                                   "ONNX model not loaded for orchestrator agent top");
    }
    {
        SCOPED_TRACE("controller-type without a controller");
        auto p = ready("boss", engine("boss.onnx", kUnrunnable));
        p->controller = nullptr;
        journal->entries.clear();
        expect_error<RuntimeError>(
            [&] { run_sync(p->_execute(garbage)); },
            "Controller not initialized for orchestrator agent boss: init() did not set self.controller. This "
            "orchestrator is a controller-type agent and should not attempt ONNX inference.");
    }
    {
        SCOPED_TRACE("before init");
        auto p = std::make_shared<Conductrix>(context_for("top"));
        expect_error<RuntimeError>([&] { run_sync(p->_execute(readings())); },
                                   "Conductrix._execute() called before init() completed");
    }
    EXPECT_TRUE(journal->entries.empty()) << "no perceptor, teacher or child was reached";
}

TEST_F(WalkTest, ProcessActionRunsTheChildAtTheProcessedPosition) {
    struct Case {
        const char* agent;
        Value action;
        Value expected_result;
        Value expected_position;
    } cases[] = {
        {"top", 1, "M", 1},
        {"top", -1, "R", -1},
        {"taught", 1, "R", 2},  // the teacher adds one
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.agent) + " " + repr(c.action));
        make_children();
        auto p = ready(c.agent, engine("m.onnx", kPicksMiddle));
        if (auto teacher = std::dynamic_pointer_cast<FakeTeacher>(p->teacher))
            teacher->on_transform_action = [](const Value&, const Value& a) { return Value(a.as_int() + 1); };
        Value sim_mask = List{1, 1};
        Value result = run_sync(p->process_action(readings(), Dict{}, c.action, {.sim_action_mask = sim_mask}));
        EXPECT_EQ(result, Value(Tuple{c.expected_result, c.expected_position}));
        ASSERT_EQ(runs(), 1u);
        for (const auto& child : {left, middle, right}) {
            for (const auto& seen : child->calls) {
                EXPECT_EQ(seen.args.sim_action_mask, sim_mask);
                EXPECT_FALSE(seen.args.explore);
                EXPECT_FALSE(seen.args.return_as_teacher_dict);
                EXPECT_TRUE(seen.args.previous_action.is_none());
            }
        }
    }
    make_children();
    auto p = ready("top", engine("m.onnx", kPicksMiddle));
    expect_error<IndexError>([&] { run_sync(p->process_action(readings(), Dict{}, 3)); }, "list index out of range");
    EXPECT_EQ(runs(), 0u);
}

TEST_F(WalkTest, OrchestratorMaskCombinesChildrenWithTheTeachersMask) {
    struct Case {
        const char* name;
        const char* agent;
        Value teacher_mask;
        std::vector<double> expected;
    } cases[] = {
        {"no teacher", "top", Value(), {1, 1, 1}},
        {"teacher without opinion", "taught", Value(), {1, 1, 1}},
        {"teacher mask padded to the children", "taught", List{1, 0}, {1, 0, 1}},
        {"teacher mask cut to the children", "taught", List{0, 1, 1, 0}, {0, 1, 1}},
        {"nested teacher mask", "taught", Tuple{List{0}, List{1, 0}}, {0, 1, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = ready(c.agent, nullptr);
        if (auto teacher = std::dynamic_pointer_cast<FakeTeacher>(p->teacher)) teacher->mask = c.teacher_mask;
        // The simulator's mask is for the children's actions, not this choice.
        Value mask = run_sync(p->compute_action_mask(Dict{}, List{0, 0, 0}, Value()));
        ASSERT_TRUE(mask.is_array());
        EXPECT_EQ(mask.as_array().dtype(), DType::Float64);
        EXPECT_EQ(values_of(mask), c.expected);
    }
}

TEST_F(WalkTest, ResetWaitsForEveryChildBeforeItsOwn) {
    make_children();
    left->reset_delay = std::chrono::milliseconds(30);
    right->reset_delay = std::chrono::milliseconds(10);
    auto p = ready("top", nullptr);
    journal->entries.clear();
    run_sync(p->reset());
    // The children run concurrently (the slow first child finishes last);
    // the orchestrator's own reset (its perceptor) comes after all of them.
    EXPECT_EQ(journal->entries,
              (std::vector<std::string>{"middle.reset", "right.reset", "left.reset", "perceptor.reset"}));
    EXPECT_FALSE(p->is_done());
}

}  // namespace
}  // namespace conductrix_test
