// One step through real models: logit masking, the observation fed to the
// model, the controller path, every action-space kind from raw readings to
// the processed action, the teacher dict, and the module's entry point.
#include <cmath>

#include "actuon_support.hpp"
#include "support/expect_error.hpp"
#include "tarvik_core/modules.hpp"

namespace actuon_test {
namespace {

// A model whose logits come out one-dimensional, without the batch row.
fs::path write_flat_policy(const fs::path& path, const std::vector<float>& logits) {
    ModelBuilder b;
    const auto k = static_cast<std::int64_t>(logits.size());
    b.input("obs", DType::Float32, {1, kObsSize});
    b.constant("logits", logits, {k});
    b.identity("logits", "action_dist_inputs");
    b.output("action_dist_inputs", DType::Float32, {k});
    return b.write(path);
}

// Replaces what the pipeline hands to the model, to reach the forms a
// subclass or teacher may produce.
class ShapedInputActuon : public Actuon {
public:
    using Actuon::Actuon;
    std::function<void(Dict&)> reshape_input;
    std::optional<Value> mask_override;

    Task<SensorsResult> process_sim_sensors(Value sensors, Value sim_action_mask = {},
                                            Value previous_action = {}) override {
        SensorsResult result = co_await Actuon::process_sim_sensors(sensors, sim_action_mask, previous_action);
        if (reshape_input) reshape_input(result.first.as_dict_mut());
        co_return result;
    }
    Task<Value> compute_action_mask(Value tarvik_obs, Value sim_action_mask, Value previous_action) override {
        if (mask_override) co_return *mask_override;
        co_return co_await Actuon::compute_action_mask(tarvik_obs, sim_action_mask, previous_action);
    }
};

class Execute : public ActuonTest {
protected:
    static Value step(Actuon& p, ExecuteArgs args = {}, Value sensors = readings()) {
        return run_sync(p._execute(std::move(sensors), std::move(args)));
    }
};

// ---- masking ---------------------------------------------------------------------------

using Masking = Execute;

TEST_F(Masking, ForbiddenLogitsLoseAndAnAllForbiddenSegmentPicksItsFirst) {
    const std::vector<std::pair<Value, std::int64_t>> cases = {
        {Value(), 1}, {List{1, 1, 1}, 1}, {List{1, 0, 1}, 2}, {List{0, 0, 1}, 2}, {List{1, 0, 0}, 0}, {List{0, 0, 0}, 0},
    };
    // Outputs with the batch row are read from their first row.
    for (bool flat : {false, true}) {
        const std::vector<float> logits = {0.1f, 5.0f, 0.2f};
        if (flat) write_flat_policy(ckpt() / "skill.onnx", logits);
        else write_policy(ckpt() / "skill.onnx", logits);
        auto p = make("skill");
        for (const auto& [mask, expected] : cases) {
            SCOPED_TRACE(std::string(flat ? "output (3,), mask " : "output (1, 3), mask ") + repr(mask));
            EXPECT_EQ(step(*p, {.sim_action_mask = mask}).as_int(), expected);
        }
    }
}

TEST_F(Masking, AMaskOfAnotherLengthIsIgnored) {
    // The model takes a five-entry mask, so the padded five-entry mask reaches
    // the masking step, where it does not line up with three logits.
    write_policy(ckpt() / "skill.onnx", {0.1f, 5.0f, 0.2f}, {.mask_size = 5});
    auto p = make("skill");
    EXPECT_EQ(step(*p, {.sim_action_mask = List{1, 0, 1, 1, 1}}).as_int(), 1);
}

TEST_F(Masking, TheMaskCoversEveryPositionWhateverTheKind) {
    write_policy(ckpt() / "box.onnx", {0.5f, 0.5f, 0.0f, 0.0f});
    auto box = make("box");
    EXPECT_TRUE(same_action(step(*box, {.sim_action_mask = List{0, 1, 1, 1}}), NdArray::of<float>({-2.0f, 1.0f})))
        << "a forbidden mean decodes to -1, the low bound once unsquashed";

    write_policy(ckpt() / "mb.onnx", {1.0f, 1.0f, 1.0f});
    auto mb = make("mb");
    EXPECT_TRUE(same_action(step(*mb, {.sim_action_mask = List{1, 0, 1}}), NdArray::of<std::int8_t>({1, 0, 1})));
}

TEST_F(Masking, OnlyEntriesAboveZeroAsFloat32Allow) {
    write_policy(ckpt() / "skill.onnx", {5.0f, 4.0f, 0.1f});
    auto p = make<ShapedInputActuon>("skill");
    // 1e-50 is positive as a double but 0 as a float32; -1 is not above 0.
    p->mask_override = NdArray::of<double>({1e-50, -1.0, 0.5});
    EXPECT_EQ(step(*p).as_int(), 2);
    p->mask_override = NdArray::of<double>({1e-30, -1.0, 0.5});
    EXPECT_EQ(step(*p).as_int(), 0) << "1e-30 survives the float32 reading";
}

TEST_F(Masking, WithoutAMaskEntryTheLogitsStayUnmasked) {
    write_policy(ckpt() / "skill.onnx", {0.1f, 5.0f, 0.2f});
    auto p = make<ShapedInputActuon>("skill");
    const std::vector<std::pair<const char*, std::function<void(Dict&)>>> cases = {
        {"no action_mask entry", [](Dict& d) { d.erase("action_mask"); }},
        {"None under action_mask", [](Dict& d) { d.set("action_mask", Value()); }},
    };
    for (const auto& [name, change] : cases) {
        SCOPED_TRACE(name);
        p->reshape_input = change;
        EXPECT_EQ(step(*p, {.sim_action_mask = List{1, 0, 1}}).as_int(), 1);
    }
}

// ---- observation -----------------------------------------------------------------------

using Observation = Execute;

TEST_F(Observation, ReachesTheModelAsFloat32InMappingOrder) {
    // logits = observation, so the larger first entry means action 0.
    linear_policy({.obs_size = 2, .weights = {1, 0, 0, 1}, .bias = {0, 0}}).write(ckpt() / "pair.onnx");
    auto p = make<ShapedInputActuon>("pair");
    const std::vector<std::pair<Value, std::int64_t>> cases = {
        {Value(Dict{{"b", 2}, {"a", 1}}), 0},
        {Value(Dict{{"a", 1}, {"b", 2}}), 1},
        {Value(List{0.25, 3}), 1},
        {Value(NdArray::of<double>({3.0, 0.25})), 0},
    };
    for (const auto& [observation, expected] : cases) {
        SCOPED_TRACE(repr(observation));
        p->reshape_input = [obs = observation](Dict& d) { d.set("observation", obs); };
        EXPECT_EQ(step(*p).as_int(), expected);
    }
}

// ---- controller ------------------------------------------------------------------------

using ControllerPath = Execute;

TEST_F(ControllerPath, TheControllerDecidesAndItsActionIsNotUnsquashed) {
    auto p = make("ctrl");
    auto controller = controllers->last();
    controller->on_compute_action = [](const Value&, const Value&) { return Value(NdArray::of<float>({0.5f})); };
    Value action = step(*p, {.previous_action = 7});
    EXPECT_TRUE(same_action(action, NdArray::of<float>({0.5f}))) << "unsquashed it would be 1.0";
    ASSERT_EQ(controller->count("compute_action"), 1u);
    const auto& args = controller->last("compute_action");
    EXPECT_EQ(repr(args[0].as_dict().at("pos")), "array([0.5, 0.2], dtype=float32)") << "the processed observation";
    EXPECT_EQ(args[1].as_int(), 7);
}

TEST_F(ControllerPath, AControllerAgentWithoutItsControllerNeedsAModel) {
    auto p = make("ctrl");
    p->controller = nullptr;
    try {
        step(*p);
        FAIL() << "expected a RuntimeError";
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "ONNX model not loaded for agent ctrl");
    }
}

// ---- end to end ------------------------------------------------------------------------

using EndToEnd = Execute;

struct KindCase {
    const char* agent;
    std::vector<float> logits;
    Value expected;
};

TEST_F(EndToEnd, EveryActionSpaceKindFromRawReadingsToAction) {
    const std::vector<KindCase> cases = {
        {"skill", {0.1f, 5.0f, 0.2f}, Value(1)},
        {"md", {0.1f, 0.2f, 3.0f, 1.0f, 3.0f}, NdArray::of<std::int64_t>({1, 0})},
        {"box", {0.5f, -3.0f, 0.1f, 0.1f}, NdArray::of<float>({1.0f, -2.0f})},
        {"mb", {0.5f, 0.0f, -1.0f}, NdArray::of<std::int8_t>({1, 0, 0})},
        {"tup", {0.3f, 0.1f, 0.0f, -2.0f}, Value(Tuple{Value(0), Value(NdArray::of<float>({5.0f}))})},
        {"dict", {0.0f, 1.0f, 1.0f, -1.0f}, Value(Dict{{"b", 1}, {"a", NdArray::of<std::int8_t>({1, 0})}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.agent);
        write_policy(ckpt() / (std::string(c.agent) + ".onnx"), c.logits);
        auto p = make(c.agent);
        EXPECT_TRUE(same_action(step(*p), c.expected));
    }
}

// A kind without a known form takes the rest of the logits as they are,
// which the runtime reads where the engine wrote them: the action must not
// change when the next step's run overwrites them.
TEST_F(EndToEnd, AnActionHoldingRawLogitsOutlivesTheNextStep) {
    class Renamed : public sp::Discrete {
    public:
        using Discrete::Discrete;
    };
    // Four logits against a mask of three: the mask is ignored, the logits
    // pass through unmasked; logits = [x, y, x + y, 1].
    linear_policy({.obs_size = kObsSize, .weights = {1, 0, 0, 1, 1, 1, 0, 0}, .bias = {0, 0, 0, 1}})
        .write(ckpt() / "skill.onnx");
    auto p = make("skill");
    p->action_space = std::make_shared<Renamed>(3);
    const Value first = step(*p, {}, readings(0.5, 0.25));
    ASSERT_TRUE(same_action(first, NdArray::of<float>({0.5f, 0.25f, 0.75f, 1.0f})));
    step(*p, {}, readings(-1.0, 0.125));
    EXPECT_TRUE(same_action(first, NdArray::of<float>({0.5f, 0.25f, 0.75f, 1.0f})));
}

// Clipping keeps NaN: a model that emits NaN means must fail the step by the
// agent's name rather than hand the host a NaN action. Infinite means clip to
// the bounds, and NaN where nothing is read (the spreads) does no harm.
TEST_F(EndToEnd, NonFiniteBoxMeansFailTheStepByTheAgentsName) {
    const float nan = std::nanf("");
    const std::vector<KindCase> finite = {
        {"box", {INFINITY, -INFINITY, nan, nan}, NdArray::of<float>({2.0f, -2.0f})},
        {"tup", {0.3f, 0.1f, 1.0f, nan}, Value(Tuple{Value(0), Value(NdArray::of<float>({10.0f}))})},
    };
    for (const auto& c : finite) {
        SCOPED_TRACE(c.agent);
        write_policy(ckpt() / (std::string(c.agent) + ".onnx"), c.logits);
        EXPECT_TRUE(same_action(step(*make(c.agent)), c.expected));
    }
    const std::vector<std::pair<KindCase, std::string>> failing = {
        {{"box", {0.5f, nan, 0.1f, 0.1f}, {}}, "agent 'box': the model's action for Box(-2.0, 2.0, (2,), float32) "
                                               "is not finite: nan at position 1"},
        {{"tup", {0.3f, 0.1f, nan, 0.0f}, {}}, "agent 'tup': the model's action for Box(0.0, 10.0, (1,), float32) "
                                               "is not finite: nan at position 0"},
    };
    for (const auto& [c, message] : failing) {
        SCOPED_TRACE(c.agent);
        write_policy(ckpt() / (std::string(c.agent) + ".onnx"), c.logits);
        auto p = make(c.agent);
        expect_error<ValueError>([&] { step(*p); }, message);
    }
}

// The taught agent's policy: logits = [x, -x, y / 2] for pos = [x, y].
class Taught : public Execute {
protected:
    void SetUp() override {
        Execute::SetUp();
        linear_policy({.obs_size = 2, .weights = {1, 0, -1, 0, 0, 0.5f}, .bias = {0, 0, 0}})
            .write(ckpt() / "taught.onnx");
        p = make("taught");
        teacher = teachers->last();
    }
    std::shared_ptr<Actuon> p;
    std::shared_ptr<FakeTeacher> teacher;
};

TEST_F(Taught, TheTeacherShapesSensorsMaskAndAction) {
    EXPECT_EQ(step(*p).as_int(), 0) << "untaught, pos [0.5, 0.2] gives logits [0.5, -0.5, 0.1]";

    teacher->on_transform_sensors = [](const Value& obs) {
        const NdArray& pos = obs.as_dict().at("pos").as_array();
        Dict out = obs.as_dict();
        out.set("pos", NdArray::of<float>({-pos.values<float>()[0], pos.values<float>()[1]}));
        return Value(out);
    };
    EXPECT_EQ(step(*p).as_int(), 1) << "the model sees the mirrored position";

    teacher->mask = List{1, 0, 1};
    EXPECT_EQ(step(*p).as_int(), 2) << "the teacher's mask applies";

    teacher->on_transform_action = [](const Value&, const Value& a) { return Value(a.as_int() + 10); };
    EXPECT_EQ(step(*p).as_int(), 12);
    EXPECT_EQ(teacher->last("transform_action")[1].as_int(), 2) << "the teacher gets the decoded action";
}

TEST_F(Taught, TeacherDictHoldsActionModelInputAndProcessedObservationInOrder) {
    teacher->on_transform_sensors = [](const Value&) {
        Dict out;
        out.set("pos", NdArray::of<float>({-0.5f, 0.2f}));
        return Value(out);
    };
    teacher->mask = List{1, 0, 1};
    Value result = step(*p, {.return_as_teacher_dict = true});
    const Dict& d = result.as_dict();
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"action", "sensors_filtered", "tarvik_obs"}));
    EXPECT_EQ(d.at("action").as_int(), 2);
    const Dict& model_input = d.at("sensors_filtered").as_dict();
    EXPECT_TRUE(same_action(model_input.at("observation"), NdArray::of<float>({-0.5f, 0.2f})));
    EXPECT_TRUE(same_action(model_input.at("action_mask"), NdArray::of<double>({1, 0, 1})));
    EXPECT_TRUE(same_action(d.at("tarvik_obs").as_dict().at("pos"), NdArray::of<float>({-0.5f, 0.2f})));

