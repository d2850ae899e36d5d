// Space utilities and sensors: raw readings (mapping or flat vector) to sensor
// values, perceptor-derived sensors, filtering, mask combination, unsquashing
// of actions, the orchestrator mask, and per-sensor conversion and
// normalisation, with the messages their failures carry.
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/orchestration.hpp"
#include "tarvik_core/space_utils.hpp"

using namespace tarvik_core;
using spaces::SpacePtr;
using testing::HasSubstr;
using testing::StrEq;
using testing::ThrowsMessage;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

SpacePtr discrete(std::int64_t n) { return std::make_shared<spaces::Discrete>(n); }
SpacePtr box(double low, double high, Shape shape, DType dtype = DType::Float32) {
    return std::make_shared<spaces::Box>(low, high, shape, dtype);
}

SensorPtr sensor(std::string name, SpacePtr space, SensorSource source = {}, Normalization norm = {}) {
    return std::make_shared<Sensor>(std::move(name), std::move(space), std::move(source), std::move(norm));
}
SensorSource at_index(std::int64_t index) { return {.kind = SensorSource::Kind::index, .index = index}; }
SensorSource at_key(std::string key) { return {.kind = SensorSource::Kind::key, .key = std::move(key)}; }
SensorSource from_perceptor(std::string name) {
    return {.kind = SensorSource::Kind::perceptor, .perceptor = std::move(name)};
}

// A perceptor whose result is a function of what it sees; it records every
// input so tests can check what was known when it ran.
class ScriptedPerceptor : public Perceptor {
public:
    explicit ScriptedPerceptor(std::function<Value(const Dict&)> derive) : derive_(std::move(derive)) {}
    Task<Value> compute_sensors(const Value& sensors) override {
        seen.push_back(sensors);
        co_return derive_(sensors.as_dict());
    }
    std::vector<Value> seen;

private:
    std::function<Value(const Dict&)> derive_;
};

Value convert(const Value& readings, const SensorList& sensors, const PerceptorList& perceptors = {},
              SpacePtr sim_space = nullptr) {
    return run_sync(space_utils::convert_sim_sensors_to_tarvik_sensors(readings, std::move(sim_space), sensors,
                                                                       perceptors, {}));
}

std::vector<std::string> keys_of(const Value& v) { return v.as_dict().keys(); }

// ---------------------------------------------------------------- sensor space

TEST(SensorSpaceInfo, DictOfEverySensorInSensorOrder) {
    const SensorList sensors = {sensor("z", discrete(2)), sensor("a", box(0, 1, Shape{3}))};
    const SpacePtr space = run_sync(space_utils::get_tarvik_space_info(nullptr, sensors, {}, {}));
    EXPECT_EQ(space->repr(), "Dict('z': Discrete(2), 'a': Box(0.0, 1.0, (3,), float32))");
}

TEST(SensorSpaceInfo, DuplicateSensorNamesAreRejected) {
    const SensorList sensors = {sensor("a", discrete(2)), sensor("a", discrete(3))};
    EXPECT_THAT([&] { run_sync(space_utils::get_tarvik_space_info(nullptr, sensors, {}, {})); },
                ThrowsMessage<ValueError>(StrEq("the orchestration has two sensors named 'a'")));
}

TEST(FilterSpace, KeepsTheRequestedSensorsInRequestOrder) {
    const SpacePtr full = std::make_shared<spaces::Dict>(
        spaces::SpaceEntries{{"a", discrete(2)}, {"b", discrete(3)}, {"c", discrete(4)}});
    EXPECT_EQ(space_utils::filter_space(full, {"c", "a"})->repr(), "Dict('c': Discrete(4), 'a': Discrete(2))");
    EXPECT_EQ(space_utils::filter_space(full, {"b", "b"})->repr(), "Dict('b': Discrete(3))")
        << "a repeated key keeps one entry, as the filtered sample does";
    EXPECT_EQ(space_utils::filter_space(full, {})->flat_dim(), 0);
}

TEST(FilterSpace, RejectsUnknownKeysAndNonDictSpaces) {
    const SpacePtr full = std::make_shared<spaces::Dict>(spaces::SpaceEntries{{"a", discrete(2)}});
    EXPECT_THAT([&] { space_utils::filter_space(full, {"a", "x"}); },
                ThrowsMessage<KeyError>(StrEq("'x' is not a sensor of Dict('a': Discrete(2))")));
    EXPECT_THAT([&] { space_utils::filter_space(discrete(2), {"a"}); },
                ThrowsMessage<TypeError>(StrEq("filter_space expects a Dict space, got Discrete(2)")));
    EXPECT_THAT([&] { space_utils::filter_space(nullptr, {"a"}); },
                ThrowsMessage<TypeError>(StrEq("filter_space expects a Dict space, got None")));
}

