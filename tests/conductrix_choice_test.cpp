// The model's choice of child: masked softmax, first maximum, the element type
// of the logits, the observation the model receives, and malformed input.
#include "conductrix_support.hpp"

#include <optional>

namespace conductrix_test {
namespace {

using ChoiceTest = OrchestratorTest;

Value model_observation(Value observation, std::optional<Value> mask) {
    Dict d;
    d.set("observation", std::move(observation));
    if (mask) d.set("action_mask", std::move(*mask));
    return d;
}

TEST_F(ChoiceTest, MaskedSoftmaxPicksTheFirstMaximum) {
    struct Case {
        const char* name;
        LogitsModel model;
        std::optional<Value> mask;
        std::int64_t expected;
    } cases[] = {
        {"unmasked", {.logits = {1, 3, 2}}, std::nullopt, 1},
        {"mask of None", {.logits = {1, 3, 2}}, Value(), 1},
        {"masked middle logit", {.logits = {1, 3, 2}}, List{1, 0, 1}, 2},
        {"negative entries forbid", {.logits = {1, 3, 2}}, List{1, -1, 1}, 2},
        {"all masked", {.logits = {1, 3, 2}}, List{0, 0, 0}, 0},
        {"mask longer than the logits is ignored", {.logits = {1, 3, 2}}, List{1, 0, 1, 1}, 1},
        {"mask shorter than the logits is ignored", {.logits = {1, 3, 2}}, List{1, 0}, 1},
        {"ties go to the first", {.logits = {2, 2, 1}}, std::nullopt, 0},
        {"masked tie", {.logits = {2, 2, 1}}, List{0, 1, 1}, 1},
        {"one-dimensional output", {.logits = {1, 3, 2}, .shape = {3}}, List{1, 0, 1}, 2},
        {"batch of one", {.logits = {1, 3, 2}, .shape = {1, 3}}, List{1, 0, 1}, 2},
        {"float64 logits", {.logits = {1, 3, 2}, .dtype = DType::Float64}, List{1, 0, 1}, 2},
        {"mask as an array", {.logits = {1, 3, 2}}, Value(NdArray::of<double>({0, 0, 1})), 2},
        // exp(-1e-8) is 1.0f in float32, so both probabilities are equal and
        // the first wins; raw logits (or float64 arithmetic) would pick 1.
        {"float32 probabilities tie", {.logits = {0.0f, 1e-8f}}, std::nullopt, 0},
        {"float64 probabilities differ", {.logits = {0.0f, 1e-8f}, .dtype = DType::Float64}, std::nullopt, 1},
        {"integer logits", {.logits = {1, 3, 2}, .dtype = DType::Int64}, List{1, 0, 1}, 2},
        {"integer logits unmasked", {.logits = {1, 3, 2}, .dtype = DType::Int32}, std::nullopt, 1},
        // Mask entries are judged as float32: 1e-50 becomes 0 and forbids.
        {"mask entry too small for float32", {.logits = {1, 3, 2}}, Value(NdArray::of<double>({1, 1e-50, 1})), 2},
        {"mask entry just above zero in float32", {.logits = {1, 3, 2}}, Value(NdArray::of<double>({1, 1e-40, 1})), 1},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto p = ready("top", engine("m" + std::to_string(n++) + ".onnx", c.model));
        Value sensors_filtered = model_observation(List{1.0, 2.0}, c.mask);
        EXPECT_EQ(run_sync(p->_get_orchestrator_action(sensors_filtered)), c.expected);
    }
}

TEST_F(ChoiceTest, ObservationReachesTheModelInMappingOrderAsFloat32) {
    // logits = [obs0, obs1, 1.5]: the first entry wins when it is the larger.
    auto model = std::make_shared<GrafexEngine>(
        linear_policy({.obs_size = 2, .weights = {1, 0, 0, 1, 0, 0}, .bias = {0, 0, 1.5f}})
            .write(dir / "linear.onnx")
            .string());
    struct Case {
        const char* name;
        Value observation;
        std::int64_t expected;
    } cases[] = {
        {"mapping in insertion order, not key order", Dict{{"b", 1.0}, {"a", 2.0}}, 1},
        {"mapping the other way round", Dict{{"a", 2.0}, {"b", 1.0}}, 0},
        {"list", List{2.0, 1.0}, 0},
        {"float64 array", Value(NdArray::of<double>({1.0, 2.0})), 1},
    };
    auto p = ready("top", model);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_sync(p->_get_orchestrator_action(model_observation(c.observation, std::nullopt))), c.expected);
    }
}

TEST_F(ChoiceTest, MalformedModelObservationsAndAMissingModelAreRejected) {
    auto p = ready("top", engine("m.onnx", {.logits = {1, 3, 2}}));
    expect_error<TypeError>([&] { run_sync(p->_get_orchestrator_action(List{1.0, 2.0})); },
                            "sensors_filtered must be a dict, got list");
    expect_error<KeyError>([&] { run_sync(p->_get_orchestrator_action(Dict{{"action_mask", List{1, 1, 1}}})); },
                           "'observation'");
    auto without_model = ready("top", nullptr);
    expect_error<RuntimeError>(
        [&] { run_sync(without_model->_get_orchestrator_action(model_observation(List{1.0, 2.0}, std::nullopt))); },
        "ONNX model not loaded for orchestrator agent top");
}

TEST_F(ChoiceTest, AMaskThatCannotLineUpWithMultiRowLogitsIsAnErrorNotARead) {
    // Logits of shape (1, 2, 3) leave a (2, 3) first row; a 2-entry mask
    // matches its first dimension but cannot select among 6 values.
    auto p = ready("top", engine("m.onnx", {.logits = {1, 2, 3, 4, 5, 6}, .shape = {1, 2, 3}}));
    expect_error<ValueError>(
        [&] { run_sync(p->_get_orchestrator_action(model_observation(List{1.0, 2.0}, List{1, 0}))); },
        "operands could not be broadcast together with shapes (2,) (2, 3)");
    // Unmasked, the maximum is taken over all of them in row-major order.
    EXPECT_EQ(run_sync(p->_get_orchestrator_action(model_observation(List{1.0, 2.0}, std::nullopt))), 5);
}

}  // namespace
}  // namespace conductrix_test
