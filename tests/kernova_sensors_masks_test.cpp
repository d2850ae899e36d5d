// Sensor processing and action masks of the processor base.
#include <cmath>

#include "kernova_support.hpp"
#include "support/expect_error.hpp"

namespace kernova_test {
namespace {

using SensorPipeline = ProcessorTest;

TEST_F(SensorPipeline, ObservationIsFilteredNormalisedAndFlattened) {
    auto p = make("skill");
    auto [sensors_filtered, tarvik_obs] = run_sync(p->process_sim_sensors(readings()));
    const Dict& sf = sensors_filtered.as_dict();
    EXPECT_EQ(sf.keys(), (std::vector<std::string>{"observation", "action_mask"}));
    EXPECT_EQ(values(sf.at("observation")), kObservation);
    EXPECT_EQ(sf.at("action_mask").as_array().dtype(), DType::Float64);
    EXPECT_EQ(values(sf.at("action_mask")), (std::vector<double>{1, 1, 1}));
    // The processed observation keeps the raw (unnormalised) values.
    EXPECT_EQ(values(tarvik_obs.as_dict().at("speed")), (std::vector<double>{7.0}));
}

TEST_F(SensorPipeline, TeacherTransformsBeforeFilteringWithNoneAsSecondArgument) {
    auto p = make("skill");
    auto teacher = teachers->last();
    teacher->on_transform_sensors = [](const Value& obs) {
        Dict d = obs.as_dict();
        d.set("speed", List{9.0});
        return Value(d);
    };
    auto [sensors_filtered, tarvik_obs] = run_sync(p->process_sim_sensors(readings()));
    ASSERT_EQ(teacher->count("transform_sensors"), 1u);
    EXPECT_TRUE(teacher->last("transform_sensors")[1].is_none());
    EXPECT_EQ(values(sensors_filtered.as_dict().at("observation")).back(), 2.0);
    EXPECT_EQ(repr(tarvik_obs.as_dict().at("speed")), "[9.0]");
    // The mask is computed from the transformed, unfiltered observation.
    EXPECT_TRUE(teacher->last("compute_action_mask")[0] == tarvik_obs);
}

TEST_F(SensorPipeline, TeacherIsNotAskedWhenAControllerExists) {
    auto p = make("ctrl");
    auto extra_teacher = std::make_shared<FakeTeacher>();
    p->teacher = extra_teacher;
    run_sync(p->process_sim_sensors(readings()));
    EXPECT_EQ(extra_teacher->count("transform_sensors"), 0u);
    EXPECT_EQ(extra_teacher->count("compute_action_mask"), 1u) << "the mask still comes from the teacher";
}

TEST_F(SensorPipeline, SubsetFilterNormalisesOnlyItsSensorsAndKeepsTheRestInTheProcessedObservation) {
    auto p = make("plain");
    p->filter_keys = {"speed"};
    p->filtered_brennor_sensor_space = tarvik_core::space_utils::filter_space(p->brennor_sensor_space, {"speed"});
    auto [sensors_filtered, tarvik_obs] = run_sync(p->process_sim_sensors(readings()));
    EXPECT_EQ(values(sensors_filtered.as_dict().at("observation")), (std::vector<double>{1.0}));
    EXPECT_EQ(tarvik_obs.as_dict().keys(), (std::vector<std::string>{"pos", "mode", "speed"}));
}

TEST_F(SensorPipeline, NoneSampleGivesTheExplanatoryError) {
    auto p = make("skill");
    teachers->last()->on_transform_sensors = [](const Value&) { return Value(); };
    try {
        run_sync(p->process_sim_sensors(readings()));
        FAIL();
    } catch (const tarvik_core::Error& e) {
        EXPECT_STREQ(e.kind(), "Exception");
        EXPECT_EQ(std::string(e.what()), "Sensor values is 'None' (original: None, filter space: " +
                                             spaces::repr(p->filtered_brennor_sensor_space) +
                                             ") for agent 'skill");
    }
}

TEST_F(SensorPipeline, BeforeInitTheFlatteningStepFails) {
    auto p = make("plain", false);
    EXPECT_THROW(run_sync(p->process_sim_sensors(readings())), AttributeError);
}

TEST_F(SensorPipeline, MissingReadingPropagatesTheConversionError) {
    auto p = make("plain");
    Dict partial = readings().as_dict();
    partial.erase("mode");
    EXPECT_THROW(run_sync(p->process_sim_sensors(partial)), KeyError);
}

// ---- mask helpers ----------------------------------------------------------------

std::vector<double> flat(const NdArray& a) {
    std::vector<double> out;
    for (std::int64_t i = 0; i < a.size(); ++i) out.push_back(a.item(i));
    return out;
}

// A host that sends NaN for a missing "speed" lets the teacher replace it;
// what the teacher leaves would reach the model, and is refused by name. A
// controller sees the values as they are.
class OptedOutSensor : public ProcessorTest {
protected:
    std::string orchestration_text() const override {
        std::string text = kOrchestration;
        const std::string speed = R"("name": "speed",)";
        text.replace(text.find(speed), speed.size(), speed + R"( "allow_non_finite": true,)");
        return text;
    }
    static Value missing_speed() {
        Dict d = readings().as_dict();
        d.set("speed", List{std::nan("")});
        return d;
    }
};

TEST_F(OptedOutSensor, TeacherMustReplaceNonFiniteValuesBeforeTheModel) {
    auto p = make("skill");
    expect_error<ValueError>([&] { run_sync(p->process_sim_sensors(missing_speed())); },
                             "agent 'skill': the observation holds nan at position 5 (sensor 'speed'): a sensor that "
                             "allows non-finite readings needs a teacher that replaces them before the model runs");
    teachers->last()->on_transform_sensors = [](const Value& obs) {
        Dict d = obs.as_dict();
        if (std::isnan(d.at("speed").as_array().item(0))) d.set("speed", List{7.0});
        return Value(d);
    };
    auto [sensors_filtered, tarvik_obs] = run_sync(p->process_sim_sensors(missing_speed()));
    EXPECT_EQ(values(sensors_filtered.as_dict().at("observation")), kObservation);

    auto ctrl = make("ctrl");
    auto [ctrl_filtered, ctrl_obs] = run_sync(ctrl->process_sim_sensors(missing_speed()));
    EXPECT_TRUE(std::isnan(ctrl_obs.as_dict().at("speed").as_array().item(0)));
}

TEST(MaskFormats, ModelFormOfEveryMaskKind) {
    struct Case {
        const char* name;
        Value mask;
        std::vector<double> expected;
    } cases[] = {
        {"list", List{1, 0, 1}, {1, 0, 1}},
        {"empty list", List{}, {}},
        {"empty mapping", Dict{}, {}},
        {"scalar", Value(1), {1}},
        {"bool scalar", Value(false), {0}},
        {"tuple of vectors", Tuple{NdArray::of<std::int8_t>({1, 0}), NdArray::of<float>({1})}, {1, 0, 1}},
        {"mapping in insertion order", Dict{{"b", List{1, 0}}, {"a", List{0, 1, 1}}}, {1, 0, 0, 1, 1}},
        {"nested list", List{List{1, 0}, List{1}}, {1, 0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = BaseAgentProcessor::_format_action_mask_for_onnx(c.mask);
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(f->dtype(), DType::Float64);
        EXPECT_EQ(flat(*f), c.expected);
    }
    EXPECT_FALSE(BaseAgentProcessor::_format_action_mask_for_onnx(Value()).has_value());
}

TEST(MaskFormats, ArraysKeepShapeAndFloat64IsNotCopied) {
    NdArray m = NdArray::of<double>({1, 0, 1, 1}).reshape(Shape{2, 2});
    auto f = BaseAgentProcessor::_format_action_mask_for_onnx(m);
    EXPECT_TRUE(f->is(m));
    NdArray ints = NdArray::of<std::int64_t>({1, 0, 1, 1}).reshape(Shape{2, 2});
    EXPECT_EQ(BaseAgentProcessor::_format_action_mask_for_onnx(ints)->shape(), (Shape{2, 2}));
    NdArray combine = BaseAgentProcessor::_format_action_mask_for_combine(m);
    EXPECT_EQ(combine.dtype(), DType::Int8);
    EXPECT_EQ(combine.shape(), (Shape{4}));
    EXPECT_EQ(flat(combine), (std::vector<double>{1, 0, 1, 1}));
}

TEST(MaskFormats, CombineFormIsANewArrayEvenForInt8Input) {
    NdArray given = NdArray::of<std::int8_t>({1, 0, 1});
    NdArray combine = BaseAgentProcessor::_format_action_mask_for_combine(given);
    combine.mutable_data<std::int8_t>()[0] = 0;
    EXPECT_EQ(flat(given), (std::vector<double>{1, 0, 1})) << "writing the result must not change the caller's mask";
}

TEST(MaskFormats, CombineFormOfNoneIsEmptyAndFloatsTruncate) {
    NdArray none = BaseAgentProcessor::_format_action_mask_for_combine(Value());
    EXPECT_EQ(none.dtype(), DType::Int8);
    EXPECT_EQ(none.size(), 0);
    EXPECT_EQ(flat(BaseAgentProcessor::_format_action_mask_for_combine(List{1.0, 0.9, 0.0})),
              (std::vector<double>{1, 0, 0}));
}

TEST(MaskFormats, NestedNoneAndIncompatiblePartsFail) {
    EXPECT_THROW(BaseAgentProcessor::_format_action_mask_for_onnx(List{List{1}, Value()}), ValueError);
    EXPECT_THROW(BaseAgentProcessor::_format_action_mask_for_onnx(
                     List{NdArray::zeros(DType::Float64, Shape{1, 2}), NdArray::zeros(DType::Float64, Shape{1, 3})}),
                 ValueError);
    EXPECT_THROW(BaseAgentProcessor::_format_action_mask_for_onnx(Value("1")), ValueError);
}

TEST(MaskFormats, AlignPadsWithAllowedOrTruncatesOrKeepsTheSameMask) {
    NdArray m = NdArray::of<std::int8_t>({0, 1, 0});
    EXPECT_EQ(flat(BaseAgentProcessor::_align_mask_length(m, 5)), (std::vector<double>{0, 1, 0, 1, 1}));
    EXPECT_EQ(BaseAgentProcessor::_align_mask_length(m, 5).dtype(), DType::Int8);
    EXPECT_EQ(flat(BaseAgentProcessor::_align_mask_length(m, 2)), (std::vector<double>{0, 1}));
    EXPECT_TRUE(BaseAgentProcessor::_align_mask_length(m, 3).is(m));
    EXPECT_THROW(BaseAgentProcessor::_align_mask_length(m, -1), ValueError);
}

using MaskCombination = ProcessorTest;

TEST_F(MaskCombination, WithoutTeacherOrSimMaskEverythingIsAllowed) {
    auto p = make("plain");
    Value mask = run_sync(p->compute_action_mask(Value(), Value(), Value()));
    EXPECT_EQ(values(mask), (std::vector<double>{1, 1, 1}));
    EXPECT_EQ(mask.as_array().dtype(), DType::Float64);
}

TEST_F(MaskCombination, TeacherAndSimMasksAreAndedAndGetThePreviousAction) {
    auto p = make("skill");
    teachers->last()->mask = List{1, 1, 0};
    Value mask = run_sync(p->compute_action_mask(Value(Dict{}), List{0, 1, 1}, Value(2)));
    EXPECT_EQ(values(mask), (std::vector<double>{0, 1, 0}));
    EXPECT_EQ(teachers->last()->last("compute_action_mask")[1].as_int(), 2);
}

TEST_F(MaskCombination, CustomActionSpaceIgnoresTheSimMask) {
    auto p = make("custom");
    Value mask = run_sync(p->compute_action_mask(Value(Dict{}), List{0, 0, 0}, Value()));
    EXPECT_EQ(values(mask), (std::vector<double>{1, 1, 1}));
}

TEST_F(MaskCombination, ShorterMaskIsPaddedWithAllowedEntries) {
    auto p = make("skill");
    teachers->last()->mask = List{0, 1, 1, 1};
    Value mask = run_sync(p->compute_action_mask(Value(Dict{}), List{1, 1, 1, 1, 0, 1}, Value()));
    EXPECT_EQ(values(mask), (std::vector<double>{0, 1, 1, 1, 0, 1}));
}

}  // namespace
}  // namespace kernova_test
