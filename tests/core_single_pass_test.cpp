// The one-pass forms the step pipeline uses (mappings built in one go, sensor
// conversion without perceptors, normalisation written in place) must give
// exactly what the general forms give, including for repeated keys, readings
// out of sensor order and parameters changed after construction.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tarvik_core/async_run.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/space_utils.hpp"

using namespace tarvik_core;
using spaces::SpacePtr;
using testing::StrEq;
using testing::ThrowsMessage;

namespace {

SpacePtr discrete(std::int64_t n) { return std::make_shared<spaces::Discrete>(n); }
SpacePtr box(double low, double high, Shape shape) { return std::make_shared<spaces::Box>(low, high, shape); }
SensorPtr sensor(std::string name, SpacePtr space, SensorSource source = {}, Normalization norm = {}) {
    return std::make_shared<Sensor>(std::move(name), std::move(space), std::move(source), std::move(norm));
}

// What set() builds from the same entries, key by key.
Dict built_by_set(const Dict::Items& entries) {
    Dict d;
    for (const auto& [key, value] : entries) d.set(key, value);
    return d;
}

void expect_same_mapping(const Dict& actual, const Dict& expected) {
    EXPECT_EQ(actual.keys(), expected.keys());
    EXPECT_EQ(Value(actual), Value(expected)) << repr(Value(actual)) << " vs " << repr(Value(expected));
}

TEST(DictFromEntries, AgreesWithSetForDistinctAndRepeatedKeys) {
    Dict::Items many;
    for (int i = 0; i < 40; ++i) many.emplace_back("k" + std::to_string(39 - i), Value(i));
    Dict::Items many_repeated = many;
    many_repeated.emplace_back("k39", Value("last"));

    const std::vector<std::pair<std::string, Dict::Items>> cases = {
        {"empty", {}},
        {"distinct", {{"b", Value(1)}, {"a", Value(2)}, {"c", Value(3)}}},
        {"repeated", {{"a", Value(1)}, {"b", Value(2)}, {"a", Value(3)}}},
        {"repeated last", {{"x", Value(1)}, {"x", Value(2)}}},
        {"more than fit inline", many},
        {"more than fit inline, repeated", many_repeated},
    };
    for (const auto& [name, entries] : cases) {
        SCOPED_TRACE(name);
        expect_same_mapping(Dict::from_entries(entries), built_by_set(entries));
    }
    // A repeated key keeps its first position and takes the last value.
    const Dict d = Dict::from_entries({{"a", Value(1)}, {"b", Value(2)}, {"a", Value(3)}});
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(d.at("a"), Value(3));
}

class SensorsWithoutPerceptors : public testing::Test {
protected:
    SensorList sensors = {
        sensor("mode", discrete(3)),
        sensor("pos", box(-10, 10, Shape{2})),
        sensor("speed", box(0, 5, Shape{1}), {.kind = SensorSource::Kind::key, .key = "raw_speed"}),
    };