    EXPECT_TRUE(step(*p, {.return_as_teacher_dict = false}).is_int()) << "without the flag, the action itself";
}

TEST_F(EndToEnd, ExploreAndCoordinationDoNotChangeTheAction) {
    const MlpPolicy definition{.n_in = kObsSize, .hidden = {8}, .n_out = 5, .seed = 11};
    mlp_policy(definition).write(ckpt() / "md.onnx");
    auto p = make("md");
    for (double x : {-0.9, -0.3, 0.0, 0.4, 0.8}) {
        SCOPED_TRACE(x);
        Value plain = step(*p, {}, readings(x, -x));
        EXPECT_TRUE(same_action(step(*p, {.explore = true}, readings(x, -x)), plain));
        EXPECT_TRUE(same_action(step(*p, {.explore = true, .is_coordinated = true}, readings(x, -x)), plain));
    }
}

TEST_F(EndToEnd, StepsBeforeInitAreRefused) {
    write_policy(ckpt() / "skill.onnx", {0.1f, 5.0f, 0.2f});
    auto p = make("skill", /*initialise=*/false);
    try {
        step(*p);
        FAIL() << "expected a RuntimeError";
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "Actuon._execute() called before init() completed");
    }
}

TEST_F(EndToEnd, TheEntryPointBuildsAnUninitialisedActuon) {
    auto* construct =
        import_module(kActuonModule).function<ProcessorConstructorFn>(kActuonConstructorSymbol);
    ProcessorPtr p = construct(context_for("skill"));
    EXPECT_EQ(class_name_of(typeid(*p)), "Actuon");
    EXPECT_FALSE(p->_is_initialized);
    EXPECT_EQ(p->get_name(), "skill");
}

}  // namespace
}  // namespace actuon_test