// ---------------------------------------------------------------- conversion

class SensorConversion : public testing::Test {
protected:
    SensorList sensors = {
        sensor("mode", discrete(3)),
        sensor("pos", box(-10, 10, Shape{2})),
        sensor("flags", std::make_shared<spaces::MultiBinary>(2)),
    };
};

TEST_F(SensorConversion, MappingReadingsBecomeCoreForms) {
    const Value out = convert(Dict{{"flags", List{1, 0}}, {"pos", List{1.5, -2.0}}, {"mode", 2}, {"extra", 9}}, sensors);
    EXPECT_EQ(keys_of(out), (std::vector<std::string>{"mode", "pos", "flags"})) << "sensor order, extras dropped";
    EXPECT_EQ(out.as_dict().at("mode"), Value(2));
    const NdArray& pos = out.as_dict().at("pos").as_array();
    EXPECT_EQ(pos.dtype(), DType::Float32);
    EXPECT_TRUE(pos.equals(NdArray::of<float>({1.5f, -2.0f})));
    EXPECT_EQ(out.as_dict().at("flags").as_array().dtype(), DType::Int8);
}

TEST_F(SensorConversion, MappingReadingsUseTheSourceKey) {
    const SensorList keyed = {sensor("speed", box(0, 5, Shape{1}), at_key("raw_speed"))};
    const Value out = convert(Dict{{"raw_speed", 3.0}, {"speed", 1.0}}, keyed);
    EXPECT_EQ(out.as_dict().at("speed").as_array().item(0), 3.0);
}

TEST_F(SensorConversion, ArrayReadingOfTheSpaceTypeIsNotCopied) {
    const NdArray pos = NdArray::of<float>({1, 2});
    const Value out = convert(Dict{{"mode", 0}, {"pos", pos}, {"flags", NdArray::of<std::int8_t>({0, 0})}}, sensors);
    EXPECT_TRUE(out.as_dict().at("pos").as_array().is(pos));
}

TEST_F(SensorConversion, FlatVectorIsReadConsecutivelyInSensorOrder) {
    const NdArray flat = NdArray::of<double>({2, 0.5, -0.5, 1, 1});
    const Value out = convert(flat, sensors);
    EXPECT_EQ(out.as_dict().at("mode"), Value(2)) << "a Discrete sensor takes one raw entry, not a one-hot block";
    EXPECT_TRUE(out.as_dict().at("pos").as_array().equals(NdArray::of<float>({0.5f, -0.5f})));
    EXPECT_TRUE(out.as_dict().at("flags").as_array().equals(NdArray::of<std::int8_t>({1, 1})));
    // A list of numbers is a flat vector too.
    EXPECT_EQ(convert(List{1, 0.0, 0.0, 0, 1}, sensors).as_dict().at("mode"), Value(1));
}

TEST_F(SensorConversion, IndexSourcesPlaceSensorsAndOthersFollowThem) {
    const SensorList placed = {
        sensor("b", box(-1, 1, Shape{2}), at_index(3)),
        sensor("after_b", discrete(5)),  // follows b: entry 5
        sensor("a", discrete(5), at_index(0)),
    };
    const Value out = convert(NdArray::of<std::int64_t>({4, 9, 9, 1, 0, 3}), placed);
    EXPECT_TRUE(out.as_dict().at("b").as_array().equals(NdArray::of<float>({1, 0})));
    EXPECT_EQ(out.as_dict().at("after_b"), Value(3));
    EXPECT_EQ(out.as_dict().at("a"), Value(4));
}

TEST_F(SensorConversion, FlatVectorMustMatchTheSimSensorSpace) {
    const SpacePtr sim = std::make_shared<spaces::Dict>(spaces::SpaceEntries{
        {"mode", discrete(3)}, {"pos", box(-10, 10, Shape{2})}, {"flags", std::make_shared<spaces::MultiBinary>(2)}});
    EXPECT_NO_THROW(convert(NdArray::of<double>({0, 0, 0, 0, 0}), sensors, {}, sim))
        << "measured in raw entries: Discrete counts 1, not its 3 one-hot entries";
    EXPECT_THAT([&] { convert(NdArray::of<double>({0, 0, 0, 0, 0, 0}), sensors, {}, sim); },
                ThrowsMessage<ValueError>(StrEq(
                    "flat sensor readings have 6 values, but the sim sensor space Dict('mode': Discrete(3), 'pos': "
                    "Box(-10.0, 10.0, (2,), float32), 'flags': MultiBinary(2)) takes 5")));
}