    Value awaited(const Value& readings, const SensorList& list) const {
        return run_sync(space_utils::convert_sim_sensors_to_tarvik_sensors(readings, nullptr, list, {}, {}));
    }
    Value direct(const Value& readings, const SensorList& list) const {
        return space_utils::convert_sim_sensors_without_perceptors(readings, nullptr, list);
    }
};

TEST_F(SensorsWithoutPerceptors, AgreeWithTheAwaitedConversion) {
    const std::vector<std::pair<std::string, Value>> cases = {
        {"sensor order", Dict{{"mode", 1}, {"pos", List{1.5, -2.0}}, {"raw_speed", 3.0}}},
        {"another order, extras", Dict{{"extra", 9}, {"raw_speed", 3.0}, {"pos", List{1, 2}}, {"mode", 2}}},
        {"a key at another sensor's position", Dict{{"pos", List{0, 0}}, {"mode", 0}, {"raw_speed", 1.0}}},
        {"flat vector", NdArray::of<double>({2, 0.5, -0.5, 4})},
    };
    for (const auto& [name, readings] : cases) {
        SCOPED_TRACE(name);
        const Value expected = awaited(readings, sensors);
        const Value actual = direct(readings, sensors);
        expect_same_mapping(actual.as_dict(), expected.as_dict());
        EXPECT_EQ(actual.as_dict().at("pos").as_array().dtype(), DType::Float32);
    }
}

TEST_F(SensorsWithoutPerceptors, FailuresAreTheAwaitedConversionsFailures) {
    const SensorList derived = {sensor("speed", box(0, 5, Shape{1})),
                                sensor("fast", discrete(2), {.kind = SensorSource::Kind::perceptor, .perceptor = "p"})};
    const std::string unprovided = "sensor 'fast' has no value: no perceptor provided it (its source is perceptor 'p')";
    EXPECT_THAT([&] { direct(Dict{{"speed", 1.0}}, derived); }, ThrowsMessage<KeyError>(StrEq(unprovided)));
    EXPECT_THAT([&] { awaited(Dict{{"speed", 1.0}}, derived); }, ThrowsMessage<KeyError>(StrEq(unprovided)));

    // The readings are judged before any sensor, even a missing one.
    const SensorList with_null = {sensor("a", discrete(2)), nullptr};
    const std::string none = "sensor readings are None: expected a mapping or a flat numeric vector";
    EXPECT_THAT([&] { direct(Value(), with_null); }, ThrowsMessage<TypeError>(StrEq(none)));
    EXPECT_THAT([&] { direct(Dict{{"a", 1}}, with_null); },
                ThrowsMessage<TypeError>(StrEq("orchestration sensor 1 is None")));
    EXPECT_THAT([&] { direct(Dict{{"mode", 1}}, sensors); },
                ThrowsMessage<KeyError>(StrEq("sensor 'pos' has no value: the readings have no key 'pos'")));
}

TEST_F(SensorsWithoutPerceptors, RepeatedSensorNamesKeepTheFirstPositionAndTheLastValue) {
    const SensorList twice = {sensor("x", discrete(3)), sensor("y", discrete(3)), sensor("x", box(0, 5, Shape{1}))};
    const Value readings = Dict{{"x", 1}, {"y", 2}};
    for (const Value& out : {direct(readings, twice), awaited(readings, twice)}) {
        EXPECT_EQ(out.as_dict().keys(), (std::vector<std::string>{"x", "y"}));
        EXPECT_TRUE(out.as_dict().at("x").as_array().equals(NdArray::of<float>({1})));
    }
}

class NormalizeInPlace : public testing::Test {
protected:
    static std::vector<float> into(const Sensor& s, const Value& value) {
        std::vector<float> out(static_cast<std::size_t>(shape_product(s.space->shape())), -99.0f);
        s.normalize_into(value, out.data());
        return out;
    }
    static std::vector<float> sampled(const Sensor& s, const Value& value) {
        const Value normalized = s.normalize_sample(value);
        const auto values = normalized.as_array().values<float>();
        return {values.begin(), values.end()};
    }
};

TEST_F(NormalizeInPlace, WritesTheValuesNormalizeSampleReturns) {
    const Sensor scaled("pos", box(-3, 7, Shape{2, 2}), {}, {.kind = Normalization::Kind::scale});
    const Sensor standard("v", box(-100, 100, Shape{3}), {},
                          {.kind = Normalization::Kind::standard, .a = NdArray::of<double>({0.5, -1, 2}),
                           .b = NdArray::of<double>({0.3})});
    const std::vector<std::pair<const Sensor*, Value>> cases = {
        {&scaled, NdArray::from_vector<float>({-3, 0.1f, 7, 2.5f}, Shape{2, 2})},
        {&scaled, List{1, 2, 3, 4}},
        {&standard, NdArray::of<double>({0.1, 1e-7, 1e39})},
    };
    for (const auto& [s, value] : cases) {
        SCOPED_TRACE(s->name + " " + repr(value));
        const auto a = into(*s, value);
        const auto b = sampled(*s, value);
        ASSERT_EQ(a.size(), b.size());
        EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0) << "bit for bit";
    }
}

TEST_F(NormalizeInPlace, ParametersChangedAfterConstructionAreDerivedAgain) {
    Sensor s("pos", box(0, 10, Shape{2}), {}, {.kind = Normalization::Kind::scale});
    // Bounds dropped again come from the Box, as at construction.
    s.normalization.a = NdArray();
    EXPECT_EQ(into(s, List{0, 5}), (std::vector<float>{-1, 0}));
    EXPECT_EQ(sampled(s, List{0, 5}), (std::vector<float>{-1, 0}));
    // Integer parameters are read as float64.
    s.normalization.a = NdArray::of<std::int64_t>({0});
    EXPECT_EQ(into(s, List{10, 5}), (std::vector<float>{1, 0}));
    // A parameter that no longer fits is refused, as normalize_sample refuses it.
    s.normalization.b = NdArray::of<double>({1, 2, 3});
    const std::string message = "sensor 'pos': a normalization parameter of 3 values does not fit "
                                "Box(0.0, 10.0, (2,), float32) (2 values)";
    EXPECT_THAT([&] { into(s, List{1, 2}); }, ThrowsMessage<ValueError>(StrEq(message)));
    EXPECT_THAT([&] { sampled(s, List{1, 2}); }, ThrowsMessage<ValueError>(StrEq(message)));
}

TEST_F(NormalizeInPlace, ASensorWithoutNormalizationIsRefused) {
    const Sensor plain("v", box(0, 1, Shape{1}));
    EXPECT_THAT([&] { into(plain, List{0.5}); },
                ThrowsMessage<ValueError>(StrEq("sensor 'v' has no normalization")));
}

}  // namespace