TEST_F(SensorConversion, MissingAndIllSizedReadingsNameTheSensor) {
    EXPECT_THAT([&] { convert(Dict{{"mode", 1}, {"flags", List{0, 0}}}, sensors); },
                ThrowsMessage<KeyError>(StrEq("sensor 'pos' has no value: the readings have no key 'pos'")));
    EXPECT_THAT([&] { convert(Dict{{"mode", 1}, {"pos", List{1, 2, 3}}, {"flags", List{0, 0}}}, sensors); },
                ThrowsMessage<ValueError>(
                    StrEq("sensor 'pos' expects 2 values for Box(-10.0, 10.0, (2,), float32), got 3")));
    EXPECT_THAT([&] { convert(NdArray::of<double>({0, 1, 2}), sensors); },
                ThrowsMessage<ValueError>(
                    StrEq("sensor 'flags' reads 2 values from position 3 of flat readings that have 3 values")));
    const SensorList far = {sensor("x", discrete(2), at_index(std::numeric_limits<std::int64_t>::max()))};
    EXPECT_THAT([&] { convert(NdArray::of<double>({0}), far); },
                ThrowsMessage<ValueError>(
                    StrEq("sensor 'x' reads 1 values from position 9223372036854775807 of flat readings that "
                          "have 1 values")))
        << "an index near the int64 limit is refused without reading anywhere";
}

TEST_F(SensorConversion, ReadingsOfTheWrongKindAreTypeErrors) {
    EXPECT_THAT([&] { convert(Value(), sensors); },
                ThrowsMessage<TypeError>(
                    StrEq("sensor readings are None: expected a mapping or a flat numeric vector")));
    EXPECT_THAT([&] { convert("readings", sensors); },
                ThrowsMessage<TypeError>(
                    StrEq("sensor readings must be a mapping or a flat numeric vector, got str")));
    EXPECT_THROW(convert(List{1, "x", 2}, sensors), TypeError);
}

// A non-finite reading must never reach a model: every way readings come in
// (mapping, flat vector, composite, perceptor) is refused by name, while an
// opted-out sensor passes it on and readings beyond a Box's bounds stay valid.
TEST_F(SensorConversion, NonFiniteReadingsAreRefusedOnEveryPath) {
    const double nan = std::nan("");
    const SensorList tuple = {sensor("pair", std::make_shared<spaces::Tuple>(std::vector<SpacePtr>{
                                                 discrete(3), box(-1, 1, Shape{2}, DType::Float64)}))};
    const SensorList derived = {sensor("raw", discrete(2)), sensor("d", box(0, 1, Shape{1}), from_perceptor("p"))};
    auto perceptor = std::make_shared<ScriptedPerceptor>([](const Dict&) { return Value(Dict{{"d", -kInf}}); });
    struct Case { const char* label; std::function<Value()> run; std::string message; };
    const std::vector<Case> cases = {
        {"mapping, a number", [&] { return convert(Dict{{"mode", 1}, {"pos", List{0.0, nan}}, {"flags", List{0, 0}}}, sensors); },
         "sensor 'pos' reading is not finite: nan at position 1"},
        {"mapping, a float32 array", [&] {
             return convert(Dict{{"mode", 1}, {"pos", NdArray::of<float>({INFINITY, 0})}, {"flags", List{0, 0}}}, sensors);
         }, "sensor 'pos' reading is not finite: inf at position 0"},
        {"float64 beyond float32", [&] { return convert(NdArray::of<double>({1, 1e300, 0, 0, 0}), sensors); },
         "sensor 'pos' reading is not finite: inf at position 0"},
        {"flat vector inside a composite", [&] { return convert(NdArray::of<double>({2, 0.5, nan}), tuple); },
         "sensor 'pair' reading is not finite: nan at position 1"},
        {"perceptor result", [&] { return convert(Dict{{"raw", 0}}, derived, {perceptor}); },
         "sensor 'd' reading is not finite: -inf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_THAT(c.run, ThrowsMessage<ValueError>(
                               StrEq(c.message + " (a sensor whose teacher replaces missing values sets "
                                                 "\"allow_non_finite\")")));
    }

    const SensorList opted_out = {std::make_shared<Sensor>("pos", box(-10, 10, Shape{2}), SensorSource{},
                                                           Normalization{}, /*allow_non_finite=*/true)};
    const NdArray passed = convert(Dict{{"pos", List{nan, kInf}}}, opted_out).as_dict().at("pos").as_array();
    EXPECT_TRUE(std::isnan(passed.data<float>()[0]) && std::isinf(passed.data<float>()[1]));
    EXPECT_NO_THROW(convert(Dict{{"mode", 1}, {"pos", List{-1e6, 99.0}}, {"flags", List{0, 0}}}, sensors))
        << "readings beyond the Box's bounds are accepted";

    const std::vector<double> values = {0.0, -1e308, nan, kInf};
    EXPECT_EQ(find_non_finite(std::span<const double>(values)), 2u);
    EXPECT_EQ(find_non_finite(std::span<const double>(values).first(2)), 2u) << "all finite: the size";
}

// ---------------------------------------------------------------- perceptors

TEST(PerceptorSensors, PerceptorsFillDerivedSensorsInOrder) {
    const SensorList sensors = {
        sensor("speed", box(0, 100, Shape{1})),
        sensor("fast", discrete(2), from_perceptor("classifier")),
        sensor("alarm", std::make_shared<spaces::MultiBinary>(1), from_perceptor("alarm")),
    };
    auto classifier = std::make_shared<ScriptedPerceptor>([](const Dict& seen) {
        return Value(Dict{{"fast", seen.at("speed").as_array().item(0) > 50 ? 1 : 0}, {"not_a_sensor", 7}});
    });
    auto alarm = std::make_shared<ScriptedPerceptor>([](const Dict& seen) {
        return Value(Dict{{"alarm", List{seen.at("fast").as_int()}}, {"speed", List{0.0}}});
    });
    const Value out = convert(Dict{{"speed", 80.0}}, sensors, {classifier, alarm});

    EXPECT_EQ(keys_of(out), (std::vector<std::string>{"speed", "fast", "alarm"}));
    EXPECT_EQ(out.as_dict().at("fast"), Value(1));
    EXPECT_TRUE(out.as_dict().at("alarm").as_array().equals(NdArray::of<std::int8_t>({1})));
    EXPECT_EQ(out.as_dict().at("speed").as_array().item(0), 80.0) << "a perceptor never overrides a raw sensor";
    ASSERT_EQ(classifier->seen.size(), 1u);
    EXPECT_EQ(keys_of(classifier->seen[0]), (std::vector<std::string>{"speed"}));
    ASSERT_EQ(alarm->seen.size(), 1u);
    EXPECT_EQ(keys_of(alarm->seen[0]), (std::vector<std::string>{"speed", "fast"})) << "sees earlier results";
}

TEST(PerceptorSensors, FailuresNameThePerceptorOrTheSensor) {
    const SensorList sensors = {sensor("raw", discrete(2)), sensor("derived", discrete(2), from_perceptor("p"))};
    auto silent = std::make_shared<ScriptedPerceptor>([](const Dict&) { return Value(Dict{}); });
    auto wrong = std::make_shared<ScriptedPerceptor>([](const Dict&) { return Value(List{1}); });
    EXPECT_THAT([&] { convert(Dict{{"raw", 0}}, sensors, {silent}); },
                ThrowsMessage<KeyError>(
                    StrEq("sensor 'derived' has no value: no perceptor provided it (its source is perceptor 'p')")));
    EXPECT_THAT([&] { convert(Dict{{"raw", 0}}, sensors, {wrong}); },
                ThrowsMessage<TypeError>(
                    StrEq("perceptor ScriptedPerceptor returned list from compute_sensors, expected a mapping")));
    EXPECT_THAT([&] { convert(Dict{{"raw", 0}}, sensors, {nullptr}); },
                ThrowsMessage<TypeError>(StrEq("perceptor 0 is None")));
}

// ---------------------------------------------------------------- filter_sample

TEST(FilterSample, KeepsRequestedKeysInRequestOrderAndSkipsMissingOnes) {
    const Value sample = Dict{{"a", 1}, {"b", 2}, {"c", 3}};
    const Value out = space_utils::filter_sample(sample, {"c", "missing", "a"});
    EXPECT_EQ(out, Value(Dict{{"c", 3}, {"a", 1}}));
    EXPECT_EQ(keys_of(out), (std::vector<std::string>{"c", "a"}));
    EXPECT_TRUE(space_utils::filter_sample(Value(), {"a"}).is_none());
    EXPECT_THAT([] { space_utils::filter_sample(List{1}, {"a"}); },
                ThrowsMessage<TypeError>(StrEq("filter_sample expects a mapping, got list")));
}

// ---------------------------------------------------------------- masks

TEST(CombineMasks, ElementwiseAndAsNewZeroOneArray) {
    const NdArray a = NdArray::of<std::int8_t>({1, 1, 0, 2, -1});
    const NdArray b = NdArray::of<std::int8_t>({1, 0, 1, 3, 1});
    const NdArray out = space_utils::combine_masks(a, b);
    EXPECT_EQ(out.dtype(), DType::Int8);
    EXPECT_TRUE(out.equals(NdArray::of<std::int8_t>({1, 0, 0, 1, 1})));
    EXPECT_FALSE(out.shares_memory_with(a));
    EXPECT_FALSE(out.shares_memory_with(b));
    EXPECT_EQ(space_utils::combine_masks(NdArray::zeros(DType::Int8, Shape{0}), NdArray::zeros(DType::Int8, Shape{0})).size(),
              0);
}

TEST(CombineMasks, RejectsMismatchedMasks) {
    const NdArray four = NdArray::ones(DType::Int8, Shape{4});
    EXPECT_THAT([&] { space_utils::combine_masks(four, NdArray::ones(DType::Int8, Shape{6})); },
                ThrowsMessage<ValueError>(StrEq("cannot combine action masks of lengths 4 and 6")));
    EXPECT_THAT([&] { space_utils::combine_masks(four, NdArray::ones(DType::Float64, Shape{4})); },
                ThrowsMessage<TypeError>(StrEq("combine_masks expects int8 masks, got int8 and float64")));
    EXPECT_THAT([&] { space_utils::combine_masks(NdArray::ones(DType::Int8, Shape{2, 2}), four); },
                ThrowsMessage<ValueError>(
                    StrEq("combine_masks expects one-dimensional masks, got shapes (2, 2) and (4,)")));
}

TEST(OrchestratorMask, OneAllowedEntryPerChild) {
    const AgentOrchestrator three(AgentDefinition{.name = "top", .children = {"a", "b", "c"}});
    const NdArray mask = space_utils::compute_orchestrator_action_mask(three, Value());
    EXPECT_EQ(mask.dtype(), DType::Int8);
    EXPECT_TRUE(mask.equals(NdArray::ones(DType::Int8, Shape{3})));
    const AgentOrchestrator none(AgentDefinition{.name = "empty"});
    EXPECT_EQ(space_utils::compute_orchestrator_action_mask(none, 1).shape(), Shape{0});
}

// ---------------------------------------------------------------- unsquash

TEST(Unsquash, BoxMapsMinusOneOneToTheBoundsAndClips) {
    const SpacePtr space = std::make_shared<spaces::Box>(NdArray::of<double>({0, -4}), NdArray::of<double>({10, 4}));
    const Value out = space_utils::unsquash_action(NdArray::of<float>({-1, 0.5}), space);
    EXPECT_EQ(out.as_array().dtype(), DType::Float32);
    EXPECT_TRUE(out.as_array().equals(NdArray::of<float>({0, 2})));
    const Value clipped = space_utils::unsquash_action(List{3.0, -7.0}, space);
    EXPECT_TRUE(clipped.as_array().equals(NdArray::of<float>({10, -4})));
}

TEST(Unsquash, ResultStaysInsideFloat32Bounds) {
    const SpacePtr space = box(0.0, 0.1, Shape{1});
    const NdArray out = space_utils::unsquash_action(NdArray::of<float>({1}), space).as_array();
    EXPECT_LE(static_cast<double>(out.values<float>()[0]), static_cast<const spaces::Box&>(*space).high().item(0));
}

TEST(Unsquash, IntegerBoxesRoundToTheNearestWholeNumber) {
    const SpacePtr space = box(0, 10, Shape{3}, DType::Int64);
    const NdArray out = space_utils::unsquash_action(NdArray::of<double>({-1, 0.19, 1}), space).as_array();
    EXPECT_EQ(out.dtype(), DType::Int64);
    EXPECT_TRUE(out.equals(NdArray::of<std::int64_t>({0, 6, 10})));
    EXPECT_THAT([&] { space_utils::unsquash_action(NdArray::of<double>({0, std::nan(""), 0}), space); },
                ThrowsMessage<ValueError>(StrEq("unsquash_action got NaN at position 1 for Box(0, 10, (3,), int64)")));
}

TEST(Unsquash, UnboundedBoxesAndOtherKindsAreUnchanged) {
    const NdArray action = NdArray::of<float>({0.5, 0.5});
    const Value same = space_utils::unsquash_action(action, box(-kInf, 1, Shape{2}));
    EXPECT_TRUE(same.as_array().is(action));
    EXPECT_EQ(space_utils::unsquash_action(2, discrete(3)), Value(2));
    const NdArray bits = NdArray::of<std::int8_t>({1, 0});
    EXPECT_TRUE(space_utils::unsquash_action(bits, std::make_shared<spaces::MultiBinary>(2)).as_array().is(bits));
}

TEST(Unsquash, CompositesRecurseAndKeepTheActionsContainer) {
    const SpacePtr inner = std::make_shared<spaces::Dict>(
        spaces::SpaceEntries{{"x", box(0, 2, Shape{1})}, {"k", discrete(2)}});
    const SpacePtr space = std::make_shared<spaces::Tuple>(std::vector<SpacePtr>{discrete(3), inner});

    const Value as_tuple = space_utils::unsquash_action(Tuple{1, Dict{{"k", 1}, {"x", List{0.0}}}}, space);
    ASSERT_TRUE(as_tuple.is_tuple());
    EXPECT_EQ(as_tuple.as_tuple()[0], Value(1));
    const Dict& d = as_tuple.as_tuple()[1].as_dict();
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"k", "x"})) << "the action's key order is kept";
    EXPECT_TRUE(d.at("x").as_array().equals(NdArray::of<float>({1})));

    EXPECT_TRUE(space_utils::unsquash_action(List{0, Dict{{"x", 1.0}, {"k", 0}}}, space).is_list());
}

TEST(Unsquash, MismatchedActionsAreRefused) {
    const SpacePtr tuple = std::make_shared<spaces::Tuple>(std::vector<SpacePtr>{discrete(2), discrete(2)});
    const SpacePtr dict = std::make_shared<spaces::Dict>(spaces::SpaceEntries{{"x", box(0, 1, Shape{1})}});
    EXPECT_THAT([&] { space_utils::unsquash_action(Tuple{1}, tuple); },
                ThrowsMessage<ValueError>(
                    StrEq("unsquash_action expects 2 parts for Tuple(Discrete(2), Discrete(2)), got 1")));
    EXPECT_THAT([&] { space_utils::unsquash_action(1, tuple); },
                ThrowsMessage<TypeError>(
                    StrEq("unsquash_action expects a tuple or list for Tuple(Discrete(2), Discrete(2)), got int")));
    EXPECT_THAT([&] { space_utils::unsquash_action(Dict{{"y", 1.0}}, dict); },
                ThrowsMessage<KeyError>(StrEq(
                    "unsquash_action: the action has no key 'x' of Dict('x': Box(0.0, 1.0, (1,), float32))")));
    EXPECT_THAT([&] { space_utils::unsquash_action(List{1, 2}, box(0, 1, Shape{1})); },
                ThrowsMessage<ValueError>(
                    StrEq("unsquash_action expects 1 values for Box(0.0, 1.0, (1,), float32), got 2")));
    EXPECT_THAT([&] { space_utils::unsquash_action(1, nullptr); },
                ThrowsMessage<TypeError>(StrEq("unsquash_action needs an action space, got None")));
}

// ---------------------------------------------------------------- make_np_array

TEST(MakeNpArray, AlwaysOneDimensionalWithTheSameValues) {
    const NdArray grid = NdArray::from_vector<float>({1, 2, 3, 4}, Shape{2, 2});
    const NdArray flat = space_utils::make_np_array(grid);
    EXPECT_EQ(flat.shape(), Shape{4});
    EXPECT_TRUE(flat.shares_memory_with(grid)) << "already contiguous: a view, not a copy";
    EXPECT_TRUE(space_utils::make_np_array(Value(List{1.5, 2.5})).equals(NdArray::of<double>({1.5, 2.5})));
    EXPECT_EQ(space_utils::make_np_array(Value(3)).shape(), Shape{1});
    EXPECT_THROW(space_utils::make_np_array(Value()), TypeError);
}

// ---------------------------------------------------------------- sensors

TEST(SensorReading, FlatSizeIsTheRawEntryCount) {
    const std::vector<std::pair<SpacePtr, std::int64_t>> cases = {
        {discrete(7), 1},
        {std::make_shared<spaces::MultiDiscrete>(std::vector<std::int64_t>{4, 5, 6}), 3},
        {box(0, 1, Shape{2, 3}), 6},
        {std::make_shared<spaces::MultiBinary>(Shape{4}), 4},
        {std::make_shared<spaces::Tuple>(std::vector<SpacePtr>{discrete(3), box(0, 1, Shape{2})}), 3},
    };
    for (const auto& [space, size] : cases) {
        SCOPED_TRACE(space->repr());
        EXPECT_EQ(Sensor("s", space).flat_size(), size);
    }
}

TEST(SensorReading, DiscreteReadingsBecomePlainInts) {
    const Sensor s("gear", discrete(4));
    EXPECT_EQ(s.convert_reading(2), Value(2));
    EXPECT_EQ(s.convert_reading(3.0), Value(3));
    EXPECT_EQ(s.convert_reading(NdArray::of<float>({1})), Value(1));
    EXPECT_THAT([&] { s.convert_reading(2.5); },
                ThrowsMessage<ValueError>(StrEq("sensor 'gear' expects a whole number for Discrete(4), got 2.5")));
    EXPECT_THAT([&] { s.convert_reading(4); },
                ThrowsMessage<ValueError>(StrEq("sensor 'gear' reading 4 is outside Discrete(4)")));
    EXPECT_THAT([&] { s.convert_reading("2"); },
                ThrowsMessage<ValueError>(StrEq("sensor 'gear' expects an int for Discrete(4), got str")));
    EXPECT_THAT([&] { s.convert_reading(NdArray::of<double>({1, 2})); },
                ThrowsMessage<ValueError>(StrEq("sensor 'gear' expects 1 values for Discrete(4), got 2")));
}

TEST(SensorReading, ArrayReadingsTakeTheSpaceTypeAndShape) {
    const Sensor grid("grid", box(-1, 1, Shape{2, 2}));
    const NdArray out = grid.convert_reading(List{0.1, 0.2, 0.3, 0.4}).as_array();
    EXPECT_EQ(out.dtype(), DType::Float32);
    EXPECT_EQ(out.shape(), (Shape{2, 2}));

    const Sensor counts("counts", std::make_shared<spaces::MultiDiscrete>(std::vector<std::int64_t>{3, 3}));
    EXPECT_TRUE(counts.convert_reading(NdArray::of<double>({2, 1})).as_array().equals(
        NdArray::of<std::int64_t>({2, 1})));
    EXPECT_THAT([&] { counts.convert_reading(NdArray::of<double>({2, 0.5})); },
                ThrowsMessage<ValueError>(StrEq("sensor 'counts' reading [2. 0.5] for MultiDiscrete([3 3]) holds a "
                                                "value that is not a whole number at position 1")));
    EXPECT_THAT([&] { grid.convert_reading(Value()); },
                ThrowsMessage<ValueError>(StrEq(
                    "sensor 'grid' expects a number, list or array for Box(-1.0, 1.0, (2, 2), float32), got NoneType")));
}

TEST(SensorReading, IntegerSpacesRejectReadingsTheirTypeWouldAlter) {
    // Lists and numbers are read in their own types before the conversion to
    // the space's type, which would truncate 0.7 to 0 or wrap 256 to 0.
    const Sensor counts("counts", std::make_shared<spaces::MultiDiscrete>(std::vector<std::int64_t>{3, 3}));
    const Sensor flags("flags", std::make_shared<spaces::MultiBinary>(Shape{2}));
    EXPECT_THAT([&] { counts.convert_reading(List{2, 0.5}); },
                ThrowsMessage<ValueError>(StrEq("sensor 'counts' reading [2. 0.5] for MultiDiscrete([3 3]) holds a "
                                                "value that is not a whole number at position 1")));
    EXPECT_THAT([&] { flags.convert_reading(List{0.7, 1}); },
                ThrowsMessage<ValueError>(HasSubstr("holds a value that is not a whole number at position 0")));
    EXPECT_THAT([&] { flags.convert_reading(List{std::nan(""), 1}); },
                ThrowsMessage<ValueError>(HasSubstr("holds a value that is not a whole number at position 0")));
    EXPECT_THAT([&] { flags.convert_reading(List{1, 256}); },
                ThrowsMessage<ValueError>(HasSubstr("holds a value that is neither 0 nor 1 at position 1")));
    EXPECT_THAT([&] { flags.convert_reading(NdArray::of<std::int64_t>({-1, 0})); },
                ThrowsMessage<ValueError>(HasSubstr("holds a value that is neither 0 nor 1 at position 0")));
    EXPECT_TRUE(flags.convert_reading(List{true, 0.0}).as_array().equals(NdArray::of<std::int8_t>({1, 0})));
    EXPECT_TRUE(counts.convert_reading(List{2, 1}).as_array().equals(NdArray::of<std::int64_t>({2, 1})));
}

TEST(SensorReading, CompositeSensorsSplitFlatReadings) {
    const Sensor pair("pair", std::make_shared<spaces::Tuple>(std::vector<SpacePtr>{discrete(3), box(0, 1, Shape{2})}));
    const Value out = pair.convert_reading(NdArray::of<double>({2, 0.25, 0.75}));
    ASSERT_TRUE(out.is_tuple());
    EXPECT_EQ(out.as_tuple()[0], Value(2));
    EXPECT_TRUE(out.as_tuple()[1].as_array().equals(NdArray::of<float>({0.25f, 0.75f})));
}

class SensorNormalization : public testing::Test {
protected:
    static Normalization scale(NdArray low = {}, NdArray high = {}) {
        return {.kind = Normalization::Kind::scale, .a = std::move(low), .b = std::move(high)};
    }
    static Normalization standard(NdArray mean, NdArray std) {
        return {.kind = Normalization::Kind::standard, .a = std::move(mean), .b = std::move(std)};
    }
};

TEST_F(SensorNormalization, ScaleMapsTheBoxBoundsToMinusOneOne) {
    const Sensor s("pos", box(0, 10, Shape{3}), {}, scale());
    const NdArray input = NdArray::of<double>({0, 5, 10});
    const Value out = s.normalize_sample(input);
    EXPECT_EQ(out.as_array().dtype(), DType::Float32);
    EXPECT_TRUE(out.as_array().equals(NdArray::of<float>({-1, 0, 1})));
    EXPECT_TRUE(input.equals(NdArray::of<double>({0, 5, 10}))) << "the input is not modified";
}

TEST_F(SensorNormalization, ParametersBroadcastFromOneValue) {
    const Sensor s("v", box(-kInf, kInf, Shape{2}), {},
                   standard(NdArray::of<double>({1}), NdArray::of<double>({2, 4})));
    EXPECT_TRUE(s.normalize_sample(List{3, 9}).as_array().equals(NdArray::of<float>({1, 2})));
}

TEST_F(SensorNormalization, WithoutNormalizationTheValueIsReturnedItself) {
    const Sensor s("v", box(0, 1, Shape{2}));
    const NdArray input = NdArray::of<float>({0.5, 0.5});
    EXPECT_TRUE(s.normalize_sample(input).as_array().is(input));
}

TEST_F(SensorNormalization, BadValuesAndParametersNameTheSensor) {
    const Sensor s("pos", box(0, 10, Shape{3}), {}, scale());
    EXPECT_THAT([&] { s.normalize_sample(List{1, 2}); },
                ThrowsMessage<ValueError>(
                    StrEq("sensor 'pos' normalization expects 3 values for Box(0.0, 10.0, (3,), float32), got 2")));
    EXPECT_THAT([] { Sensor("d", discrete(2), {}, scale()); },
                ThrowsMessage<ValueError>(
                    StrEq("sensor 'd': normalization applies to Box sensors only, not Discrete(2)")));
    EXPECT_THAT([] { Sensor("u", box(0, kInf, Shape{1}), {}, scale()); },
                ThrowsMessage<ValueError>(StrEq("sensor 'u': scale normalization needs finite low and high, got 0.0 "
                                                "and inf for Box(0.0, inf, (1,), float32)")));
    EXPECT_THAT([] { Sensor("z", box(0, 1, Shape{2}), {}, standard(NdArray::of<double>({0}), NdArray::of<double>({1, 0}))); },
                ThrowsMessage<ValueError>(
                    StrEq("sensor 'z': standard normalization needs a positive std, got 0.0 and 0.0 at position 1")));
    EXPECT_THAT([] { Sensor("w", box(0, 1, Shape{2}), {}, standard(NdArray::of<double>({0, 0, 0}), NdArray::of<double>({1}))); },
                ThrowsMessage<ValueError>(StrEq("sensor 'w': a normalization parameter of 3 values does not fit "
                                                "Box(0.0, 1.0, (2,), float32) (2 values)")));
    EXPECT_THAT([] { Sensor("n", nullptr); }, ThrowsMessage<ValueError>(StrEq("sensor 'n' has no space")));
}

}  // namespace
